// The launcher's owned texts: UTF-16 and 8-bit strings and the environment
// list handed to CreateProcessW, with the operations that fill them. Every
// buffer is measured first and allocated exactly; each text has one owner.
// Operations that can fail return 0 or 7 and write their own log line; one
// that cannot get its memory logs "ERROR out of memory" and leaves its target
// as it was (a text being replaced, by format or fromUtf8, is left absent).
#pragma once

#include <windows.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <utility>

#include "log.h"

namespace launcher {

constexpr int kOk = 0;
constexpr int kFailed = 7;

inline void *callocBlock(size_t count, size_t size) { return std::calloc(count, size); }
// Where every text block comes from; tests put an allocator in its place
// that runs out of memory.
inline void *(*allocateBlock)(size_t count, size_t size) = callocBlock;
constexpr const char *kAllocationError = "ERROR out of memory\n";

// A NUL-terminated text on the heap, or absent. Moving hands the text on;
// copying is not allowed, so a text is freed exactly once.
template <typename Char>
class OwnedText {
public:
  OwnedText() = default;
  ~OwnedText() { release(); }
  OwnedText(const OwnedText &) = delete;
  OwnedText &operator=(const OwnedText &) = delete;
  OwnedText(OwnedText &&other) noexcept : text(std::exchange(other.text, nullptr)) {}
  OwnedText &operator=(OwnedText &&other) noexcept {
    if (this != &other) {
      release();
      text = std::exchange(other.text, nullptr);
    }
    return *this;
  }

  const Char *get() const { return text; }
  Char *data() { return text; }
  bool present() const { return text != nullptr; }

  void release() {
    std::free(text);
    text = nullptr;
  }
  // Replaces the text by a zero-filled block of `units` characters.
  Char *allocate(size_t units) {
    release();
    text = static_cast<Char *>(allocateBlock(units, sizeof(Char)));
    return text;
  }
  // Takes over a block from the same allocator.
  void adopt(Char *block) {
    release();
    text = block;
  }

private:
  Char *text = nullptr;
};

using WideString = OwnedText<wchar_t>;
using NarrowString = OwnedText<char>;

// A double-NUL-terminated list of UTF-16 entries: the form of a Windows
// environment block. `entryUnits` counts the entries with their NULs; the
// block, when it exists, holds one more unit, the NUL that ends the list.
class MultiString {
public:
  MultiString() = default;
  ~MultiString() { release(); }
  MultiString(const MultiString &) = delete;
  MultiString &operator=(const MultiString &) = delete;

  const wchar_t *get() const { return block; }
  uint32_t entryUnits() const { return units; }

  void release() {
    std::free(block);
    block = nullptr;
    units = 0;
  }

  // Appends `entry` as a further entry; the list stays double-NUL-terminated.
  int add(const wchar_t *entry) {
    const uint32_t n = static_cast<uint32_t>(std::wcslen(entry)) + 1;
    auto *grown = static_cast<wchar_t *>(allocateBlock(units + n + 1, sizeof(wchar_t)));
    if (!grown) {
      LOG_MESSAGE("%s", kAllocationError);
      return kFailed;
    }
    if (block) std::memcpy(grown, block, units * sizeof(wchar_t));
    std::memcpy(grown + units, entry, n * sizeof(wchar_t));
    grown[units + n] = L'\0';
    std::free(block);
    block = grown;
    units += n;
    return kOk;
  }

private:
  wchar_t *block = nullptr;
  uint32_t units = 0;
};

inline int add(MultiString &target, const wchar_t *entry) { return target.add(entry); }

// A Windows handle that is closed when its owner goes; no path leaks one.
class OwnedHandle {
public:
  OwnedHandle() = default;
  explicit OwnedHandle(HANDLE h) : handle(h) {}
  ~OwnedHandle() { reset(); }
  OwnedHandle(const OwnedHandle &) = delete;
  OwnedHandle &operator=(const OwnedHandle &) = delete;

