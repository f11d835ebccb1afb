// The message box of a start that could not start Java. It is shown after the
// splash has gone and the message loop has ended, so that no quit message of
// the splash ends the box's own loop before the person has read it.
#include "notice.h"

#include <windows.h>

#include <cwchar>
#include <string>

#include "log.h"
#include "logfile.h"

namespace launcher {
namespace {

struct Noted {
  bool present = false;
  Failure what = Failure::startRefused;
  std::wstring subject;
  int number = 0;
};

Noted first;

const wchar_t kTitle[] = L"Penwick";

std::wstring what(const Noted &noted) {
  const std::wstring &s = noted.subject;
  switch (noted.what) {
    case Failure::notLocated:
      return L"The launcher could not find the folder it was started from.";
    case Failure::configurationMissing:
      return L"The configuration file was not found:\n" + s;
    case Failure::configurationUnreadable:
      return L"The configuration file could not be read:\n" + s;
    case Failure::configurationInvalid:
      return L"The configuration file has an error at line " + std::to_wstring(noted.number) + L":\n" + s;
    case Failure::noJar:
      return L"The configuration file names no application to start (main_jar):\n" + s;
    case Failure::settingMissing:
      return L"The configuration file lacks the setting \"" + s + L"\".";
    case Failure::jarMissing:
      return L"The application file is missing:\n" + s;
    case Failure::javaMissing:
      return L"Java was not found at the place the configuration names:\n" + s;
    case Failure::outputLog:
      return L"Java's output log could not be created:\n" + s;
    case Failure::dataFolder:
      return L"Java's working folder does not exist:\n" + s;
    case Failure::startRefused:
      break;
  }
  return L"Java could not be started" + (s.empty() ? std::wstring() : L":\n" + s) +
         (noted.number ? L"\n(error " + std::to_wstring(noted.number) + L")" : std::wstring());
}

// Where support reads the details, or why there are none.
std::wstring whereLogged() {
  const wchar_t *path = logPath();
  if (!path) return L"";
  if (logUsable()) return L"\n\nDetails are in the diagnostic log:\n" + std::wstring(path);
  return L"\n\nThe diagnostic log could not be written:\n" + std::wstring(path);
}

// A box on a window station nobody sees (a scheduled task run whether the
// user is logged on or not, a service's) would wait for ever, and such
// tasks would pile up: there the failure is only logged.
bool stationVisible() {
  USEROBJECTFLAGS flags{};
  DWORD needed = 0;
  HWINSTA station = GetProcessWindowStation();
  return !station || !GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags, &needed) ||
         (flags.dwFlags & WSF_VISIBLE) != 0;
}

// A box nobody answers (a disconnected session, a person gone home) closes
// by itself after this long, and the launcher ends.
constexpr UINT kBoxMilliseconds = 5 * 60 * 1000;

BOOL CALLBACK closeBox(HWND window, LPARAM) {
  wchar_t className[8] = L"";
  if (GetClassNameW(window, className, ARRAYSIZE(className)) && std::wcscmp(className, L"#32770") == 0)
    PostMessageW(window, WM_COMMAND, IDOK, 0);
  return TRUE;
}

// The box's own message loop runs the thread's timers.
void CALLBACK boxTimeUp(HWND, UINT, UINT_PTR, DWORD) { EnumThreadWindows(GetCurrentThreadId(), closeBox, 0); }

}  // namespace

void noteFailure(Failure what, const wchar_t *subject, int number) {
  if (first.present) return;
  first.present = true;
  first.what = what;
  first.subject = subject ? subject : L"";
  first.number = number;
}

void forgetFailure() { first = Noted(); }

void showFailure() {
  std::wstring text;
  try {
    text = L"Penwick could not start.\n\n" + what(first) + whereLogged();
  } catch (const std::bad_alloc &) {
    text = L"Penwick could not start.";
  }
  if (!stationVisible()) {
    for (wchar_t &c : text)
      if (c == L'\n') c = L' ';
    LOG_MESSAGE_IN("showFailure", "no message box on a window station nobody sees: %S\n", text.c_str());
    return;
  }
  const UINT_PTR timer = SetTimer(nullptr, 0, kBoxMilliseconds, boxTimeUp);
  MessageBoxW(nullptr, text.c_str(), kTitle, MB_OK | MB_ICONERROR | MB_SETFOREGROUND);
  if (timer) KillTimer(nullptr, timer);
}

}  // namespace launcher
