// SPDX-License-Identifier: MPL-2.0
#include "platform/datetime.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <optional>

#include "platform/error.h"

namespace varo {
namespace {

DateTimeParts P(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
  return DateTimeParts{y, mo, d, h, mi, s, ms};
}

std::string Show(const DateTimeParts& p) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d", p.year, p.month, p.day, p.hour,
                p.minute, p.second, p.millisecond);
  return buf;
}

TEST(DateTime, EncodeAndDecodeKnownDates) {
  struct Case {
    DateTimeParts parts;
    double value;
  };
  const Case cases[] = {
      {P(1899, 12, 30), 0.0},
      {P(1899, 12, 31), 1.0},
      {P(1900, 1, 1), 2.0},
      {P(1900, 3, 1), 61.0},  // 1900 is not a leap year
      {P(1899, 12, 30, 6), 0.25},
      {P(1899, 12, 29, 6), -1.25},  // the fraction is the time after the
                                    // (negative) date
      {P(1899, 12, 29, 18), -1.75},
      {P(1899, 12, 28), -2.0},
      {P(1970, 1, 1), 25569.0},
      {P(1601, 1, 1), -109205.0},
      {P(100, 1, 1), kNullDateTime},
      {P(100, 1, 1, 12), -657434.5},
      {P(1, 1, 1), -693593.0},
      {P(9999, 12, 31), 2958465.0},
      {P(2000, 2, 29), 36585.0},
      {P(2000, 3, 1), 36586.0},
      {P(2024, 2, 29, 12), 45351.5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Show(c.parts));
    EXPECT_EQ(EncodeDateTime(c.parts), c.value);
    EXPECT_EQ(DecodeDateTime(c.value), c.parts);
  }
}

TEST(DateTime, RoundTripsEveryMillisecondField) {
  const DateTimeParts parts[] = {P(9999, 12, 31, 23, 59, 59, 999), P(100, 1, 1, 0, 0, 0, 1),
                                 P(1899, 12, 29, 23, 59, 59, 999), P(1899, 12, 30, 0, 0, 0, 1),
                                 P(1, 1, 1, 0, 0, 0, 1),           P(2024, 2, 29, 12, 30, 15, 250)};
  for (const auto& p : parts) EXPECT_EQ(DecodeDateTime(EncodeDateTime(p)), p) << Show(p);
}

TEST(DateTime, DecodeRoundsToTheMillisecond) {
  const double ms = 1.0 / 86400000.0;
  EXPECT_EQ(DecodeDateTime(0.6 * ms), P(1899, 12, 30, 0, 0, 0, 1));
  EXPECT_EQ(DecodeDateTime(0.4 * ms), P(1899, 12, 30));
  // Rounding up past midnight moves to the next day, for both signs.
  EXPECT_EQ(DecodeDateTime(0.99999999999), P(1899, 12, 31));
  EXPECT_EQ(DecodeDateTime(-1.99999999999), P(1899, 12, 30));
  // -0.25 and 0.25 name the same moment.
  EXPECT_EQ(DecodeDateTime(-0.25), P(1899, 12, 30, 6));
  // The conventional largest value is a little short of the last millisecond.
  EXPECT_EQ(DecodeDateTime(kMaxDateTime), P(9999, 12, 31, 23, 59, 59, 136));
}

TEST(DateTime, EncodeRejectsPartsOutOfRange) {
  const DateTimeParts bad[] = {
      P(0, 1, 1),
      P(10000, 1, 1),
      P(2024, 0, 1),
      P(2024, 13, 1),
      P(2024, 1, 0),
      P(2024, 1, 32),
      P(2023, 2, 29),
      P(1900, 2, 29),
      P(2024, 4, 31),
      P(2024, 1, 1, 24),
      P(2024, 1, 1, 0, 60),
      P(2024, 1, 1, 0, 0, 60),
      P(2024, 1, 1, 0, 0, 0, 1000),
      P(2024, 1, 1, 0, 0, 0, -1),
      P(2024, 1, 1, -1),
  };
  for (const auto& p : bad) EXPECT_THROW(EncodeDateTime(p), EConvertError) << Show(p);
  EXPECT_NO_THROW(EncodeDateTime(P(2000, 2, 29)));
  EXPECT_NO_THROW(EncodeDateTime(P(2024, 2, 29)));
}

