// Watches the launcher's splash window from another process of the same Wine
// prefix: waits for it, reports its rectangle, style and sampled pixels,
// optionally closes it early, and reports how long it stayed.
// Usage: windowprobe <wait ms> [close] [x y]...
// Output lines: "found", "rect L T R B", "style 0x...", "workspace RRGGBB",
// "pixel X Y RRGGBB", "gone MS" (milliseconds from first seen to gone) or
// "hiddenTick T" and "goneTick T" (system tick counts) or "timeout".
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <vector>

namespace {

void printColour(const char *label, COLORREF colour) {
  std::printf("%s%02X%02X%02X\n", label, GetRValue(colour), GetGValue(colour), GetBValue(colour));
}

}  // namespace

int wmain(int argc, wchar_t **argv) {
  if (argc < 2) return 2;
  const DWORD wait = static_cast<DWORD>(_wtoi(argv[1]));
  int next = 2;
  const bool close = argc > 2 && std::wcscmp(argv[2], L"close") == 0;
  if (close) ++next;
  std::vector<POINT> points;
  for (; next + 1 < argc; next += 2) points.push_back({_wtoi(argv[next]), _wtoi(argv[next + 1])});

  const DWORD start = GetTickCount();
  HWND window = nullptr;
  while (!(window = FindWindowW(L"APPLICATIONLAUNCHER", L"application launcher"))) {
    if (GetTickCount() - start > wait) {
      std::printf("timeout\n");
      return 1;
    }
    Sleep(5);
  }
  // A window created visible is found before it is shown.
  while (IsWindow(window) && !IsWindowVisible(window) && GetTickCount() - start < wait) Sleep(5);
  const DWORD seen = GetTickCount();
  std::printf("found\nshownTick %lu\n", static_cast<unsigned long>(seen));
  RECT rect;
  GetWindowRect(window, &rect);
  std::printf("rect %ld %ld %ld %ld\n", rect.left, rect.top, rect.right, rect.bottom);
  std::printf("style 0x%08lX\n", static_cast<unsigned long>(GetWindowLongW(window, GWL_STYLE)));
  printColour("workspace ", GetSysColor(COLOR_APPWORKSPACE));
  if (!points.empty()) {
    Sleep(300);  // let the first paint happen
    HDC screen = GetDC(nullptr);
    for (const POINT &p : points) {
      std::printf("pixel %ld %ld ", p.x, p.y);
      printColour("", GetPixel(screen, rect.left + p.x, rect.top + p.y));
    }
    ReleaseDC(nullptr, screen);
  }
  std::fflush(stdout);
  if (close) PostMessageW(window, WM_CLOSE, 0, 0);
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
