#include "common/text.h"

#include <gtest/gtest.h>

namespace tovix {
namespace {

TEST(TextTest, InvalidUtf8IsReplacedAndValidTextKept) {
  EXPECT_EQ(to_valid_utf8("plain 中文 😀"), "plain 中文 😀");
  EXPECT_EQ(to_valid_utf8("a\xff" "b"), "a\xEF\xBF\xBD" "b");
  EXPECT_EQ(to_valid_utf8("\xe4\xb8"), "\xEF\xBF\xBD\xEF\xBF\xBD") << "truncated sequence at the end";
  EXPECT_EQ(to_valid_utf8("\xc0\xaf"), "\xEF\xBF\xBD\xEF\xBF\xBD") << "overlong form";
  EXPECT_EQ(to_valid_utf8("\xed\xa0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD") << "surrogate";
  EXPECT_EQ(to_valid_utf8("\xf4\x90\x80\x80").substr(0, 3), "\xEF\xBF\xBD") << "beyond U+10FFFF";
  EXPECT_EQ(to_valid_utf8(std::string("a\0b", 3)), std::string("a\0b", 3));
}

TEST(TextTest, CharacterLimitNeverSplitsASequence) {
  EXPECT_EQ(to_valid_utf8("中文ab", 3), "中文a");
  EXPECT_EQ(to_valid_utf8("a\xff\xfe" "b", 2), "a\xEF\xBF\xBD");
  EXPECT_EQ(to_valid_utf8("ab", 0), "");
}

TEST(TextTest, WindowsCommandLineQuotesOnlyWhatNeedsIt) {
  EXPECT_EQ(windows_command_line({"sc", "create", "WinDivert", "binPath=", "C:\\Program Files\\x.sys"}),
            "sc create WinDivert binPath= \"C:\\Program Files\\x.sys\"");
  struct Case {
    const char* argument;
    const char* quoted;
  };
  for (const Case& c : {Case{"", "\"\""}, Case{"a b", "\"a b\""}, Case{"trail\\", "trail\\"},
                        Case{"sp ace\\", "\"sp ace\\\\\""}, Case{"sp ace\\\\", "\"sp ace\\\\\\\\\""},
                        Case{"say \"hi\"", "\"say \\\"hi\\\"\""}, Case{"x\\\"y", "\"x\\\\\\\"y\""},
                        Case{"C:\\Program Files\\", "\"C:\\Program Files\\\\\""}, Case{"tab\there", "\"tab\there\""},
                        Case{"\"\"", "\"\\\"\\\"\""}, Case{"a\\\\b\\c", "a\\\\b\\c"}}) {
    EXPECT_EQ(windows_command_line({"p", c.argument}), std::string("p ") + c.quoted) << c.argument;
  }
}

}  // namespace
}  // namespace tovix
