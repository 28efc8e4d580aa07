#pragma once

#include <gtest/gtest.h>

#include <ostream>

#include "DateTime.h"

namespace tidewell {

// A date and time written out in its parts, as the tests give what they expect.
struct Moment {
  int year, month, day, hour, minute, second;
  DateTime Value() const { return DateTime::FromParts(year, month, day, hour, minute, second); }
};

inline std::ostream& operator<<(std::ostream& out, const Moment& m) {
  return out << m.year << "-" << m.month << "-" << m.day << " " << m.hour << ":" << m.minute << ":"
             << m.second;
}

// Each part of `value` is the one expected.
inline void ExpectMoment(const DateTime& value, const Moment& expected) {
  EXPECT_EQ(value.Year(), expected.year);
  EXPECT_EQ(value.Month(), expected.month);
  EXPECT_EQ(value.Day(), expected.day);
  EXPECT_EQ(value.Hour(), expected.hour);
  EXPECT_EQ(value.Minute(), expected.minute);
  EXPECT_EQ(value.Second(), expected.second);
}

}  // namespace tidewell