  HANDLE get() const { return handle; }
  bool valid() const { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }
  void reset(HANDLE h = nullptr) {
    if (valid()) CloseHandle(handle);
    handle = h;
  }

private:
  HANDLE handle = nullptr;
};

// The runtime library's formatting rules throughout: %S is UTF-16 in a narrow
// pattern and %s is UTF-16 in a wide one. mingw's C99 printf family reads
// them otherwise, so only the underscore functions of msvcrt are used.
template <typename Char>
struct FormatRules;

template <>
struct FormatRules<char> {
  static int count(const char *pattern, va_list args) { return _vscprintf(pattern, args); }
  static int print(char *buffer, size_t units, const char *pattern, va_list args) {
    return _vsnprintf(buffer, units, pattern, args);
  }
  static constexpr const char *measureError = "ERROR vsnprintf\n";
  static constexpr const char *printError = "ERROR vsnprintf\n";
};

template <>
struct FormatRules<wchar_t> {
  static int count(const wchar_t *pattern, va_list args) { return _vscwprintf(pattern, args); }
  static int print(wchar_t *buffer, size_t units, const wchar_t *pattern, va_list args) {
    return _vsnwprintf(buffer, units, pattern, args);
  }
  static constexpr const char *measureError = "ERROR vswprintf\n";
  static constexpr const char *printError = "ERROR _vsnwprintf_s\n";
};

// Logged under the name of the public operation, format. An empty result
// counts as a failure: no caller has a use for it.
template <typename Char>
int vformat(OwnedText<Char> &target, const Char *pattern, va_list args) {
  using Rules = FormatRules<Char>;
  va_list measure;
  va_copy(measure, args);
  const int count = Rules::count(pattern, measure);
  va_end(measure);
  if (count <= 0) {
    LOG_MESSAGE_IN("format", "%s", Rules::measureError);
    return kFailed;
  }
  Char *text = target.allocate(static_cast<size_t>(count) + 1);
  if (!text) {
    LOG_MESSAGE_IN("format", "%s", kAllocationError);
    return kFailed;
  }
  if (Rules::print(text, static_cast<size_t>(count) + 1, pattern, args) <= 0) {
    LOG_MESSAGE_IN("format", "%s", Rules::printError);
    return kFailed;
  }
  return kOk;
}

inline int format(NarrowString &target, const char *pattern, ...) {
  va_list args;
  va_start(args, pattern);
  const int result = vformat(target, pattern, args);
  va_end(args);
  return result;
}

inline int format(WideString &target, const wchar_t *pattern, ...) {
  va_list args;
  va_start(args, pattern);
  const int result = vformat(target, pattern, args);
  va_end(args);
  return result;
}

// Number of UTF-16 units of a NUL-terminated UTF-8 text, its NUL included;
// 0 when Windows cannot convert it (GetLastError tells why).
inline int measureUtf8(const char *utf8) {
  return MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
}

inline int fromUtf8(WideString &target, const char *utf8) {
  const int units = measureUtf8(utf8);
  if (units == 0) {
    LOG_SYSTEM_ERROR(GetLastError(), " ");
    return kFailed;
  }
  wchar_t *text = target.allocate(static_cast<size_t>(units));
  if (!text) {
    LOG_MESSAGE("%s", kAllocationError);
    return kFailed;
  }
  if (MultiByteToWideChar(CP_UTF8, 0, utf8, -1, text, units) == 0) {
    LOG_SYSTEM_ERROR(GetLastError(), " ");
    target.release();
    return kFailed;
  }
  return kOk;
}

inline size_t textLength(const WideString &text) { return text.present() ? std::wcslen(text.get()) : 0; }

inline int appendUtf8(WideString &target, const char *utf8) {
  const int units = measureUtf8(utf8);
  if (units == 0) {
    LOG_SYSTEM_ERROR(GetLastError(), " ");
    return kFailed;
  }
  const size_t present = textLength(target);
  auto *joined = static_cast<wchar_t *>(allocateBlock(present + static_cast<size_t>(units), sizeof(wchar_t)));
  if (!joined) {
    LOG_MESSAGE("%s", kAllocationError);
    return kFailed;
  }
  if (present) std::memcpy(joined, target.get(), present * sizeof(wchar_t));
  if (MultiByteToWideChar(CP_UTF8, 0, utf8, -1, joined + present, units) == 0) {
    LOG_SYSTEM_ERROR(GetLastError(), " ");
    std::free(joined);
    return kFailed;
  }
  target.adopt(joined);
  return kOk;
}

inline int append(WideString &target, const wchar_t *text) {
  const size_t present = textLength(target);
  const size_t added = std::wcslen(text);
  auto *joined = static_cast<wchar_t *>(allocateBlock(present + added + 1, sizeof(wchar_t)));
  if (!joined) {
    LOG_MESSAGE("%s", kAllocationError);
    return kFailed;
  }
  if (present) std::memcpy(joined, target.get(), present * sizeof(wchar_t));
  std::memcpy(joined + present, text, (added + 1) * sizeof(wchar_t));
  target.adopt(joined);
  return kOk;
}

}  // namespace launcher
