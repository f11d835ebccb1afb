// Running out of memory: every text operation and the configuration reader
// give one log line and a failure, and leave what they were given as it was.
// The text blocks come from a replaceable allocator; the parser's and the
// file reader's memory from operator new, replaced here by one that can be
// told to refuse large requests.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <regex>
#include <string>

#include "CppTool.h"
#include "debugcapture.h"
#include "loadconfig.h"
#include "logfixture.h"
#include "startProcess.h"

namespace {
// Requests of at least this many bytes are refused while it is not 0.
size_t refuseFrom = 0;
}  // namespace

void *operator new(size_t size) {
  if (refuseFrom && size >= refuseFrom) throw std::bad_alloc();
  if (void *block = std::malloc(size ? size : 1)) return block;
  throw std::bad_alloc();
}

using namespace launcher;
using launcher_testkit::LogFixture;

namespace {

void *noBlock(size_t, size_t) { return nullptr; }

size_t blocksLeft = 0;
void *fewBlocks(size_t count, size_t size) {
  if (blocksLeft == 0) return nullptr;
  --blocksLeft;
  return callocBlock(count, size);
}

class OutOfMemory : public LogFixture {
protected:
  void TearDown() override {
    allocateBlock = callocBlock;
    refuseFrom = 0;
    LogFixture::TearDown();
  }
  // The log holds exactly these lines, "FILE:FUNCTION MESSAGE" each.
  void expectLines(const std::string &expected) {
    std::string pattern;
    for (size_t at = 0; at < expected.size();) {
      size_t end = expected.find('\n', at);
      std::string line = expected.substr(at, end - at);
      size_t colon = line.find(':');
      pattern += "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d \\[\\d+\\] " + line.substr(0, colon) + ":\\d+" + line.substr(colon) + "\n";
      at = end + 1;
    }
    EXPECT_TRUE(std::regex_match(logText(), std::regex(pattern))) << logText();
  }
};

TEST_F(OutOfMemory, TextOperationsFailAndKeepTheirTargets) {
  WideString joined, converted, wide;
  NarrowString narrow;
  MultiString list;
  append(joined, L"PATH=");
  appendUtf8(converted, "keep");
  add(list, L"OS=y");
  format(narrow, "%s", "old");
  format(wide, L"%s", L"old");
  openLog();
  allocateBlock = noBlock;

  EXPECT_EQ(append(joined, L"D:\\bin;"), kFailed);
  EXPECT_STREQ(joined.get(), L"PATH=");
  EXPECT_EQ(appendUtf8(converted, "more"), kFailed);
  EXPECT_STREQ(converted.get(), L"keep");
  EXPECT_EQ(add(list, L"PATH=x"), kFailed);
  EXPECT_EQ(list.entryUnits(), 5u);
  EXPECT_EQ(std::wstring(list.get(), 6), std::wstring(L"OS=y\0\0", 6));
  EXPECT_EQ(format(narrow, "%s", "new"), kFailed);
  EXPECT_FALSE(narrow.present());
  EXPECT_EQ(format(wide, L"%s", L"new"), kFailed);
  EXPECT_FALSE(wide.present());
  EXPECT_EQ(fromUtf8(converted, "new"), kFailed);
  EXPECT_FALSE(converted.present());
  expectLines(
      "CppTool:append ERROR out of memory\n"
      "CppTool:appendUtf8 ERROR out of memory\n"
      "CppTool:add ERROR out of memory\n"
      "CppTool:format ERROR out of memory\n"
      "CppTool:format ERROR out of memory\n"
      "CppTool:fromUtf8 ERROR out of memory\n");

  // Memory back: the same targets take new texts again.
  allocateBlock = callocBlock;
  EXPECT_EQ(add(list, L"PATH=x"), kOk);
  EXPECT_EQ(list.entryUnits(), 12u);
  EXPECT_EQ(format(narrow, "%s", "new"), kOk);
  EXPECT_STREQ(narrow.get(), "new");
}

// A child's environment block that cannot be built whole starts no child:
// one line for the memory, and CreateProcessW never sees the block (its
// refusal of the missing program would be a further line).
TEST_F(OutOfMemory, EnvironmentBlockThatCannotBeBuiltWholeStartsNoChild) {
  openLog();
  MultiString absent, partial;
  EXPECT_EQ(startProcess(nullptr, nullptr, L"C:\\no\\java.exe", L"C:\\", L"-jar x", absent), kFailed);
  add(partial, L"PATH=C:\\bin");
  blocksLeft = 1;  // the first passed variable is added, the next one finds no memory
  allocateBlock = fewBlocks;
  EXPECT_EQ(startProcess(nullptr, nullptr, L"C:\\no\\java.exe", L"C:\\", L"-jar x", partial), kFailed);
  expectLines("CppTool:add ERROR out of memory\n");
}

// The log's own path needs memory too: with none left before the log is
// open, the report goes to the debugger output, once, and nothing is written.
TEST_F(OutOfMemory, LogThatCannotBeOpenedReportsOnTheDebuggerOutput) {
  WideString text;
  launcher_testkit::DebugOutputCapture debugger;
  allocateBlock = noBlock;
  EXPECT_EQ(append(text, L"x"), kFailed);
  EXPECT_EQ(debugger.count(kAllocationError), 1u);
  EXPECT_EQ(debugger.texts().size(), 1u);
  allocateBlock = callocBlock;
  EXPECT_EQ(append(text, L"x"), kOk);
  LOG_MESSAGE("%s\n", "memory back");
  expectLines("outofmemory_test:TestBody memory back\n");
}

// A configuration file larger than the memory left: one line, a failure,
// and the settings already there stay.
TEST_F(OutOfMemory, ConfigurationTooLargeForMemoryIsOneLogLine) {
  const std::wstring file = scratch / L"launcher.toml";
  launcher_testkit::writeFile(file, "[jre]\noptions = [\"-D" + std::string(3 << 20, 'x') + "\"]\n");
  int32_t millisec = 5;
  WideString image, exec, data_dir, log_dir, configPath, main_jar, main_jar2, options;
  append(configPath, L"PATH=");
  append(exec, L"java.exe");
  refuseFrom = 1 << 20;
  EXPECT_EQ(loadConfig(file.c_str(), L"D:\\app", millisec, image, exec, data_dir, log_dir,
                       configPath, main_jar, main_jar2, options),
            kFailed);
  refuseFrom = 0;
  EXPECT_EQ(millisec, 5);
  EXPECT_STREQ(configPath.get(), L"PATH=");
  EXPECT_STREQ(exec.get(), L"java.exe");
  EXPECT_FALSE(options.present());
  expectLines("loadconfig:loadConfig ERROR out of memory\n");

  // With the memory there, the same file is read.
  EXPECT_EQ(loadConfig(file.c_str(), L"D:\\app", millisec, image, exec, data_dir, log_dir,
                       configPath, main_jar, main_jar2, options),
            kOk);
  ASSERT_TRUE(options.present());
  EXPECT_EQ(std::wcslen(options.get()), (3u << 20) + 3);
}

}  // namespace
