// The string functions and the currency form that build statement text.
#include <cstdint>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "copy/table_copy.h"
#include "db/sql_text.h"

namespace {

TEST(Pad, FillsWithBlanksUpToLength) {
  EXPECT_EQ("AB   ", Pad("AB", 5));
  EXPECT_EQ("     ", Pad("", 5));
}

TEST(Pad, NeverShortens) {
  EXPECT_EQ("ABCDEF", Pad("ABCDEF", 3));
  EXPECT_EQ("ABC", Pad("ABC", 3));
  EXPECT_EQ("ABC", Pad("ABC", 0));
  EXPECT_EQ("ABC", Pad("ABC", -7));
}

TEST(QuoteString, WrapsWithoutChangingAnything) {
  EXPECT_EQ("'01'", QuoteString("01"));
  EXPECT_EQ("''", QuoteString(""));
  EXPECT_EQ("'O'Neil'", QuoteString("O'Neil"));
  EXPECT_EQ("'a\\b'", QuoteString("a\\b"));
}

TEST(ZarCatStr, TakesExactlyLenCharactersWhenNoNulAmongThem) {
  // The buffer runs on past len with no NUL anywhere: nothing beyond len may be read,
  // which the sanitizer build would catch.
  const char buffer[10] = {'0', '0', '9', '0', '0', '0', '0', '1', 'X', 'Y'};
  EXPECT_EQ("00900001", ZarCatStr(buffer, 8));
}

TEST(ZarCatStr, StopsAtNulAndPads) {
  const char buffer[8] = {'A', 'B', 'C', '\0', 'Z', 'Z', 'Z', 'Z'};
  EXPECT_EQ("ABC     ", ZarCatStr(buffer, 8));
  EXPECT_EQ("        ", ZarCatStr("", 8));
}

TEST(ZarCatStr, NullPointerGivesBlanks) {
  EXPECT_EQ("        ", ZarCatStr(nullptr, 8));
}

TEST(ZarCatStr, ZeroOrNegativeLengthGivesEmpty) {
  EXPECT_EQ("", ZarCatStr("ABC", 0));
  EXPECT_EQ("", ZarCatStr("ABC", -1));
  EXPECT_EQ("", ZarCatStr(nullptr, -1));
}

TEST(ZarCatStr, CutsTo255Characters) {
  std::string long_text(300, 'x');
  EXPECT_EQ(std::string(255, 'x'), ZarCatStr(long_text.c_str(), 300));
  EXPECT_EQ("abc" + std::string(252, ' '), ZarCatStr("abc", 400));
  EXPECT_EQ(std::string(255, 'x'), ZarCatStr(long_text.c_str(), 255));
}

TEST(EscapeString, EscapesQuoteAndBackslashOnly) {
  struct Case {
    std::string input;
    std::string expected;
  };

  const Case cases[] = {
      {"", ""},
      {"NB", "NB"},
      {"It's", "It\\'s"},
      {"''", "\\'\\'"},
      {"C:\\dir", "C:\\\\dir"},
      {"ends\\", "ends\\\\"},
      {"\\'", "\\\\\\'"},
      {"say \"hi\"", "say \"hi\""},
      {"a\r\nb", "a\r\nb"},
      {"50%_off", "50%_off"},
      {std::string("a\0b", 3), std::string("a\0b", 3)},
      {"Ren\xC3\xA9\xF0\x9F\x98\x80", "Ren\xC3\xA9\xF0\x9F\x98\x80"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.expected, EscapeString(c.input)) << "input: " << c.input;
  }
}

TEST(FormatCurrency, WritesExactDecimalWithFullStop) {
  struct Case {
    int64_t ten_thousandths;
    const char* expected;
  };

  const Case cases[] = {
      {0, "0"},
      {125000, "12.5"},
      {150000, "15"},
      {-32500, "-3.25"},
      {1, "0.0001"},
      {-1, "-0.0001"},
      {-5000, "-0.5"},
      {10, "0.001"},
      {1234567, "123.4567"},
      {10000, "1"},
      {-10000, "-1"},
      {1234567890123456789, "123456789012345.6789"},
      {std::numeric_limits<int64_t>::max(), "922337203685477.5807"},
      {std::numeric_limits<int64_t>::min(), "-922337203685477.5808"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.expected, copy::FormatCurrency(c.ten_thousandths)) << c.ten_thousandths;
  }
}

}  // namespace