TEST(DateTime, DecodeRejectsValuesWithoutADate) {
  const double bad[] = {std::numeric_limits<double>::quiet_NaN(),
                        std::numeric_limits<double>::infinity(),
                        -std::numeric_limits<double>::infinity(),
                        2958466.0,
                        -693594.0,
                        1e300};
  for (double d : bad) {
    EXPECT_THROW(DecodeDateTime(d), EConvertError) << d;
    EXPECT_THROW(DateTimeToString(d), EConvertError) << d;
  }
}

TEST(DateTime, UnixMilliseconds) {
  EXPECT_EQ(DateTimeToUnixMs(25569.0), 0);
  EXPECT_EQ(UnixMsToDateTime(0), 25569.0);
  EXPECT_EQ(DecodeDateTime(UnixMsToDateTime(-1)), P(1969, 12, 31, 23, 59, 59, 999));
  EXPECT_EQ(DateTimeToUnixMs(EncodeDateTime(P(2024, 2, 29, 12, 30, 15, 250))), 1709209815250);
  EXPECT_EQ(DateTimeToUnixMs(EncodeDateTime(P(1899, 12, 29, 6))), -2209226400000);
  for (int64_t ms : {int64_t{0}, int64_t{-1}, int64_t{1}, int64_t{1709209815250}, int64_t{-2209161600001},
                     int64_t{253402300799999}, int64_t{-62135596800000}}) {
    EXPECT_EQ(DateTimeToUnixMs(UnixMsToDateTime(ms)), ms) << ms;
  }
  EXPECT_THROW(DateTimeToUnixMs(std::numeric_limits<double>::quiet_NaN()), EConvertError);
  // Counts near the limits neither overflow nor crash.
  EXPECT_TRUE(std::isfinite(UnixMsToDateTime(std::numeric_limits<int64_t>::max())));
  EXPECT_TRUE(std::isfinite(UnixMsToDateTime(std::numeric_limits<int64_t>::min())));
}

TEST(DateTime, NowIsTheSystemClock) {
  int64_t before = static_cast<int64_t>(std::time(nullptr)) * 1000;
  int64_t now = DateTimeToUnixMs(NowUtc());
  int64_t after = static_cast<int64_t>(std::time(nullptr)) * 1000 + 1000;
  EXPECT_GE(now, before);
  EXPECT_LE(now, after);
}

