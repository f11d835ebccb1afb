// The launcher's configuration: the TOML file beside the executable that
// bears its name. Every key is optional; a key of another TOML type than
// expected counts as absent, and array elements are read up to the first one
// that is not a string.
#include "loadconfig.h"

#include <toml++/toml.h>

#include "account.h"
#include "loadImage.h"
#include "notice.h"
#include "startProcess.h"

#include <cerrno>
#include <cstdio>
#include <memory>
#include <new>
#include <string>

namespace launcher {

// Constructed before the log lock (logfile.cpp) and destroyed after it.
JobSettings jobSettings __attribute__((init_priority(1000)));

namespace {

// The file is read in text mode, as the runtime library reads it for any
// program of ours: CR LF become LF.
bool readWholeFile(FILE *file, std::string &content) {
  char chunk[4096];
  size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) content.append(chunk, got);
  return !std::ferror(file);
}

// A path that names no drive and no share (bin\javaw.exe, \bin\javaw.exe)
// would be completed by Windows against whatever folder the launcher was
// started from.
bool fullyQualified(const wchar_t *path) {
  const bool drive = ((path[0] | 0x20) >= L'a' && (path[0] | 0x20) <= L'z') && path[1] == L':' &&
                     (path[2] == L'\\' || path[2] == L'/');
  const bool share = (path[0] == L'\\' || path[0] == L'/') && (path[1] == L'\\' || path[1] == L'/');
  return drive || share;
}

// The parser's message and position as one log line.
std::string describe(const toml::parse_error &error) {
  std::string text(error.description());
  text += " (line " + std::to_string(error.source().begin.line) + ", column " +
          std::to_string(error.source().begin.column) + ")";
  for (char &c : text)
    if (c == '\n' || c == '\r') c = ' ';
  return text;
}

// Converts a string value; the target changes only when the conversion worked.
bool storeString(const toml::table &table, const char *key, WideString &target) {
  const toml::value<std::string> *value = table.get_as<std::string>(key);
  if (!value) return false;
  WideString converted;
  if (fromUtf8(converted, value->get().c_str()) != kOk) return false;
  target = std::move(converted);
  return true;
}

// Calls `use` with each leading string element of the array `key`, converted.
template <typename Use>
void forEachString(const toml::table &table, const char *key, Use use) {
  const toml::array *array = table.get_as<toml::array>(key);
  if (!array) return;
  for (const toml::node &element : *array) {
    const toml::value<std::string> *value = element.as_string();
    if (!value) break;
    WideString converted;
    if (fromUtf8(converted, value->get().c_str()) == kOk) use(converted.get());
  }
}

int readConfig(const wchar_t *path, const wchar_t *moduleDir, int32_t &millisec, WideString &imageName,
               WideString &exec, WideString &data_dir, WideString &log_dir, WideString &configPath,
               WideString &main_jar, WideString &main_jar2, WideString &options) {
  // The wide name: the 8-bit one cannot hold every folder name a machine may
  // give the launcher, whatever its code page.
  std::unique_ptr<FILE, int (*)(FILE *)> file(_wfopen(path, L"r"), std::fclose);
  if (!file) {
    const int openError = errno;
    LOG_MESSAGE_IN("loadConfig", "%s %s\n", "fopen", std::strerror(openError));
    noteFailure(openError == ENOENT ? Failure::configurationMissing : Failure::configurationUnreadable, path);
    return kFailed;
  }
  std::string content;
  const bool read = readWholeFile(file.get(), content);
  const int readError = errno;
  file.reset();
  if (!read) {
    LOG_MESSAGE_IN("loadConfig", "%s %s\n", "fread", std::strerror(readError));
    noteFailure(Failure::configurationUnreadable, path);
    return kFailed;
  }

  toml::table document;
  try {
    document = toml::parse(content);
  } catch (const toml::parse_error &error) {
    LOG_MESSAGE_IN("loadConfig", "%s %s\n", "toml_parse_file", describe(error).c_str());
    noteFailure(Failure::configurationInvalid, path, static_cast<int>(error.source().begin.line));
    return kFailed;
  }

  if (const toml::table *splash = document.get_as<toml::table>("splash")) {
    storeString(*splash, "image", imageName);
    if (const toml::value<int64_t> *value = splash->get_as<int64_t>("millisec"))
      millisec = static_cast<int32_t>(static_cast<uint32_t>(value->get()));  // low 32 bits
  }

  // LOCALPATH directories lie below the launcher's own and come first, PATH
  // ones are taken as written; each ends with a semicolon. The additions are
  // gathered first and appended once, so a long list costs linear time.
  if (const toml::table *env = document.get_as<toml::table>("env")) {
    std::wstring directories;
    forEachString(*env, "LOCALPATH", [&](const wchar_t *directory) {
      directories.append(moduleDir).append(L"\\").append(directory).append(L";");
    });
    forEachString(*env, "PATH", [&](const wchar_t *directory) { directories.append(directory).append(L";"); });
    if (!directories.empty()) append(configPath, directories.c_str());
  }

  if (const toml::table *jre = document.get_as<toml::table>("jre")) {
    storeString(*jre, "main_jar", main_jar);
    storeString(*jre, "main_jar2", main_jar2);
    std::wstring optionText;
    forEachString(*jre, "options", [&](const wchar_t *option) { optionText.append(option).append(L" "); });
    if (!optionText.empty()) append(options, optionText.c_str());
  }

  if (const toml::table *app = document.get_as<toml::table>("app")) {
    // A relative exec lies below the launcher's folder, as the jars do: a
    // runtime shipped beside the launcher works from wherever it is started,
    // and no java.exe in the current folder is ever started instead.
    if (storeString(*app, "exec", exec) && !fullyQualified(exec.get())) {
      WideString below;
      if (format(below, L"%s\\%s", moduleDir, exec.get()) == kOk) exec = std::move(below);
    }
    storeString(*app, "log_dir", log_dir);
    storeString(*app, "data_dir", data_dir);
  }
  return kOk;
}

}  // namespace

