// Watches the launcher's splash window from another process of the same Wine
// prefix: waits for it, reports its rectangle, style and sampled pixels,
// optionally closes it early, and reports how long it stayed.
// Usage: windowprobe <wait ms> [close|closefirst] [shot <file.bmp>] [x y]...
//        windowprobe <wait ms> box
// "close" posts WM_CLOSE once the window is shown and painted; "closefirst"
// posts it the moment the window exists, while the launcher may still be
// creating it.
// Output lines: "found", "rect L T R B", "style 0x...", "workspace RRGGBB",
// "pixel X Y RRGGBB", "gone MS" (milliseconds from first seen to gone) or
// "hiddenTick T" and "goneTick T" (system tick counts) or "timeout".
// "box" waits for the launcher's message box instead, prints "boxTick T",
// "splash present|absent" (whether the splash window was still there),
// "title T" and one "text T" per line of its text, and presses its OK button.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "utf8.h"

namespace {

// The whole screen as a 24-bit bottom-up BMP file.
void saveScreen(const wchar_t *path) {
  const int width = GetSystemMetrics(SM_CXSCREEN), height = GetSystemMetrics(SM_CYSCREEN);
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
  HGDIOBJ old = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, width, height, screen, 0, 0, SRCCOPY);
  SelectObject(memory, old);
  BITMAPINFOHEADER info{};
  info.biSize = sizeof info;
  info.biWidth = width;
  info.biHeight = height;
  info.biPlanes = 1;
  info.biBitCount = 24;
  const DWORD rowBytes = ((static_cast<DWORD>(width) * 3 + 3) / 4) * 4;
  std::vector<BYTE> pixels(rowBytes * static_cast<DWORD>(height));
  GetDIBits(memory, bitmap, 0, height, pixels.data(), reinterpret_cast<BITMAPINFO *>(&info), DIB_RGB_COLORS);
  BITMAPFILEHEADER file{};
  file.bfType = 0x4D42;
  file.bfOffBits = sizeof file + sizeof info;
  file.bfSize = file.bfOffBits + static_cast<DWORD>(pixels.size());
  HANDLE out = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  DWORD written = 0;
  WriteFile(out, &file, sizeof file, &written, nullptr);
  WriteFile(out, &info, sizeof info, &written, nullptr);
  WriteFile(out, pixels.data(), static_cast<DWORD>(pixels.size()), &written, nullptr);
  CloseHandle(out);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
}

// In UTF-8, one output line per line of the text.
void printLines(const char *label, const std::wstring &text) {
  for (size_t at = 0; at <= text.size();) {
    const size_t end = std::min(text.find(L'\n', at), text.size());
    std::printf("%s %s\n", label, launcher_testkit::utf8(text.substr(at, end - at)).c_str());
    at = end + 1;
  }
}

// The launcher's message box: a dialog of the standard class whose static
// text has the id 0xFFFF.
int watchBox(DWORD wait) {
  const DWORD start = GetTickCount();
  HWND box = nullptr;
  while (!(box = FindWindowW(L"#32770", nullptr)) || !IsWindowVisible(box)) {
    if (GetTickCount() - start > wait) {
      std::printf("timeout\n");
      return 1;
    }
    Sleep(20);
  }
  std::printf("boxTick %lu\n", static_cast<unsigned long>(GetTickCount()));
  std::printf("splash %s\n", FindWindowW(L"APPLICATIONLAUNCHER", nullptr) ? "present" : "absent");
  wchar_t text[4096] = {};
  GetWindowTextW(box, text, 4096);
  printLines("title", text);
  GetDlgItemTextW(box, 0xFFFF, text, 4096);
  printLines("text", text);
  std::fflush(stdout);
  PostMessageW(box, WM_COMMAND, IDOK, 0);
  return 0;
}

void printColour(const char *label, COLORREF colour) {
  std::printf("%s%02X%02X%02X\n", label, GetRValue(colour), GetGValue(colour), GetBValue(colour));
}

}  // namespace

