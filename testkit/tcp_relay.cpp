// tcp_relay [--pipe NAME] PORT: joins its standard input and output (or the
// named pipe NAME, as tokenhub starts a module host) to a TCP connection to
// 127.0.0.1:PORT, until either side ends. Under Wine it carries a module
// host connection from a Windows program to a Linux peer (p11-kit's server
// with SoftHSM2), which no pipe of Wine's can reach.
#include <winsock2.h>
#include <windows.h>

#include <cstdlib>
#include <cwchar>

namespace {

SOCKET peer = INVALID_SOCKET;
HANDLE input = INVALID_HANDLE_VALUE, output = INVALID_HANDLE_VALUE;

// One read or write, on the named pipe (opened for overlapped transfers, so
// that a read does not hold up the other direction's writes) or a standard
// handle.
bool transfer(HANDLE file, bool reading, char *data, DWORD size, DWORD &done) {
  OVERLAPPED pending{};
  pending.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  BOOL ok = reading ? ReadFile(file, data, size, nullptr, &pending) : WriteFile(file, data, size, nullptr, &pending);
  ok = (ok || GetLastError() == ERROR_IO_PENDING) && GetOverlappedResult(file, &pending, &done, TRUE);
  CloseHandle(pending.hEvent);
  return ok && done > 0;
}

DWORD WINAPI toPeer(void *) {
  char buffer[65536];
  DWORD n = 0;
  while (transfer(input, true, buffer, sizeof buffer, n))
    for (DWORD sent = 0; sent < n;) {
      int m = send(peer, buffer + sent, static_cast<int>(n - sent), 0);
      if (m <= 0) return 1;
      sent += static_cast<DWORD>(m);
    }
  shutdown(peer, SD_SEND);
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t **argv) {
  WSADATA data;
  bool named = argc == 4 && std::wcscmp(argv[1], L"--pipe") == 0;
  if ((argc != 2 && !named) || WSAStartup(MAKEWORD(2, 2), &data) != 0) return 2;
  if (named) {
    input = output = CreateFileW(argv[2], GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_OVERLAPPED, nullptr);
  } else {
    input = GetStdHandle(STD_INPUT_HANDLE);
    output = GetStdHandle(STD_OUTPUT_HANDLE);
  }
  if (input == INVALID_HANDLE_VALUE) return 4;  // its starter gave up on it
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<u_short>(std::wcstol(argv[argc - 1], nullptr, 10)));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  peer = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (peer == INVALID_SOCKET || connect(peer, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) return 3;
  HANDLE writer = CreateThread(nullptr, 0, toPeer, nullptr, 0, nullptr);
  char buffer[65536];
  int n;
  DWORD written;
  while ((n = recv(peer, buffer, sizeof buffer, 0)) > 0)
    if (!transfer(output, false, buffer, static_cast<DWORD>(n), written)) break;
  closesocket(peer);
  if (writer) CloseHandle(writer);
  return 0;
}
