// Test-only stand-ins for every libc function that can change the system clock.
//
// Loaded with LD_PRELOAD (normally through the with-clock-interposer wrapper), this library
// lets the tests run the real programs end to end on a machine whose clock must never move.
// No call that could change the clock is ever passed on to libc: the attempt is written to a
// log and answered as if it had happened (or refused, when asked to).
//
// Environment:
//   TIDEWELL_CLOCK_LOG     File that receives one line per captured call. Unset or empty: the
//                          calls are still captured, nothing is written.
//   TIDEWELL_CLOCK_REFUSE  "1": captured calls fail with EPERM, as for an unprivileged user.
//                          Anything else: they report success.
//   TIDEWELL_CLOCK_READ_STATUS  A number (0x51): the status bits a timex read reports in place
//                          of the kernel's, so a test can see which bits a program keeps. Unset
//                          or empty: the kernel's own.
//   TIDEWELL_CLOCK_PROBE_FILTER  "1": each captured call also finds out whether a system-call
//                          filter (seccomp, as systemd's SystemCallFilter=) lets that system call
//                          through, and logs filter=open or filter=closed. It asks the kernel the
//                          same system call in a form that cannot change any clock: the monotonic
//                          clock, which cannot be set; a time of day with a negative fraction,
//                          refused as invalid before privilege is looked at; a timex request with
//                          no modes, which only reads. A filter that kills instead of refusing
//                          kills the caller here, as it would have on the real call.
//
// Log lines: the function name, then space-separated key=value fields, one line per call,
// appended with O_APPEND and a single write() so that several processes can share a log.
//   clock_settime clock=0 requested=1765106433.000000000 real=1765106432.998123456 pid=42
//       result=ok
//   settimeofday clock=0 requested=1765106433.500000000 tz=none real=... pid=42 result=ok
//   adjtime clock=0 delta=-0.250000000 real=... pid=42 result=ok
//   adjtimex clock=0 modes=0x0101 offset=0 freq=0 setoffset=3600.000000000 status=0x2001
//       maxerror=16000000 esterror=16000000 real=... pid=42 result=refused
// (each example is a single line). ntp_adjtime and clock_adjtime log like adjtimex.
//   requested  The absolute time asked for, seconds.nanoseconds since the epoch; "none" when
//              settimeofday only sets the time zone.
//   tz         settimeofday's time zone as minuteswest,dsttime; "none" when absent.
//   delta      adjtime's slew as signed seconds.nanoseconds.
//   modes      The timex modes in hex; offset and freq are the raw timex fields; setoffset is
//              the ADJ_SETOFFSET step as signed seconds.nanoseconds, "none" without that mode.
//   status     The timex status bits asked for, in hex; maxerror and esterror the error bounds
//              asked for, in microseconds. Each is "none" without its mode (ADJ_STATUS,
//              ADJ_MAXERROR, ADJ_ESTERROR).
//   filter     open or closed: whether a system-call filter let the call through; only with
//              TIDEWELL_CLOCK_PROBE_FILTER=1, before real.
//   real       CLOCK_REALTIME when the call was made (clock_gettime is left alone).
//   result     ok (returned 0), refused (returned -1/EPERM) or invalid (returned -1/EINVAL,
//              for arguments libc or the kernel would reject before privilege is checked).
//
// The timex calls with modes == 0 only read the kernel's state; those go to libc unchanged and
// are not logged, and the same goes for adjtime with a null delta. stime is not covered: glibc
// keeps it only for old binaries, so nothing new can link against it.

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/timex.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tidewell {
namespace {

constexpr long kNanosPerSecond = 1000000000L;
constexpr long kMicrosPerSecond = 1000000L;

enum class Outcome { kOk, kRefused, kInvalid };

// libc declares several of these parameters nonnull, which would let the compiler drop our
// null checks; reading the pointer back through a volatile keeps the check honest.
template <typename T>
T* Launder(T* pointer) {
  T* volatile copy = pointer;
  return copy;
}

bool RefuseRequested() {
  const char* value = std::getenv("TIDEWELL_CLOCK_REFUSE");
  return value != nullptr && std::strcmp(value, "1") == 0;
}

// A fixed buffer is enough for one line, and keeps the library free of allocation so it is
// safe inside any program, sanitized or not.
class Line {
 public:
  void Append(const char* text) { Printf("%s", text); }

  void AppendInt(const char* key, long long value) { Printf(" %s=%lld", key, value); }

  // Writes seconds plus a fraction counted in units_per_second as signed
  // seconds.nanoseconds, normalising fractions that are negative or a second or more.
  void AppendSeconds(const char* key, long long seconds, long long fraction,
                     long long units_per_second) {
    long long carry = fraction / units_per_second;
    long long rest = fraction % units_per_second;
    if (rest < 0) {
      rest += units_per_second;
      carry -= 1;
    }
    if (__builtin_add_overflow(seconds, carry, &seconds)) {
      Printf(" %s=overflow", key);
      return;
    }
    long long nanos = rest * (kNanosPerSecond / units_per_second);
    bool negative = seconds < 0;
    unsigned long long whole;
    if (!negative) {
      whole = static_cast<unsigned long long>(seconds);
    } else if (nanos == 0) {
      whole = static_cast<unsigned long long>(-(seconds + 1)) + 1;
    } else {
      // -2 s + 0.75 s is -1.25 s: the magnitude borrows one second from the whole part.
      whole = static_cast<unsigned long long>(-(seconds + 1));
      nanos = kNanosPerSecond - nanos;
    }
    Printf(" %s=%s%llu.%09lld", key, negative ? "-" : "", whole, nanos);
  }

  // Writes the closing fields and appends the finished line to the log, if there is one.
  void Finish(Outcome outcome) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    AppendSeconds("real", now.tv_sec, now.tv_nsec, kNanosPerSecond);
    AppendInt("pid", getpid());
    const char* result = outcome == Outcome::kOk        ? "ok"
                         : outcome == Outcome::kRefused ? "refused"
                                                        : "invalid";
    Printf(" result=%s\n", result);
    WriteToLog();
  }

 private:
  template <typename... Args>
  void Printf(const char* format, Args... args) {
    if (length_ >= sizeof(buffer_)) return;
    int written = std::snprintf(buffer_ + length_, sizeof(buffer_) - length_, format, args...);
    if (written > 0) length_ += static_cast<std::size_t>(written);
    if (length_ >= sizeof(buffer_)) {
      // Truncated: keep the line a line, so the log stays parseable.
      length_ = sizeof(buffer_) - 1;
      buffer_[length_ - 1] = '\n';
    }
  }

  void WriteToLog() const {
    const char* path = std::getenv("TIDEWELL_CLOCK_LOG");
    if (path == nullptr || path[0] == '\0') return;
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return;
    // One write() per line: with O_APPEND the kernel places it whole at the end, even when
    // other processes write to the same log at the same moment.
    while (write(fd, buffer_, length_) < 0 && errno == EINTR) {
    }
    close(fd);
  }

  char buffer_[512] = {};
  std::size_t length_ = 0;
};

// The system call a captured function would have made.
enum class SystemCall { kClockSettime, kSettimeofday, kAdjtimex, kClockAdjtime };

// Whether a system-call filter lets `call` through, from the kernel's answer to a harmless form
// of it (see TIDEWELL_CLOCK_PROBE_FILTER above): the kernel rejects the setters' forms as invalid
// and answers the reads, where a filter gives its own error.
bool FilterLetsThrough(SystemCall call) {
  int saved_errno = errno;
  timespec unsettable{};
  timeval invalid{0, -1};
  timex read_only{};
  long rc = -1;
  bool setter = false;
  switch (call) {
    case SystemCall::kClockSettime:
      setter = true;
      rc = syscall(SYS_clock_settime, CLOCK_MONOTONIC, &unsettable);
      break;
    case SystemCall::kSettimeofday:
      setter = true;
      rc = syscall(SYS_settimeofday, &invalid, nullptr);
      break;
    case SystemCall::kAdjtimex:
      rc = syscall(SYS_adjtimex, &read_only);
      break;
    case SystemCall::kClockAdjtime:
      rc = syscall(SYS_clock_adjtime, CLOCK_REALTIME, &read_only);
      break;
  }
  bool through = setter ? rc == -1 && errno == EINVAL : rc >= 0;
  errno = saved_errno;
  return through;
}

void AppendFilter(Line& line, SystemCall call) {
  const char* value = std::getenv("TIDEWELL_CLOCK_PROBE_FILTER");
  if (value == nullptr || std::strcmp(value, "1") != 0) return;
  line.Append(FilterLetsThrough(call) ? " filter=open" : " filter=closed");
}

// Logs the call and gives the caller the answer the kernel would have given, leaving errno
// untouched on success just like the real functions.
int Conclude(Line& line, Outcome outcome) {
  int saved_errno = errno;
  if (outcome == Outcome::kOk && RefuseRequested()) outcome = Outcome::kRefused;
  line.Finish(outcome);
  switch (outcome) {
    case Outcome::kOk:
      errno = saved_errno;
      return 0;
    case Outcome::kRefused:
      errno = EPERM;
      return -1;
    case Outcome::kInvalid:
      errno = EINVAL;
      return -1;
  }
  return -1;
}

// The checks the kernel makes before it looks at privilege: only the realtime clock can be
// set, and only to a time at or after the epoch with a proper fraction.
bool SettableTime(clockid_t clock_id, long long seconds, long long fraction,
                  long long units_per_second) {
  return clock_id == CLOCK_REALTIME && seconds >= 0 && fraction >= 0 && fraction < units_per_second;
}

// glibc hands adjtime's slew to the kernel in microseconds in an int, and refuses any slew
// whose whole seconds would not leave room for that.
bool SlewableDelta(const timeval& delta) {
  constexpr long long kLimit = 2147483647LL / kMicrosPerSecond - 2;
  long long seconds = delta.tv_sec;
  long long carry = delta.tv_usec / kMicrosPerSecond;
  if (__builtin_add_overflow(seconds, carry, &seconds)) return false;
  return seconds <= kLimit && seconds >= -kLimit;
}

using TimexFunction = int (*)(timex*);
using ClockTimexFunction = int (*)(clockid_t, timex*);

// Finds libc's own function for a pure read; nothing that changes the clock comes here.
template <typename Function>
Function NextFunction(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

void AppendIfAsked(Line& line, unsigned int asked, const char* key, long long value) {
  if (asked != 0) {
    line.AppendInt(key, value);
  } else {
    line.Append(" ");
    line.Append(key);
    line.Append("=none");
  }
}

int CaptureTimex(const char* name, SystemCall call, clockid_t clock_id, const timex* request) {
  Line line;
  line.Append(name);
  line.AppendInt("clock", clock_id);
  char modes[32];
  std::snprintf(modes, sizeof(modes), " modes=0x%04x", request->modes);
  line.Append(modes);
  line.AppendInt("offset", request->offset);
  line.AppendInt("freq", request->freq);
  if ((request->modes & ADJ_SETOFFSET) != 0) {
    long long units = (request->modes & ADJ_NANO) != 0 ? kNanosPerSecond : kMicrosPerSecond;
    line.AppendSeconds("setoffset", request->time.tv_sec, request->time.tv_usec, units);
  } else {
    line.Append(" setoffset=none");
  }
  if ((request->modes & ADJ_STATUS) != 0) {
    char status[32];
    std::snprintf(status, sizeof(status), " status=0x%04x", static_cast<unsigned>(request->status));
    line.Append(status);
  } else {
    line.Append(" status=none");
  }
  AppendIfAsked(line, request->modes & ADJ_MAXERROR, "maxerror", request->maxerror);
  AppendIfAsked(line, request->modes & ADJ_ESTERROR, "esterror", request->esterror);
  AppendFilter(line, call);
  // The state the kernel reports when the clock is synchronised; the caller's structure is
  // left as it was, since nothing was applied.
  int result = Conclude(line, Outcome::kOk);
  return result == 0 ? TIME_OK : result;
}

int NoFunction() {
  errno = ENOSYS;
  return -1;
}

// A read answered by the kernel, with the status bits the test asked to be shown instead.
int AnswerRead(int result, timex* request) {
  const char* status = std::getenv("TIDEWELL_CLOCK_READ_STATUS");
  if (result >= 0 && status != nullptr && status[0] != '\0') {
    request->status = static_cast<int>(std::strtol(status, nullptr, 0));
  }
  return result;
}

// adjtimex and ntp_adjtime, which glibc implements alike on the real clock: a pure read goes to
// the real function, anything that would change the clock is captured.
int InterceptTimex(const char* name, timex* request) {
  request = Launder(request);
  if (request == nullptr) {
    errno = EFAULT;
    return -1;
  }
  if (request->modes == 0) {
    auto next = NextFunction<TimexFunction>(name);
    return next != nullptr ? AnswerRead(next(request), request) : NoFunction();
  }
  return CaptureTimex(name, SystemCall::kAdjtimex, CLOCK_REALTIME, request);
}

}  // namespace
}  // namespace tidewell

