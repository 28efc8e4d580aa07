#pragma once

// The report: Markdown tables that read well in a terminal too, number formats, and the
// description of the machine the numbers came from.

#include <optional>
#include <string>
#include <vector>

namespace tidewell::bench {

class Table {
 public:
  explicit Table(std::vector<std::string> header) : header_(std::move(header)) {}
  void AddRow(std::vector<std::string> cells) { rows_.push_back(std::move(cells)); }
  // Columns padded to a common width, so that the printed table lines up as it stands.
  std::string Markdown() const;

 private:
  std::vector<std::string> header_;
  std::vector<std::vector<std::string>> rows_;
};

std::string FormatMs(double seconds);       // "12.3 ms", "1234 ms"
std::string FormatSeconds(double seconds);  // "0.012 s", "15.1 s"
std::string FormatKb(long kilobytes);       // "11.7 MiB"
std::string FormatRatio(std::optional<double> ours, std::optional<double> peer);  // "0.25×"
std::string FormatCount(double value);                                            // "12345"

struct Machine {
  std::string date;  // YYYY-MM-DD, local
  std::string hostname;
  std::string cpuModel;
  int cores = 0;
  std::string kernel;
};

Machine DescribeMachine();

}  // namespace tidewell::bench
