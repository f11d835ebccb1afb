// JobSettings, the launcher's one process-wide record, and the three steps
// that fill and use it: loadConfig (the TOML file beside the executable),
// prepareJob (locate, configure, load the splash picture) and doJob (start
// the Java processes).
#pragma once

#include <windows.h>

#include <cstdint>

#include "CppTool.h"

namespace launcher {

constexpr size_t kPathUnits = 260;

struct JobSettings {
  // The configuration texts, created empty in this order at start-up and
  // released in the reverse order at exit.
  WideString exec;
  WideString data_dir;
  WideString log_dir;
  WideString configPath;  // the children's whole PATH entry, "PATH=..."
  WideString main_jar;
  WideString main_jar2;
  WideString options;  // each option followed by one blank

  const wchar_t *commandArgs = nullptr;  // borrowed from the process command line
  wchar_t modulePath[kPathUnits] = {};   // holds moduleDir and moduleName
  const wchar_t *moduleDir = nullptr;
  const wchar_t *moduleName = nullptr;
  wchar_t systemDir[kPathUnits] = {};
  wchar_t programData[kPathUnits] = {};

  int32_t millisec = 0;  // splash time, 0 = no splash
  int32_t splashWidth = 0;
  int32_t splashHeight = 0;
  HICON splashIcon = nullptr;
};

extern JobSettings jobSettings;

// Reads the TOML file at `path` into the given places; keys that are absent
// or of another type leave their place as it was. 0 when the file was read
// and parsed, 7 otherwise.
int loadConfig(const wchar_t *path, const wchar_t *moduleDir, int32_t &millisec, WideString &imageName,
               WideString &exec, WideString &data_dir, WideString &log_dir, WideString &configPath,
               WideString &main_jar, WideString &main_jar2, WideString &options);

void prepareJob();
// Starts the configured jobs; the number started. When none could start, the
// reason is noted for the person (notice.h).
int doJob();

}  // namespace launcher
