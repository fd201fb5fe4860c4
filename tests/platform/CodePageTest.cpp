#include "platform/CodePage.h"

#include <gtest/gtest.h>

namespace corvane {
namespace {

TEST(CodePageTest, Windows1252BothWays) {
  EXPECT_EQ(AnsiToWide("a\x80\xe9\x9f\x81"), u"a\u20ac\u00e9\u0178\u0081");
  EXPECT_EQ(AnsiToWide(std::string_view("ab\0cd", 5)), u"ab");
  EXPECT_EQ(WideToAnsi(u"a\u20ac\u00e9\u0178\u4e2d"), "a\x80\xe9\x9f?");

  char field[4];
  EXPECT_EQ(WideToAnsi(u"ab", field, sizeof field), 3u);
  EXPECT_STREQ(field, "ab");
  EXPECT_EQ(WideToAnsi(u"abcdef", field, sizeof field), 4u);  // full: no room for the terminator
  EXPECT_EQ(std::string(field, 4), "abcd");
}

}  // namespace
}  // namespace corvane