// A file too large for the memory left (the text, the parsed document or a
// value) ends the reading with one log line; values already stored stay.
int loadConfig(const wchar_t *path, const wchar_t *moduleDir, int32_t &millisec, WideString &imageName,
               WideString &exec, WideString &data_dir, WideString &log_dir, WideString &configPath,
               WideString &main_jar, WideString &main_jar2, WideString &options) {
  try {
    return readConfig(path, moduleDir, millisec, imageName, exec, data_dir, log_dir, configPath, main_jar,
                      main_jar2, options);
  } catch (const std::bad_alloc &) {
    LOG_MESSAGE("%s", kAllocationError);
    return kFailed;
  }
}

namespace {

// The character `back` places before the end of `text` (1 = the last one), or
// NUL when the text is shorter.
wchar_t fromEnd(const wchar_t *text, size_t length, size_t back) { return back <= length ? text[length - back] : 0; }

// Splits the executable's path in place into moduleDir and moduleName. The
// texts are the debugger output for the first check that fails.
const char *locateModule(JobSettings &s) {
  const size_t n = std::wcslen(s.modulePath);
  if ((fromEnd(s.modulePath, n, 1) | 0x20) != L'e') return "not E\n";
  if ((fromEnd(s.modulePath, n, 2) | 0x20) != L'x') return "not X\n";
  if ((fromEnd(s.modulePath, n, 3) | 0x20) != L'e') return "not E\n";
  if (fromEnd(s.modulePath, n, 4) != L'.') return "not .\n";
  const size_t dot = n - 4;
  s.modulePath[dot] = L'\0';
  size_t slash = dot;
  while (slash > 0 && s.modulePath[slash - 1] != L'\\') --slash;
  // `slash` is one past the backslash; none, or one at the very start, leaves no directory.
  if (slash <= 1) return "path not found\n";
  s.modulePath[slash - 1] = L'\0';
  s.moduleDir = s.modulePath;
  s.moduleName = s.modulePath + slash;
  return nullptr;
}

}  // namespace

void prepareJob() {
  JobSettings &s = jobSettings;
  const DWORD pathLength = GetModuleFileNameW(nullptr, s.modulePath, kPathUnits);
  if (pathLength == 0 || pathLength >= kPathUnits) {  // a cut path names another file
    OutputDebugStringA("GetModuleFileName\n");
    return;
  }
  const UINT systemLength = GetSystemDirectoryW(s.systemDir, kPathUnits);
  if (systemLength == 0 || systemLength >= kPathUnits) {
    OutputDebugStringA("GetSystemDirectory\n");
    return;
  }
  // The drive of the system directory, not the environment or the shell.
  s.programData[0] = s.systemDir[0];
  s.programData[1] = s.systemDir[1];
  std::wcscpy(s.programData + 2, L"\\ProgramData");

  if (const char *refused = locateModule(s)) {
    OutputDebugStringA(refused);
    return;
  }

  // Opens the log. The first line of each start says whose it is; the
  // process id on every line ties the later ones to it.
  const Account &account = runningAccount();
  LOG_MESSAGE("user=%S%S%S session=%lu\n", account.domain.c_str(), account.domain.empty() ? L"" : L"\\",
              account.name.c_str(), static_cast<unsigned long>(account.session));
  LOG_MESSAGE("systemDir=%S\n", s.systemDir);
  LOG_MESSAGE("moduleDir=%S\n", s.moduleDir);
  LOG_MESSAGE("moduleName=%S\n", s.moduleName);
  LOG_MESSAGE("programData=%S\n", s.programData);

  append(s.configPath, L"PATH=");
  WideString configFile;
  if (format(configFile, L"%s\\%s.toml", s.moduleDir, s.moduleName) != kOk) return;

  WideString imageName;
  if (loadConfig(configFile.get(), s.moduleDir, s.millisec, imageName, s.exec, s.data_dir, s.log_dir, s.configPath,
                 s.main_jar, s.main_jar2, s.options) != kOk)
    LOG_MESSAGE("error loadConfig\n");
  // Bounded at once: a later step may stop the preparation, and the splash
  // time stays within one minute even then.
  if (s.millisec < 0) s.millisec = 0;
  if (s.millisec > 60000) s.millisec = 60000;  // the splash stays one minute at most

  // The picture always lies relative to the launcher's directory.
  WideString imagePath;
  if (imageName.present() && format(imagePath, L"%s\\%s", s.moduleDir, imageName.get()) != kOk) return;

  append(s.configPath, s.systemDir);
  LOG_MESSAGE("configPath=%S\n", s.configPath.get());

  if (s.millisec != 0 && imagePath.present()) initImage(imagePath.get());
}