// Sets TZ for one test and restores it afterwards.
class TimeZone : public ::testing::Test {
 protected:
  void SetZone(const char* tz) {
    setenv("TZ", tz, 1);
    tzset();
  }
  void SetUp() override {
    if (const char* tz = std::getenv("TZ")) saved_ = tz;
  }
  void TearDown() override {
    if (saved_) {
      setenv("TZ", saved_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
  std::optional<std::string> saved_;
};

TEST_F(TimeZone, UtcAndLocalFollowTheRulesOfTheDate) {
  SetZone("CET-1CEST,M3.5.0,M10.5.0/3");
  struct Case {
    DateTimeParts utc, local;
  };
  const Case cases[] = {
      {P(2024, 1, 15, 12, 0, 0, 123), P(2024, 1, 15, 13, 0, 0, 123)},
      {P(2024, 7, 15, 12, 0, 0, 999), P(2024, 7, 15, 14, 0, 0, 999)},
      {P(2024, 12, 31, 23, 30), P(2025, 1, 1, 0, 30)},
      {P(1899, 12, 29, 23, 0), P(1899, 12, 30, 0, 0)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Show(c.utc));
    EXPECT_EQ(DecodeDateTime(UtcToLocal(EncodeDateTime(c.utc))), c.local);
    EXPECT_EQ(DecodeDateTime(LocalToUtc(EncodeDateTime(c.local))), c.utc);
  }
  SetZone("UTC0");
  TDateTime t = EncodeDateTime(P(2024, 7, 15, 12, 0, 0, 5));
  EXPECT_EQ(UtcToLocal(t), t);
  EXPECT_EQ(LocalToUtc(t), t);
}

TEST(DateTime, Iso8601Text) {
  EXPECT_EQ(DateTimeToIso8601(EncodeDateTime(P(2024, 2, 29, 12, 30, 15, 250))), "2024-02-29T12:30:15.250Z");
  EXPECT_EQ(DateTimeToIso8601(kNullDateTime), "0100-01-01T00:00:00.000Z");
  EXPECT_EQ(DateTimeToIso8601(-1.25), "1899-12-29T06:00:00.000Z");

  struct Case {
    const char* text;
    DateTimeParts utc;
  };
  const Case cases[] = {
      {"2024-02-29", P(2024, 2, 29)},
      {"2024-02-29T12:30", P(2024, 2, 29, 12, 30)},
      {"2024-02-29T12:30:15", P(2024, 2, 29, 12, 30, 15)},
      {"2024-02-29T12:30:15.25", P(2024, 2, 29, 12, 30, 15, 250)},
      {"2024-02-29T12:30:15.2504", P(2024, 2, 29, 12, 30, 15, 250)},
      {"2024-02-29T12:30:15.2505", P(2024, 2, 29, 12, 30, 15, 251)},
      {"2024-02-29T12:30:15.1234567", P(2024, 2, 29, 12, 30, 15, 123)},
      {"2024-02-29T23:59:59.9999Z", P(2024, 3, 1)},
      {"2024-02-29T12:30:15Z", P(2024, 2, 29, 12, 30, 15)},
      {"2024-02-29T12:30+01:00", P(2024, 2, 29, 11, 30)},
      {"2024-02-29T12:30-05:30", P(2024, 2, 29, 18, 0)},
      {"2024-03-01T00:30:00.000+01:00", P(2024, 2, 29, 23, 30)},
      {"0100-01-01T00:00:00.000Z", P(100, 1, 1)},
      {"9999-12-31T23:59:59.999Z", P(9999, 12, 31, 23, 59, 59, 999)},
      {"1899-12-29T06:00:00Z", P(1899, 12, 29, 6)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    TDateTime d = Iso8601ToDateTime(c.text);
    EXPECT_EQ(DecodeDateTime(d), c.utc);
    EXPECT_EQ(Iso8601ToDateTime(DateTimeToIso8601(d)), d);
  }
}

TEST(DateTime, BadTextsAreRejected) {
  const char* bad[] = {
      "",
      "2024",
      "2024-2-29",
      "24-02-29",
      "2024-02-30",
      "2023-02-29",
      "2024-00-10",
      "2024/02/29",
      "2024-02-29T",
      "2024-02-29T12",
      "2024-02-29T12:3",
      "2024-02-29T24:00",
      "2024-02-29T12:60",
      "2024-02-29T12:30:60",
      "2024-02-29T12:30:",
      "2024-02-29T12:30:15.",
      "2024-02-29T12:30:15,5",
      "2024-02-29T12:30Zx",
      "2024-02-29T12:30+0100",
      "2024-02-29T12:30+01",
      "2024-02-29T12:30+24:00",
      "2024-02-29T12:30+01:60",
      "2024-02-29 12:30",  // a space only in the display text
      "+2024-02-29",
      " 2024-02-29",
      "2024-02-29 ",
      "2024-02-29Z",
      "0000-01-01",
      "2024-02-29T12:30:15.25\n",
      "9999-12-31T23:59:59.9999Z",  // rounds into the year 10000
      "9999-12-31T23:30:00-01:00",
      "0001-01-01T00:30:00+01:00",
      "\xEF\xBC\x92\xEF\xBC\x90\xEF\xBC\x92\xEF\xBC\x94-02-29",
  };
  for (const char* s : bad) EXPECT_THROW(Iso8601ToDateTime(s), EConvertError) << s;
  try {
    Iso8601ToDateTime("2024-13-01");
    FAIL();
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "'2024-13-01' is not a valid date and time");
  }
}

TEST(DateTime, DisplayText) {
  struct Case {
    DateTimeParts parts;
    const char* text;
  };
  const Case cases[] = {
      {P(2024, 2, 29), "2024-02-29"},
      {P(2024, 2, 29, 12, 30, 15), "2024-02-29 12:30:15"},
      {P(2024, 2, 29, 0, 0, 0, 1), "2024-02-29 00:00:00.001"},
      {P(2024, 2, 29, 12, 30, 15, 250), "2024-02-29 12:30:15.250"},
      {P(1899, 12, 29, 6), "1899-12-29 06:00:00"},
      {P(100, 1, 1), "0100-01-01"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    TDateTime d = EncodeDateTime(c.parts);
    EXPECT_EQ(DateTimeToString(d), c.text);
    EXPECT_EQ(StrToDateTime(c.text), d);
  }
  EXPECT_EQ(StrToDateTime("2024-02-29T12:30:15.250Z"), EncodeDateTime(P(2024, 2, 29, 12, 30, 15, 250)));
  EXPECT_EQ(StrToDateTime("2024-02-29 12:30"), EncodeDateTime(P(2024, 2, 29, 12, 30)));
  for (const char* s : {"", "29.02.2024", "2024-02-29  12:30", "2024-02-29 12:30:15 PM", "1.5"}) {
    EXPECT_THROW(StrToDateTime(s), EConvertError) << s;
  }
}

}  // namespace
}  // namespace varo
