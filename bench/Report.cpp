#include "Report.h"

#include <sched.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cmath>
#include <ctime>
#include <sstream>

#include "Process.h"

namespace tidewell::bench {
namespace {

// Columns are padded by characters, and the tables hold a few multi-byte characters (×, —);
// counting code points keeps them lined up.
std::size_t DisplayWidth(const std::string& text) {
  std::size_t width = 0;
  for (const unsigned char c : text) width += (c & 0xC0) != 0x80 ? 1 : 0;
  return width;
}

std::string Cell(std::string text) {
  // A bar inside a cell would end it.
  for (std::size_t at = 0; (at = text.find('|', at)) != std::string::npos; at += 2) {
    text.replace(at, 1, "\\|");
  }
  return text;
}

std::string Fixed(double value, int decimals) {
  std::ostringstream out;
  out.setf(std::ios::fixed);
  out.precision(decimals);
  out << value;
  return out.str();
}

}  // namespace

std::string Table::Markdown() const {
  std::vector<std::size_t> widths(header_.size(), 3);
  auto measure = [&](const std::vector<std::string>& row) {
    for (std::size_t i = 0; i < row.size() && i < widths.size(); ++i) {
      widths[i] = std::max(widths[i], DisplayWidth(Cell(row[i])));
    }
  };
  measure(header_);
  for (const auto& row : rows_) measure(row);

  std::ostringstream out;
  auto line = [&](const std::vector<std::string>& row) {
    out << "|";
    for (std::size_t i = 0; i < widths.size(); ++i) {
      const std::string text = i < row.size() ? Cell(row[i]) : "";
      out << " " << text << std::string(widths[i] - DisplayWidth(text), ' ') << " |";
    }
    out << "\n";
  };
  line(header_);
  out << "|";
  for (const std::size_t width : widths) out << std::string(width + 2, '-') << "|";
  out << "\n";
  for (const auto& row : rows_) line(row);
  return out.str();
}

std::string FormatMs(double seconds) {
  const double ms = seconds * 1000;
  if (std::fabs(ms) >= 100) return Fixed(ms, 0) + " ms";
  if (std::fabs(ms) >= 10) return Fixed(ms, 1) + " ms";
  return Fixed(ms, 2) + " ms";
}

std::string FormatSeconds(double seconds) {
  if (seconds >= 10) return Fixed(seconds, 1) + " s";
  return Fixed(seconds, 3) + " s";
}

std::string FormatKb(long kilobytes) { return Fixed(kilobytes / 1024.0, 1) + " MiB"; }

std::string FormatRatio(std::optional<double> ours, std::optional<double> peer) {
  if (!ours || !peer || *peer == 0) return "—";
  const double ratio = *ours / *peer;
  return (ratio >= 10 ? Fixed(ratio, 0) : ratio >= 0.1 ? Fixed(ratio, 2) : Fixed(ratio, 3)) + "×";
}

std::string FormatCount(double value) { return Fixed(value, 0); }

Machine DescribeMachine() {
  Machine machine;
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char date[16];
  std::strftime(date, sizeof date, "%Y-%m-%d", &local);
  machine.date = date;

  char host[256] = {};
  gethostname(host, sizeof host - 1);
  machine.hostname = host;
  cpu_set_t usable;
  if (sched_getaffinity(0, sizeof usable, &usable) == 0)
    machine.cores = CPU_COUNT(&usable);  // as nproc

  std::istringstream cpuinfo(ReadWholeFile("/proc/cpuinfo"));
  for (std::string line; std::getline(cpuinfo, line);) {
    if (line.rfind("model name", 0) == 0) {
      machine.cpuModel = line.substr(line.find(':') + 2);
      break;
    }
  }
  utsname system{};
  if (uname(&system) == 0) machine.kernel = std::string(system.sysname) + " " + system.release;
  return machine;
}

}  // namespace tidewell::bench
