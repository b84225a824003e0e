// How the field readers parse a value's text: integers, currency amounts and flags.
#include <cstdint>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "db/query.h"

namespace {

TEST(ParseCurrency, ReadsExactTenThousandths) {
  struct Case {
    const char* text;
    int64_t expected;
  };

  const Case cases[] = {
      {"0", 0},
      {"12.5", 125000},
      {"12.5000", 125000},
      {"15", 150000},
      {"-3.25", -32500},
      {"0.0001", 1},
      {"-0.0001", -1},
      {".5", 5000},
      {"+7", 70000},
      {" 42.1 ", 421000},
      {"123456789012345.6789", 1234567890123456789},
      {"922337203685477.5807", INT64_MAX},
      {"-922337203685477.5807", -INT64_MAX},
      {"-922337203685477.5808", INT64_MIN},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(std::optional<int64_t>(c.expected), db::ParseCurrency(c.text)) << c.text;
  }
}

TEST(ParseCurrency, RoundsHalfAwayFromZeroBeyondFourPlaces) {
  struct Case {
    const char* text;
    int64_t expected;
  };

  const Case cases[] = {
      {"0.00005", 1},     {"0.00004999", 0},    {"-0.00005", -1},
      {"1.23456", 12346}, {"-1.23455", -12346}, {"2.99999", 30000},
      {"0.000049", 0},    {"9.99995", 100000},  {"-9.99995", -100000},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(std::optional<int64_t>(c.expected), db::ParseCurrency(c.text)) << c.text;
  }
}

TEST(ParseCurrency, ReadsExponents) {
  EXPECT_EQ(std::optional<int64_t>(125000), db::ParseCurrency("1.25e1"));
  EXPECT_EQ(std::optional<int64_t>(125000), db::ParseCurrency("1.25E+1"));
  EXPECT_EQ(std::optional<int64_t>(1), db::ParseCurrency("1e-4"));
  EXPECT_EQ(std::optional<int64_t>(1), db::ParseCurrency("5e-5"));
  EXPECT_EQ(std::optional<int64_t>(0), db::ParseCurrency("1e-9"));
  EXPECT_EQ(std::optional<int64_t>(-15000000), db::ParseCurrency("-1.5e3"));
}

TEST(ParseCurrency, RefusesOverflowAndJunk) {
  EXPECT_EQ(std::nullopt, db::ParseCurrency("922337203685477.5808"));
  EXPECT_EQ(std::nullopt, db::ParseCurrency("-922337203685477.5809"));
  EXPECT_EQ(std::nullopt, db::ParseCurrency("922337203685477.58075"));
  EXPECT_EQ(std::nullopt, db::ParseCurrency("1e20"));
  EXPECT_EQ(std::nullopt, db::ParseCurrency("99999999999999999999"));
  EXPECT_EQ(std::nullopt, db::ParseCurrency(""));
  EXPECT_EQ(std::nullopt, db::ParseCurrency("-"));
  EXPECT_EQ(std::nullopt, db::ParseCurrency("abc"));
  EXPECT_EQ(std::nullopt, db::ParseCurrency("1,5"));
  EXPECT_EQ(std::nullopt, db::ParseCurrency("1.2.3"));
  EXPECT_EQ(std::nullopt, db::ParseCurrency("1e"));
}

TEST(ParseInteger, ReadsThirtyTwoBitValues) {
  EXPECT_EQ(std::optional<int32_t>(0), db::ParseInteger("0"));
  EXPECT_EQ(std::optional<int32_t>(1001), db::ParseInteger("1001"));
  EXPECT_EQ(std::optional<int32_t>(-17), db::ParseInteger("-17"));
  EXPECT_EQ(std::optional<int32_t>(5), db::ParseInteger(" +5 "));
  EXPECT_EQ(std::optional<int32_t>(INT32_MAX), db::ParseInteger("2147483647"));
  EXPECT_EQ(std::optional<int32_t>(INT32_MIN), db::ParseInteger("-2147483648"));
  EXPECT_EQ(std::optional<int32_t>(7), db::ParseInteger("0000000007"));
}

TEST(ParseInteger, RefusesOverflowAndJunk) {
  EXPECT_EQ(std::nullopt, db::ParseInteger("2147483648"));
  EXPECT_EQ(std::nullopt, db::ParseInteger("-2147483649"));
  EXPECT_EQ(std::nullopt, db::ParseInteger("99999999999999999999"));
  EXPECT_EQ(std::nullopt, db::ParseInteger(""));
  EXPECT_EQ(std::nullopt, db::ParseInteger("1.5"));
  EXPECT_EQ(std::nullopt, db::ParseInteger("12a"));
  EXPECT_EQ(std::nullopt, db::ParseInteger("-"));
}

TEST(ParseBoolean, AcceptsUsualSpellingsInAnyCase) {
  for (const char* text : {"true", "TRUE", "t", "Yes", "y", "on", "1", "-1", "2", "0.5"}) {
    EXPECT_EQ(std::optional<bool>(true), db::ParseBoolean(text)) << text;
  }
  for (const char* text : {"false", "False", "F", "no", "N", "OFF", "0", "0.0", " 0 "}) {
    EXPECT_EQ(std::optional<bool>(false), db::ParseBoolean(text)) << text;
  }
}

TEST(ParseBoolean, RefusesOtherText) {
  for (const char* text : {"", "maybe", "yes please", "tru", "x"}) {
    EXPECT_EQ(std::nullopt, db::ParseBoolean(text)) << text;
  }
}

}  // namespace