int wmain(int argc, wchar_t **argv) {
  if (argc < 2) return 2;
  // Window places and pixels as the screen has them, whatever its scale.
  SetProcessDPIAware();
  const DWORD wait = static_cast<DWORD>(_wtoi(argv[1]));
  if (argc > 2 && std::wcscmp(argv[2], L"box") == 0) return watchBox(wait);
  int next = 2;
  const bool closeFirst = argc > 2 && std::wcscmp(argv[2], L"closefirst") == 0;
  const bool close = closeFirst || (argc > 2 && std::wcscmp(argv[2], L"close") == 0);
  if (close) ++next;
  const wchar_t *shot = nullptr;
  if (next + 1 < argc && std::wcscmp(argv[next], L"shot") == 0) {
    shot = argv[next + 1];
    next += 2;
  }
  std::vector<POINT> points;
  for (; next + 1 < argc; next += 2) points.push_back({_wtoi(argv[next]), _wtoi(argv[next + 1])});

  const DWORD start = GetTickCount();
  HWND window = nullptr;
  while (!(window = FindWindowW(L"APPLICATIONLAUNCHER", L"application launcher"))) {
    if (GetTickCount() - start > wait) {
      std::printf("timeout\n");
      return 1;
    }
    if (!closeFirst) Sleep(5);
  }
  if (closeFirst) PostMessageW(window, WM_CLOSE, 0, 0);
  // A window created visible is found before it is shown.
  while (IsWindow(window) && !IsWindowVisible(window) && GetTickCount() - start < wait) Sleep(5);
  const DWORD seen = GetTickCount();
  std::printf("found\nshownTick %lu\n", static_cast<unsigned long>(seen));
  RECT rect{};
  GetWindowRect(window, &rect);
  std::printf("rect %ld %ld %ld %ld\n", rect.left, rect.top, rect.right, rect.bottom);
  std::printf("style 0x%08lX\n", static_cast<unsigned long>(GetWindowLongW(window, GWL_STYLE)));
  printColour("workspace ", GetSysColor(COLOR_APPWORKSPACE));
  if (!points.empty() || shot) Sleep(300);  // let the first paint happen
  // On a busy machine the first paint may come later: until then the X
  // server shows black where the window is, a colour no splash paints.
  std::vector<COLORREF> colours(points.size());
  for (;;) {
    HDC screen = GetDC(nullptr);
    for (size_t i = 0; i < points.size(); ++i)
      colours[i] = GetPixel(screen, rect.left + points[i].x, rect.top + points[i].y);
    ReleaseDC(nullptr, screen);
    bool unpainted = false;
    for (COLORREF colour : colours) unpainted = unpainted || colour == RGB(0, 0, 0);
    if (!unpainted || !IsWindowVisible(window) || GetTickCount() - seen > 1200) break;
    Sleep(20);
  }
  if (shot) saveScreen(shot);
  for (size_t i = 0; i < points.size(); ++i) {
    std::printf("pixel %ld %ld ", points[i].x, points[i].y);
    printColour("", colours[i]);
  }
  std::fflush(stdout);
  if (close && !closeFirst) PostMessageW(window, WM_CLOSE, 0, 0);
  // Destroying a window first hides it; without a window manager Wine then
  // waits up to two seconds for the X server before the window is gone, so
  // the moment it is hidden is when the launcher closed it.
  while (IsWindowVisible(window)) Sleep(5);
  const DWORD hidden = GetTickCount();
  std::printf("hiddenTick %lu\n", static_cast<unsigned long>(hidden));
  std::fflush(stdout);
  while (IsWindow(window)) {
    if (GetTickCount() - seen > 70000) {
      std::printf("still there\n");
      return 1;
    }
    Sleep(5);
  }
  const DWORD gone = GetTickCount();
  std::printf("gone %lu\ngoneTick %lu\n", static_cast<unsigned long>(gone - seen), static_cast<unsigned long>(gone));
  return 0;
}
