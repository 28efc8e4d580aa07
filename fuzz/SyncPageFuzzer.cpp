// One synchronisation on arbitrary page bytes, through the fake platform. Whatever the page
// holds, DoAtomicTime may only return True (the clock set once, to a real moment near the old
// clock, and its time text kept), return False (no time text, the clock untouched unless the
// system refused the change) or raise one of the run-time errors it is known to raise.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

#include "FakePlatform.h"
#include "FuzzCheck.h"
#include "RuntimeError.h"
#include "TimeCore.h"

namespace {

using tidewell::DateTime;
using tidewell::FakePlatform;
using tidewell::RuntimeError;
using tidewell::TimeCore;

constexpr std::string_view kMarker = "Universal";
constexpr std::uint32_t kChunkSize = 2048;
// A page may be padded in front up to this size, so that the positions past 32767 that the
// routine refuses are reached without inputs of that size.
constexpr std::size_t kMaxFiller = 40000;

const std::int64_t kFirstSerial = DateTime::FromParts(DateTime::kMinYear, 1, 1).SerialSeconds();
const std::int64_t kLastSerial =
    DateTime::FromParts(DateTime::kMaxYear, 12, 31, 23, 59, 59).SerialSeconds();

// Mostly offsets a real zone could have; now and then any 32-bit value, so that the overflow of
// the sum is reached too.
std::int32_t PickBias(FuzzedDataProvider& data, std::int32_t usual) {
  if (data.ConsumeIntegralInRange<int>(0, 15) == 0) return data.ConsumeIntegral<std::int32_t>();
  return data.ConsumeIntegralInRange<std::int32_t>(-usual, usual);
}

// The bytes at the end of the input choose the zone, the clock and how the page arrives; the
// rest is the page, so that a saved page used as a seed is fuzzed nearly as it is.
void SetScene(FuzzedDataProvider& data, FakePlatform& fake) {
  fake.zone.Bias = PickBias(data, 24 * 60);
  fake.zone.StandardBias = PickBias(data, 120);
  fake.zone.DaylightBias = PickBias(data, 120);
  fake.zone.StandardMonth = data.ConsumeIntegralInRange<std::int16_t>(0, 13);
  fake.zone.StandardDay = data.ConsumeIntegralInRange<std::int16_t>(0, 32);
  fake.zone.DaylightMonth = data.ConsumeIntegralInRange<std::int16_t>(0, 13);
  fake.zone.DaylightDay = data.ConsumeIntegralInRange<std::int16_t>(0, 32);
  fake.zone.StandardChangeSecond = data.ConsumeIntegralInRange<std::int32_t>(0, 86400);
  fake.zone.DaylightChangeSecond = data.ConsumeIntegralInRange<std::int32_t>(0, 86400);
  fake.clock = DateTime::FromSerialSeconds(
      data.ConsumeIntegralInRange<std::int64_t>(kFirstSerial, kLastSerial));
  fake.refuseClockChange = data.ConsumeBool();
  fake.page.reachable = data.ConsumeIntegral<std::uint8_t>() != 0;
  const int sizes = data.ConsumeIntegralInRange<int>(0, 4);
  for (int i = 0; i < sizes; ++i) {
    fake.page.readSizes.push_back(data.ConsumeIntegralInRange<std::uint32_t>(0, 3 * kChunkSize));
  }
  if (data.ConsumeIntegralInRange<int>(0, 15) == 0) {
    fake.page.failAfterBytes = data.ConsumeIntegralInRange<std::size_t>(0, kMaxFiller);
  }
  std::size_t filler = 0;
  if (data.ConsumeIntegralInRange<int>(0, 7) == 0) {
    filler = data.ConsumeIntegralInRange<std::size_t>(0, kMaxFiller);
  }
  fake.page.body = std::string(filler, 'x') + data.ConsumeRemainingBytesAsString();
}

// The download asks for whole chunks, ends on a read of nothing, and closes what it opened,
// the address before the session.
void CheckDownload(const FakePlatform& fake) {
  for (const std::uint32_t asked : fake.readsAsked) FUZZ_CHECK(asked == kChunkSize, "read size");
  if (fake.readsDelivered.empty()) return;  // stopped before downloading
  FUZZ_CHECK(fake.readsDelivered.back() == 0, "the download ended on a read that delivered data");
  for (std::size_t i = 0; i + 1 < fake.readsDelivered.size(); ++i) {
    FUZZ_CHECK(fake.readsDelivered[i] != 0, "the download went on after an empty read");
  }
  const std::size_t opened = fake.page.reachable ? 2 : 1;
  FUZZ_CHECK(fake.handlesClosed.size() == opened, "handles closed");
  if (opened == 2) FUZZ_CHECK(fake.handlesClosed[0] > fake.handlesClosed[1], "closing order");
}

// Whether the text the download delivered has a comma before its first marker: the only pages
// on which the routine may go past its False.
bool HasTimeEntry(const FakePlatform& fake) {
  std::size_t delivered = 0;
  for (const std::uint32_t bytes : fake.readsDelivered) delivered += bytes;
  const std::string_view page = std::string_view{fake.page.body}.substr(0, delivered);
  const std::size_t marker = page.find(kMarker);
  return marker != std::string_view::npos && page.substr(0, marker).find(',') != page.npos;
}

void CheckTrue(const TimeCore& core, const FakePlatform& fake, const DateTime& before) {
  FUZZ_CHECK(!fake.refuseClockChange, "True although the change was refused");
  FUZZ_CHECK(fake.clockSets.size() == 1, "True must set the clock exactly once");
  const DateTime set = fake.clockSets.front();
  FUZZ_CHECK(set.SecondOfDay() >= 0 && set.SecondOfDay() < DateTime::kSecondsPerDay,
             "time of day out of range");
  FUZZ_CHECK(set.Year() >= DateTime::kMinYear && set.Year() <= DateTime::kMaxYear, "year");
  // The time of day goes on the day that puts it nearest the old clock: within half a day,
  // except on the first and last day of the supported range, where a neighbour day is missing.
  const std::int64_t moved = set.SerialSeconds() - before.SerialSeconds();
  const bool nearEdge = before.SerialSeconds() - kFirstSerial < DateTime::kSecondsPerDay ||
                        kLastSerial - before.SerialSeconds() < DateTime::kSecondsPerDay;
  const std::int64_t allowed =
      nearEdge ? DateTime::kSecondsPerDay - 1 : DateTime::kSecondsPerDay / 2;
  FUZZ_CHECK(moved <= allowed && moved >= -allowed, "the clock moved to another day");
  // The clock is set with the offset of one of the zone's two periods.
  const std::int64_t bias = fake.clockSetBiases.front();
  FUZZ_CHECK(bias == std::int64_t{fake.zone.Bias} + fake.zone.StandardBias ||
                 bias == std::int64_t{fake.zone.Bias} + fake.zone.DaylightBias,
             "set with an offset of neither period");
  FUZZ_CHECK(!core.m_StrAtomicTime.empty(), "True without a time text");
  FUZZ_CHECK(HasTimeEntry(fake), "True without a comma before the marker");
}

void CheckFalse(const TimeCore& core, const FakePlatform& fake) {
  FUZZ_CHECK(core.m_StrAtomicTime.empty(), "False left a time text");
  // The only False after the clock was asked to change is the system's refusal.
  FUZZ_CHECK(fake.clockSets.size() <= (fake.refuseClockChange ? 1u : 0u), "False set the clock");
  if (fake.clockSets.empty()) FUZZ_CHECK(!HasTimeEntry(fake), "False on a page with a time entry");
}

void CheckError(const RuntimeError& error, const TimeCore& core, const FakePlatform& fake) {
  const int number = error.Number();
  FUZZ_CHECK(number == tidewell::kErrOverflow || number == tidewell::kErrTypeMismatch ||
                 number == tidewell::kErrInvalidCall,
             error.what());
  FUZZ_CHECK(fake.clockSets.empty(), "a run-time error after the clock was set");
  FUZZ_CHECK(core.m_StrAtomicTime.empty(), "a run-time error left a time text");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  FuzzedDataProvider data(bytes, size);
  FakePlatform fake;
  SetScene(data, fake);
  const DateTime before = fake.clock;

  TimeCore core(fake);
  core.m_StrAtomicTime = "left from an earlier call";
  try {
    if (core.DoAtomicTime()) {
      CheckTrue(core, fake, before);
    } else {
      CheckFalse(core, fake);
    }
  } catch (const RuntimeError& error) {
    CheckError(error, core, fake);
  } catch (const std::exception& error) {
    FUZZ_CHECK(false, error.what());  // anything but a run-time error is a fault
  }
  CheckDownload(fake);
  return 0;
}
