// tcp_relay PORT: joins its standard input and output to a TCP connection
// to 127.0.0.1:PORT, until either side ends. Under Wine it carries a module
// host connection from a Windows program to a Linux peer (p11-kit's server
// with SoftHSM2), which no pipe of Wine's can reach.
#include <winsock2.h>
#include <windows.h>

#include <cstdlib>

namespace {

SOCKET peer = INVALID_SOCKET;

DWORD WINAPI toPeer(void *) {
  char buffer[65536];
  DWORD n = 0;
  while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &n, nullptr) && n > 0)
    for (DWORD sent = 0; sent < n;) {
      int m = send(peer, buffer + sent, static_cast<int>(n - sent), 0);
      if (m <= 0) return 1;
      sent += static_cast<DWORD>(m);
    }
  shutdown(peer, SD_SEND);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  WSADATA data;
  if (argc != 2 || WSAStartup(MAKEWORD(2, 2), &data) != 0) return 2;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<u_short>(std::atoi(argv[1])));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  peer = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (peer == INVALID_SOCKET || connect(peer, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) return 3;
  HANDLE writer = CreateThread(nullptr, 0, toPeer, nullptr, 0, nullptr);
  char buffer[65536];
  int n;
  DWORD written;
  while ((n = recv(peer, buffer, sizeof buffer, 0)) > 0)
    if (!WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), buffer, static_cast<DWORD>(n), &written, nullptr)) break;
  closesocket(peer);
  if (writer) CloseHandle(writer);
  return 0;
}