extern "C" {

int clock_settime(clockid_t clock_id, const struct timespec* request) noexcept {
  using namespace tidewell;
  request = Launder(request);
  if (request == nullptr) {
    errno = EFAULT;
    return -1;
  }
  Line line;
  line.Append("clock_settime");
  line.AppendInt("clock", clock_id);
  line.AppendSeconds("requested", request->tv_sec, request->tv_nsec, kNanosPerSecond);
  AppendFilter(line, SystemCall::kClockSettime);
  bool valid = SettableTime(clock_id, request->tv_sec, request->tv_nsec, kNanosPerSecond);
  return Conclude(line, valid ? Outcome::kOk : Outcome::kInvalid);
}

int settimeofday(const struct timeval* request, const struct timezone* zone) noexcept {
  using namespace tidewell;
  Line line;
  line.Append("settimeofday");
  line.AppendInt("clock", CLOCK_REALTIME);
  if (request != nullptr) {
    line.AppendSeconds("requested", request->tv_sec, request->tv_usec, kMicrosPerSecond);
  } else {
    line.Append(" requested=none");
  }
  if (zone != nullptr) {
    char text[64];
    std::snprintf(text, sizeof(text), " tz=%d,%d", zone->tz_minuteswest, zone->tz_dsttime);
    line.Append(text);
  } else {
    line.Append(" tz=none");
  }
  AppendFilter(line, SystemCall::kSettimeofday);
  // glibc takes either a time or a zone, never both, and the time must be a valid one.
  bool valid = (request == nullptr) != (zone == nullptr) &&
               (request == nullptr ||
                SettableTime(CLOCK_REALTIME, request->tv_sec, request->tv_usec, kMicrosPerSecond));
  return Conclude(line, valid ? Outcome::kOk : Outcome::kInvalid);
}

int adjtime(const struct timeval* delta, struct timeval* old_delta) noexcept {
  using namespace tidewell;
  if (delta == nullptr) {
    // Only asks how much slewing is left: harmless, so libc answers.
    auto next = NextFunction<int (*)(const timeval*, timeval*)>("adjtime");
    return next != nullptr ? next(delta, old_delta) : NoFunction();
  }
  Line line;
  line.Append("adjtime");
  line.AppendInt("clock", CLOCK_REALTIME);
  line.AppendSeconds("delta", delta->tv_sec, delta->tv_usec, kMicrosPerSecond);
  // glibc's adjtime is adjtimex underneath.
  AppendFilter(line, SystemCall::kAdjtimex);
  int result = Conclude(line, SlewableDelta(*delta) ? Outcome::kOk : Outcome::kInvalid);
  // Nothing was ever slewed here, so nothing is left outstanding.
  if (result == 0 && old_delta != nullptr) *old_delta = timeval{};
  return result;
}

int adjtimex(struct timex* request) noexcept {
  return tidewell::InterceptTimex("adjtimex", request);
}

int ntp_adjtime(struct timex* request) noexcept {
  return tidewell::InterceptTimex("ntp_adjtime", request);
}

int clock_adjtime(clockid_t clock_id, struct timex* request) noexcept {
  using namespace tidewell;
  request = Launder(request);
  if (request == nullptr) {
    errno = EFAULT;
    return -1;
  }
  if (request->modes == 0) {
    auto next = NextFunction<ClockTimexFunction>("clock_adjtime");
    return next != nullptr ? AnswerRead(next(clock_id, request), request) : NoFunction();
  }
  return CaptureTimex("clock_adjtime", SystemCall::kClockAdjtime, clock_id, request);
}

}  // extern "C"