namespace {

// The jar is looked for before Java starts, so that a missing one is the
// launcher's own message rather than Java's box and an empty output log.
bool jarPresent(const wchar_t *jarPath) {
  const DWORD attributes = GetFileAttributesW(jarPath);
  if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) return true;
  LOG_SYSTEM_ERROR_IN("doJob", attributes == INVALID_FILE_ATTRIBUTES ? GetLastError() : ERROR_FILE_NOT_FOUND, "%S ",
                      jarPath);
  noteFailure(Failure::jarMissing, jarPath);
  return false;
}

enum class Job { started, failed, stop };

// Starts one job; `stop` when a name could not be formed, which ends doJob.
Job startJob(const WideString &jar, const wchar_t *outPattern, const wchar_t *errPattern) {
  JobSettings &s = jobSettings;
  WideString outLog, errLog;  // absent without log_dir: the children write to NUL
  if (s.log_dir.present() && (format(outLog, outPattern, s.log_dir.get(), s.moduleName) != kOk ||
                              format(errLog, errPattern, s.log_dir.get(), s.moduleName) != kOk))
    return Job::stop;
  // Java's crash file goes to the log folder under this user's name, not to
  // the working folder that all users share. It comes first, so that an
  // ErrorFile among the configured options still has the last word.
  WideString crashFile;
  if (s.log_dir.present() && format(crashFile, L"\"-XX:ErrorFile=%s\\hs_err_%s.%s.%%p.log\" ", s.log_dir.get(),
                                    s.moduleName, runningAccount().portableName.c_str()) != kOk)
    return Job::stop;
  WideString jarPath, command;
  if (format(jarPath, L"%s\\%s", s.moduleDir, jar.get()) != kOk ||
      format(command, L"%s%s -jar \"%s\" %s", crashFile.present() ? crashFile.get() : L"", s.options.get(),
             jarPath.get(), s.commandArgs ? s.commandArgs : L"") != kOk)
    return Job::stop;
  if (!jarPresent(jarPath.get())) return Job::failed;
  MultiString environment;  // a block without its PATH entry starts no child
  if (add(environment, s.configPath.get()) != kOk ||
      startProcess(outLog.get(), errLog.get(), s.exec.get(), s.data_dir.get(), command.get(), environment) != kOk) {
    LOG_MESSAGE_IN("doJob", "error startProcess\n");
    return Job::failed;
  }
  return Job::started;
}

}  // namespace

int doJob() {
  JobSettings &s = jobSettings;
  // Without the PATH entry prepareJob stopped early and nothing is configured.
  if (!s.configPath.present()) {
    noteFailure(Failure::notLocated, nullptr);
    return 0;
  }
  if (!s.options.present()) append(s.options, L"");
  if (!s.main_jar.present() && !s.main_jar2.present()) {
    WideString configFile;
    format(configFile, L"%s\\%s.toml", s.moduleDir, s.moduleName);
    noteFailure(Failure::noJar, configFile.get());
    return 0;
  }
  int started = 0;
  if (s.main_jar.present()) {
    const Job job = startJob(s.main_jar, L"%s\\out_%s.log", L"%s\\err_%s.log");
    if (job == Job::stop) return started;
    started += job == Job::started;
  }
  if (s.main_jar2.present()) started += startJob(s.main_jar2, L"%s\\out_%s2.log", L"%s\\err_%s2.log") == Job::started;
  return started;
}

}  // namespace launcher
