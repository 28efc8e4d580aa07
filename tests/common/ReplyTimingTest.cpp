#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>

#include "DateTime.h"
#include "ReplyTiming.h"

namespace tidewell {
namespace {

using namespace std::chrono_literals;

// ---- Reading the header -----------------------------------------------------------------------

struct HeaderCase {
  const char* what;
  std::string value;
  std::optional<ServerFigures> figures;
};

void PrintTo(const HeaderCase& c, std::ostream* out) { *out << c.what; }

ServerFigures Figures(Nanoseconds hold, Nanoseconds age) { return {hold, age}; }

class ServerTimingHeader : public testing::TestWithParam<HeaderCase> {};

TEST_P(ServerTimingHeader, GivesBothFiguresOrNone) {
  const HeaderCase& c = GetParam();
  const std::optional<ServerFigures> figures = ParseServerTiming(c.value);
  ASSERT_EQ(figures.has_value(), c.figures.has_value()) << c.value;
  if (figures) {
    EXPECT_EQ(figures->hold.count(), c.figures->hold.count()) << c.value;
    EXPECT_EQ(figures->age.count(), c.figures->age.count()) << c.value;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Values, ServerTimingHeader,
    testing::Values(
        // What our server sends: a held reply, and an immediate one late in its second.
        HeaderCase{"held", "hold;dur=412.503, age;dur=0.061", Figures(412'503us, 61us)},
        HeaderCase{"immediate", "hold;dur=0.004, age;dur=987.250", Figures(4us, 987'250us)},
        HeaderCase{"no fraction", "hold;dur=3,age;dur=999", Figures(3ms, 999ms)},
        HeaderCase{"nanoseconds kept, finer dropped", "hold;dur=1.0000019, age;dur=0.1234567",
                   Figures(1'000'001ns, 123'456ns)},
        HeaderCase{"either order, other metrics around",
                   "cpu;dur=2.1, age;dur=5.5;desc=\"page, age\", db, hold;dur=7",
                   Figures(7ms, 5'500us)},
        HeaderCase{"spaces, case and quotes", "  HOLD ; DUR = \"10.5\" ,Age;Dur=0.25  ",
                   Figures(10'500us, 250us)},
        HeaderCase{"first of a repeated metric", "hold;dur=1, age;dur=2, hold;dur=900",
                   Figures(1ms, 2ms)},
        HeaderCase{"the largest figure", "hold;dur=60000, age;dur=0", Figures(60s, 0ns)},
        // Anything else is a reply without figures.
        HeaderCase{"empty", "", std::nullopt},
        HeaderCase{"hold only", "hold;dur=412.503", std::nullopt},
        HeaderCase{"age only", "age;dur=0.061", std::nullopt},
        HeaderCase{"missing dur", "hold, age;dur=1", std::nullopt},
        HeaderCase{"dur without a value", "hold;dur=, age;dur=1", std::nullopt},
        HeaderCase{"other parameter only", "hold;desc=1, age;dur=1", std::nullopt},
        HeaderCase{"negative", "hold;dur=-1, age;dur=1", std::nullopt},
        HeaderCase{"negative zero", "hold;dur=1, age;dur=-0", std::nullopt},
        HeaderCase{"explicit plus", "hold;dur=+1, age;dur=1", std::nullopt},
        HeaderCase{"not a number", "hold;dur=NaN, age;dur=1", std::nullopt},
        HeaderCase{"infinite", "hold;dur=1, age;dur=inf", std::nullopt},
        HeaderCase{"exponent", "hold;dur=1e3, age;dur=1", std::nullopt},
        HeaderCase{"bare point", "hold;dur=1., age;dur=1", std::nullopt},
        HeaderCase{"leading point", "hold;dur=.5, age;dur=1", std::nullopt},
        HeaderCase{"text after the number", "hold;dur=1ms, age;dur=1", std::nullopt},
        HeaderCase{"over a minute", "hold;dur=60000.001, age;dur=1", std::nullopt},
        HeaderCase{"huge", "hold;dur=1, age;dur=99999999999999999999", std::nullopt},
        HeaderCase{"a bad first dur is not rescued by a second", "hold;dur=x;dur=5, age;dur=1",
                   std::nullopt},
        HeaderCase{"metric names must match whole", "holder;dur=1, ages;dur=1", std::nullopt},
        HeaderCase{"comma inside quotes is no separator", "cpu;desc=\"a, age;dur=1\", hold;dur=1",
                   std::nullopt}));

// ---- The arithmetic -----------------------------------------------------------------------------

struct ArithmeticCase {
  const char* what;
  Nanoseconds hold;
  Nanoseconds age;
  Nanoseconds exchange;
  Nanoseconds sinceArrival;
  Nanoseconds oneWay;  // expected
  WholeSeconds past;   // expected time past the page's second, split
};

void PrintTo(const ArithmeticCase& c, std::ostream* out) { *out << c.what; }

class ReplyArithmetic : public testing::TestWithParam<ArithmeticCase> {};

TEST_P(ReplyArithmetic, TakesOutTheDelayAndCarriesIntoTheSeconds) {
  const ArithmeticCase& c = GetParam();
  const SteadyTime arrived = SteadyTime{} + 1h;  // any fixed point of the steady clock
  const ReplyTiming timing{{c.hold, c.age}, c.exchange, arrived};

  EXPECT_EQ(OneWayDelay(timing).count(), c.oneWay.count());
  const WholeSeconds past = SplitWholeSeconds(PastPageSecond(timing, arrived + c.sinceArrival));
  EXPECT_EQ(past.seconds, c.past.seconds);
  EXPECT_EQ(past.nanoseconds, c.past.nanoseconds);
}

INSTANTIATE_TEST_SUITE_P(
    Values, ReplyArithmetic,
    testing::Values(
        // 10 ms each way, held 412.503 ms: the exchange is 432.503 ms.
        ArithmeticCase{"held", 412'503us, 61us, 432'503us, 0ns, 10ms, {0, 10'061'000}},
        ArithmeticCase{"immediate, later in the second",
                       4us,
                       640'250us,
                       20'004us,
                       150us,
                       10ms,
                       {0, 650'400'000}},
        ArithmeticCase{
            "asymmetric halves round down to the nanosecond", 0ns, 0ns, 3ns, 0ns, 1ns, {0, 1}},
        ArithmeticCase{
            "loopback: hold and exchange equal", 500ms, 20us, 500ms, 0ns, 0ns, {0, 20'000}},
        ArithmeticCase{"a reported hold longer than the exchange gives no delay",
                       30ms,
                       1ms,
                       20ms,
                       0ns,
                       0ns,
                       {0, 1'000'000}},
        ArithmeticCase{
            "rolls into the next second", 1ms, 900ms, 161ms, 30ms, 80ms, {1, 10'000'000}},
        ArithmeticCase{"exactly a second", 0ns, 999ms, 2ms, 0ns, 1ms, {1, 0}},
        ArithmeticCase{"a slow setter spends seconds after the reply",
                       0ns,
                       500ms,
                       0ns,
                       2'600ms,
                       0ns,
                       {3, 100'000'000}}));

TEST(ReplyArithmetic, AClockReadBeforeTheArrivalAddsNothing) {
  const SteadyTime arrived = SteadyTime{} + 1h;
  const ReplyTiming timing{{0ns, 5ms}, 2ms, arrived};
  EXPECT_EQ(PastPageSecond(timing, arrived - 1s), 6ms);
}

// ---- The page's second brought up to date ---------------------------------------------------

struct UpToDateCase {
  const char* what;
  std::optional<ReplyTiming> timing;  // arrived at kArrived
  Nanoseconds sinceArrival;
  PreciseTime expected;  // for a page that named kPageSecond
};

void PrintTo(const UpToDateCase& c, std::ostream* out) { *out << c.what; }

const SteadyTime kArrived = SteadyTime{} + 1h;
const DateTime kPageSecond = DateTime::FromParts(2026, 12, 7, 12, 0, 0);

ReplyTiming Reply(Nanoseconds hold, Nanoseconds age, Nanoseconds exchange) {
  return {{hold, age}, exchange, kArrived};
}

PreciseTime At(int hour, int minute, int second, Nanoseconds fraction) {
  return {DateTime::FromParts(2026, 12, 7, hour, minute, second), fraction};
}

class BroughtUpToDateTest : public testing::TestWithParam<UpToDateCase> {};

TEST_P(BroughtUpToDateTest, GivesTheTrueTimeToTheNanosecond) {
  const UpToDateCase& c = GetParam();
  const PreciseTime now = BroughtUpToDate(kPageSecond, c.timing, kArrived + c.sinceArrival);
  EXPECT_EQ(now.second, c.expected.second);
  EXPECT_EQ(now.fraction.count(), c.expected.fraction.count());
}

INSTANTIATE_TEST_SUITE_P(
    Values, BroughtUpToDateTest,
    testing::Values(
        // Held to its second, 10 ms each way: the page left 61 us into its second.
        UpToDateCase{"held", Reply(412'503us, 61us, 432'503us), 0ns, At(12, 0, 0, 10'061'000ns)},
        UpToDateCase{"immediate", Reply(4us, 640'250us, 20'004us), 0ns,
                     At(12, 0, 0, 650'250'000ns)},
        UpToDateCase{"no figures", std::nullopt, 5s, At(12, 0, 0, 0ns)},
        UpToDateCase{"a hold as long as the exchange", Reply(20ms, 1ms, 20ms), 0ns,
                     At(12, 0, 0, 1ms)},
        // Figures that cannot be true count as none: the whole second is all there is.
        UpToDateCase{"a hold longer than the exchange", Reply(30ms, 1ms, 20ms), 0ns,
                     At(12, 0, 0, 0ns)},
        UpToDateCase{"an age of a whole second", Reply(0ns, 1s, 20ms), 0ns, At(12, 0, 0, 0ns)},
        UpToDateCase{"an age of many seconds", Reply(0ns, 59s, 20ms), 0ns, At(12, 0, 0, 0ns)},
        UpToDateCase{"an age just under a second", Reply(0ns, 999'999'999ns, 2ms), 0ns,
                     At(12, 0, 1, 999'999ns)},
        UpToDateCase{"a negative age", Reply(0ns, -1ms, 20ms), 0ns, At(12, 0, 0, 0ns)},
        UpToDateCase{"a negative hold", Reply(-1ms, 1ms, 20ms), 0ns, At(12, 0, 0, 0ns)},
        UpToDateCase{"a negative exchange", Reply(0ns, 1ms, -20ms), 0ns, At(12, 0, 0, 0ns)},
        UpToDateCase{"rolling into the next second", Reply(1ms, 900ms, 161ms), 30ms,
                     At(12, 0, 1, 10ms)},
        UpToDateCase{"onto the next second exactly", Reply(0ns, 999ms, 2ms), 0ns,
                     At(12, 0, 1, 0ns)},
        UpToDateCase{"time since the arrival counts", Reply(0ns, 500ms, 0ns), 2'600ms,
                     At(12, 0, 3, 100ms)},
        UpToDateCase{"a moment before the arrival adds nothing", Reply(0ns, 5ms, 2ms), -1s,
                     At(12, 0, 0, 6ms)}));

TEST(BroughtUpToDateTest, CarriesAcrossMidnightIntoTheNextDay) {
  const PreciseTime now = BroughtUpToDate(DateTime::FromParts(2026, 12, 31, 23, 59, 59),
                                          Reply(0ns, 990ms, 40ms), kArrived);
  EXPECT_EQ(now.second, DateTime::FromParts(2027, 1, 1, 0, 0, 0));
  EXPECT_EQ(now.fraction, 10ms);
}

}  // namespace
}  // namespace tidewell
