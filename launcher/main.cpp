// The launcher's entry and its splash window. Everything runs on one thread:
// the start message runs the jobs inside the message loop, so the children
// start before the splash is first painted, and the splash timer closes the
// window, which ends the loop and the launcher. A start that could start no
// Java ends the splash at once and tells the person why in a message box.
#include <windows.h>

#include "loadImage.h"
#include "loadconfig.h"
#include "notice.h"

using namespace launcher;

namespace {

constexpr UINT WM_START_JOB = WM_USER + 44;  // 1068
constexpr UINT_PTR kSplashTimer = 15;
constexpr int kDefaultWidth = 400;
constexpr int kDefaultHeight = 200;
const wchar_t kClassName[] = L"APPLICATIONLAUNCHER";
const wchar_t kTitle[] = L"application launcher";

// The window is visible from its creation on, a moment before the start
// message is posted: a WM_CLOSE from another program in that moment would
// come first and end the launcher without its jobs. So the jobs start once,
// on whichever of the two comes first.
bool jobStarted = false;
int jobsStarted = 0;
// The picture at the screen's scale, when that is not 100 %.
HBITMAP scaledSplash = nullptr;

LRESULT onStartJob(HWND window) {
  if (jobStarted) return 0;
  jobStarted = true;
  SetTimer(window, kSplashTimer, static_cast<UINT>(jobSettings.millisec), nullptr);
  jobsStarted = doJob();
  // Nothing to wait for: the splash goes at once and the box follows.
  if (jobsStarted == 0) PostMessageW(window, WM_CLOSE, 0, 0);
  return 0;
}

LRESULT onClose(HWND window, WPARAM wParam, LPARAM lParam) {
  onStartJob(window);
  return DefWindowProcW(window, WM_CLOSE, wParam, lParam);
}

LRESULT onTimer(HWND window) {
  PostMessageW(window, WM_CLOSE, 0, 0);
  return 0;
}

LRESULT onPaint(HWND window) {
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(window, &paint);
  if (scaledSplash) {
    HDC picture = CreateCompatibleDC(dc);
    HGDIOBJ old = SelectObject(picture, scaledSplash);
    BITMAP size{};
    GetObjectW(scaledSplash, sizeof size, &size);
    BitBlt(dc, 0, 0, size.bmWidth, size.bmHeight, picture, 0, 0, SRCCOPY);
    SelectObject(picture, old);
    DeleteDC(picture);
  } else if (jobSettings.splashIcon)
    DrawIconEx(dc, 0, 0, jobSettings.splashIcon, 0, 0, 0, nullptr, DI_NORMAL);  // at the picture's own size
  else
    FillRect(dc, &paint.rcPaint, reinterpret_cast<HBRUSH>(COLOR_APPWORKSPACE + 1));
  EndPaint(window, &paint);
  return 0;
}

LRESULT onDestroy(HWND window) {
  KillTimer(window, kSplashTimer);
  PostQuitMessage(0);
  return 0;
}

LRESULT CALLBACK splashProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_START_JOB: return onStartJob(window);
    case WM_TIMER: return onTimer(window);
    case WM_CLOSE: return onClose(window, wParam, lParam);
    case WM_PAINT: return onPaint(window);
    case WM_DESTROY: return onDestroy(window);
    default: return DefWindowProcW(window, message, wParam, lParam);
  }
}

void registerSplashClass(HINSTANCE instance) {
  WNDCLASSEXW splashClass{};
  splashClass.cbSize = sizeof splashClass;
  splashClass.style = 0;
  splashClass.lpfnWndProc = splashProcedure;
  splashClass.hInstance = instance;
  splashClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(107));
  splashClass.hIconSm = LoadIconW(instance, MAKEINTRESOURCEW(108));
  splashClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  splashClass.lpszClassName = kClassName;
  RegisterClassExW(&splashClass);
}

