// The owned texts: exact contents, the environment-list layout, and the
// runtime library's formatting and conversion rules as they behave on Windows.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "CppTool.h"
#include "debugcapture.h"
#include "logfixture.h"

using namespace launcher;
using launcher_testkit::LogFixture;

namespace {

std::wstring units(const MultiString &list) {
  return list.get() ? std::wstring(list.get(), list.entryUnits() + 1) : std::wstring();
}

TEST(OwnedTexts, AppendCreatesThenJoinsWithoutSeparator) {
  WideString path;
  EXPECT_EQ(append(path, L"PATH="), kOk);
  EXPECT_STREQ(path.get(), L"PATH=");
  EXPECT_EQ(append(path, L"D:\\app\\bin;"), kOk);
  EXPECT_STREQ(path.get(), L"PATH=D:\\app\\bin;");
  WideString empty;
  EXPECT_EQ(append(empty, L""), kOk);
  ASSERT_TRUE(empty.present());
  EXPECT_STREQ(empty.get(), L"");
}

TEST(OwnedTexts, AddBuildsADoubleNulTerminatedList) {
  MultiString list;
  EXPECT_EQ(list.get(), nullptr);
  EXPECT_EQ(add(list, L"PATH=x"), kOk);
  EXPECT_EQ(list.entryUnits(), 7u);
  EXPECT_EQ(units(list), std::wstring(L"PATH=x\0\0", 8));
  EXPECT_EQ(add(list, L"OS=y"), kOk);
  EXPECT_EQ(list.entryUnits(), 12u);
  EXPECT_EQ(units(list), std::wstring(L"PATH=x\0OS=y\0\0", 13));
  list.release();
  EXPECT_EQ(list.get(), nullptr);
  EXPECT_EQ(list.entryUnits(), 0u);
}

TEST(OwnedTexts, MovingHandsTheTextOn) {
  WideString first;
  append(first, L"abc");
  const wchar_t *block = first.get();
  WideString second = std::move(first);
  EXPECT_FALSE(first.present());
  EXPECT_EQ(second.get(), block);
  WideString third;
  append(third, L"old");
  third = std::move(second);
  EXPECT_STREQ(third.get(), L"abc");
}

TEST(Utf8, TwoBytesOfEAcuteGiveOneUnit) {
  WideString text;
  ASSERT_EQ(fromUtf8(text, "\xC3\xA9"), kOk);
  EXPECT_EQ(std::wcslen(text.get()), 1u);
  EXPECT_EQ(text.get()[0], 0x00E9);
}

TEST(Utf8, InvalidSequencesBecomeReplacementCharacters) {
  WideString text;
  ASSERT_EQ(fromUtf8(text, "a\xFF" "b\xC3"), kOk);
  EXPECT_EQ(std::wstring(text.get()), std::wstring(L"a\xFFFD" L"b\xFFFD"));
}

TEST(Utf8, AppendKeepsThePresentText) {
  WideString text;
  ASSERT_EQ(appendUtf8(text, "PATH="), kOk);
  ASSERT_EQ(appendUtf8(text, "C:\\\xE2\x82\xAC;"), kOk);  // the euro sign
  EXPECT_STREQ(text.get(), L"PATH=C:\\\x20AC;");
  ASSERT_EQ(fromUtf8(text, "fresh"), kOk);
  EXPECT_STREQ(text.get(), L"fresh");
}

class Formatting : public LogFixture {};

// %S is UTF-16 in a narrow pattern, %s is UTF-16 in a wide one: the rules of
// the runtime library, not those of C99.
TEST_F(Formatting, FollowsTheRuntimeLibrarysPlaceholders) {
  NarrowString path;
  ASSERT_EQ(format(path, "%S\\%S.toml", L"D:", L"a"), kOk);
  EXPECT_STREQ(path.get(), "D:\\a.toml");
  NarrowString mixed;
  ASSERT_EQ(format(mixed, "%s=%S %d", "n", L"w\x00FF", -3), kOk);
  EXPECT_STREQ(mixed.get(), "n=w\xFF -3");
  WideString image;
  ASSERT_EQ(format(image, L"%s\\%s", L"D:\\app", L"splash.png"), kOk);
  EXPECT_STREQ(image.get(), L"D:\\app\\splash.png");
  WideString out;
  ASSERT_EQ(format(out, L"%s\\out_%s2.log", L"D:\\logs", L"launcher"), kOk);
  EXPECT_STREQ(out.get(), L"D:\\logs\\out_launcher2.log");
  EXPECT_EQ(logText(), "");
}

TEST_F(Formatting, EmptyResultFailsAndLogsTheMeasuringError) {
  NarrowString narrow;
  format(narrow, "%s", "keep");
  EXPECT_EQ(format(narrow, "%s", ""), kFailed);
  EXPECT_STREQ(narrow.get(), "keep");
  WideString wide;
  format(wide, L"%s", L"keep");
  EXPECT_EQ(format(wide, L"%s", L""), kFailed);
  EXPECT_STREQ(wide.get(), L"keep");
  const std::regex lines(
      "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d \\[\\d+\\] CppTool:\\d+:format ERROR vsnprintf\n"
      "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d \\[\\d+\\] CppTool:\\d+:format ERROR vswprintf\n");
  EXPECT_TRUE(std::regex_match(logText(), lines)) << logText();
}

// The default conversion of the runtime library maps U+0000..U+00FF to bytes
// and refuses anything above, so such a path cannot be formed.
TEST_F(Formatting, NarrowFormatOfACharacterAboveFFFails) {
  NarrowString path;
  format(path, "%s", "keep");
  EXPECT_EQ(format(path, "%S\\%S.toml", L"C:\\Program Files\\\x0100pp", L"launcher"), kFailed);
  EXPECT_STREQ(path.get(), "keep");
  const std::regex line("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d \\[\\d+\\] CppTool:\\d+:format ERROR vsnprintf\n");
  EXPECT_TRUE(std::regex_match(logText(), line)) << logText();
}

}  // namespace
