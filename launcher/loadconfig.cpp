// The launcher's configuration: the TOML file beside the executable that
// bears its name. Every key is optional; a key of another TOML type than
// expected counts as absent, and array elements are read up to the first one
// that is not a string.
#include "loadconfig.h"

#include <toml++/toml.h>

#include <cerrno>
#include <cstdio>
#include <string>

namespace launcher {

// Constructed before the log lock (log.cpp) and destroyed after it.
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
void storeString(const toml::table &table, const char *key, WideString &target) {
  const toml::value<std::string> *value = table.get_as<std::string>(key);
  if (!value) return;
  WideString converted;
  if (fromUtf8(converted, value->get().c_str()) == kOk) target = std::move(converted);
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

}  // namespace

int loadConfig(const char *path, const wchar_t *moduleDir, int32_t &millisec, WideString &imageName,
               WideString &exec, WideString &data_dir, WideString &log_dir, WideString &configPath,
               WideString &main_jar, WideString &main_jar2, WideString &options) {
  FILE *file = std::fopen(path, "r");
  if (!file) {
    LOG_MESSAGE("%s %s\n", "fopen", std::strerror(errno));
    return kFailed;
  }
  std::string content;
  const bool read = readWholeFile(file, content);
  const int readError = errno;
  std::fclose(file);
  if (!read) {
    LOG_MESSAGE("%s %s\n", "fread", std::strerror(readError));
    return kFailed;
  }

  toml::table document;
  try {
    document = toml::parse(content);
  } catch (const toml::parse_error &error) {
    LOG_MESSAGE("%s %s\n", "toml_parse_file", describe(error).c_str());
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
    storeString(*app, "exec", exec);
    storeString(*app, "log_dir", log_dir);
    storeString(*app, "data_dir", data_dir);
  }
  return kOk;
}

}  // namespace launcher