// The monitor the person started the program on: the foreground window's,
// else the one under the cursor.
HMONITOR startMonitor() {
  if (HWND foreground = GetForegroundWindow())
    if (HMONITOR monitor = MonitorFromWindow(foreground, MONITOR_DEFAULTTONULL)) return monitor;
  POINT cursor{};
  GetCursorPos(&cursor);
  return MonitorFromPoint(cursor, MONITOR_DEFAULTTOPRIMARY);
}

// That monitor's dots per inch (96 at 100 %). Windows before 8.1 has one
// scale for all monitors, the screen's.
UINT monitorDpi(HMONITOR monitor) {
  using GetDpiForMonitorCall = HRESULT(WINAPI *)(HMONITOR, int, UINT *, UINT *);
  UINT dpiX = 0, dpiY = 0;
  if (HMODULE shcore = LoadLibraryExW(L"shcore.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32)) {
    auto call = reinterpret_cast<GetDpiForMonitorCall>(
        reinterpret_cast<void (*)()>(GetProcAddress(shcore, "GetDpiForMonitor")));
    if (!call || call(monitor, 0 /* MDT_EFFECTIVE_DPI */, &dpiX, &dpiY) != S_OK) dpiX = 0;
    FreeLibrary(shcore);
  }
  if (dpiX == 0) {
    HDC screen = GetDC(nullptr);
    dpiX = static_cast<UINT>(GetDeviceCaps(screen, LOGPIXELSX));
    ReleaseDC(nullptr, screen);
  }
  return dpiX ? dpiX : USER_DEFAULT_SCREEN_DPI;
}

// The splash's place and size: centred on the start monitor, at the size the
// picture has at 100 % on that monitor's scale.
RECT splashRect() {
  const HMONITOR monitor = startMonitor();
  MONITORINFO info{};
  info.cbSize = sizeof info;
  if (!GetMonitorInfoW(monitor, &info)) GetClientRect(GetDesktopWindow(), &info.rcMonitor);
  const int dpi = static_cast<int>(monitorDpi(monitor));
  const int naturalWidth = jobSettings.splashWidth > 0 ? jobSettings.splashWidth : kDefaultWidth;
  const int naturalHeight = jobSettings.splashHeight > 0 ? jobSettings.splashHeight : kDefaultHeight;
  const int width = MulDiv(naturalWidth, dpi, USER_DEFAULT_SCREEN_DPI);
  const int height = MulDiv(naturalHeight, dpi, USER_DEFAULT_SCREEN_DPI);
  const bool scaled = dpi != USER_DEFAULT_SCREEN_DPI;
  if (scaled && jobSettings.splashIcon && jobSettings.splashWidth > 0 && jobSettings.splashHeight > 0)
    scaledSplash = scaledImage(jobSettings.splashIcon, naturalWidth, naturalHeight, width, height);
  // Signed division: a picture larger than the monitor gets an origin
  // before its corner.
  const RECT &area = info.rcMonitor;
  const int left = static_cast<int>(area.left) + (static_cast<int>(area.right - area.left) - width) / 2;
  const int top = static_cast<int>(area.top) + (static_cast<int>(area.bottom - area.top) - height) / 2;
  return {left, top, left + width, top + height};
}

// The box comes after the message loop: the splash's quit message would
// otherwise end the box's own loop before the person has read it.
int ended() {
  if (jobsStarted > 0) return 0;
  showFailure();
  return kFailed;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR commandLine, int) {
  jobSettings.commandArgs = commandLine;
  prepareJob();
  if (jobSettings.millisec == 0) {
    jobsStarted = doJob();
    return ended();
  }

  registerSplashClass(instance);
  const RECT place = splashRect();
  HWND window = CreateWindowExW(0, kClassName, kTitle, WS_POPUP | WS_VISIBLE, place.left, place.top,
                                place.right - place.left, place.bottom - place.top, nullptr, nullptr, instance, nullptr);
  if (!window) return ended();
  PostMessageW(window, WM_START_JOB, 0, 0);

  MSG message{};
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return ended();
}
