#include "Plot.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <stdexcept>

#include "Process.h"

namespace tidewell::bench {
namespace {

using namespace std::chrono_literals;

// A log scale cannot show 0: errors under a microsecond sit on the bottom line.
constexpr double kFloorMs = 0.001;
constexpr double kCeilingMs = 2000;
// fenwhit's boxes in blues, htpdate's in oranges, so the two sides read at a glance.
constexpr const char* kOurColours[] = {"#1f5fa8", "#5b9bd5", "#a9c8ea"};
constexpr const char* kPeerColours[] = {"#d9531e", "#f0a04b"};

// gnuplot's strings in single quotes take everything literally but the quote itself.
std::string Quoted(const std::string& text) {
  std::string quoted = "'";
  for (const char c : text) {
    quoted += c;
    if (c == '\'') quoted += c;
  }
  return quoted + "'";
}

// Labels in double quotes, so that "\n" breaks the line.
std::string Label(const std::string& text) {
  std::string quoted = "\"";
  for (const char c : text) {
    if (c == '\n') {
      quoted += "\\n";
      continue;
    }
    if (c == '"' || c == '\\') quoted += '\\';
    quoted += c;
  }
  return quoted + "\"";
}

std::string Colours(const std::vector<ErrorSeries>& series) {
  std::string words;
  std::size_t ours = 0, peers = 0;
  for (const ErrorSeries& s : series) {
    const char* colour = s.ours ? kOurColours[ours++ % std::size(kOurColours)]
                                : kPeerColours[peers++ % std::size(kPeerColours)];
    if (!words.empty()) words += ' ';
    words += colour;
  }
  return words;
}

// One line per run: series, error in ms, the run's place in its series (to spread the points).
void WriteDataBlock(std::ostream& out, std::size_t index, const PathErrors& path) {
  out << "$path" << index << " << EOD\n";
  for (std::size_t s = 0; s < path.series.size(); ++s) {
    const std::vector<double>& errors = path.series[s].errors;
    for (std::size_t run = 0; run < errors.size(); ++run) {
      char line[96];
      std::snprintf(line, sizeof line, "%zu %.6f %zu\n", s, errors[run] * 1000, run);
      out << line;
    }
  }
  out << "EOD\n";
}

std::string XTics(const std::vector<ErrorSeries>& series) {
  std::string tics;
  for (std::size_t s = 0; s < series.size(); ++s) {
    if (s != 0) tics += ", ";
    tics += Label(series[s].label) + " " + std::to_string(s);
  }
  return "(" + tics + ")";
}

void WritePanel(std::ostream& out, std::size_t index, const PathErrors& path) {
  const std::size_t count = path.series.size();
  // The points of a series side by side around its box, the middle run on its line.
  std::size_t runs = 1;
  for (const ErrorSeries& s : path.series) runs = std::max(runs, s.errors.size());
  const double middle = (static_cast<double>(runs) - 1) / 2;
  out << "set title " << Label("path " + path.path + " (request/reply delay)") << "\n"
      << "set xrange [-0.6:" << count - 0.4 << "]\n"
      << "set xtics " << XTics(path.series) << " nomirror\n"
      << "colours = " << Label(Colours(path.series)) << "\n"
      << "plot for [s=0:" << count - 1 << "] $path" << index
      << " using (s):($1 == s ? size($2) : 1/0) with boxplot lc rgb word(colours, s + 1), \\\n"
      << "     $path" << index << " using ($1 + ($3 - " << middle << ") * "
      << 0.3 / static_cast<double>(runs)
      << "):(size($2)) with points pt 7 ps 0.7 lc rgb '#202020'\n";
}

}  // namespace

std::string PathsPlotScript(const std::vector<PathErrors>& paths, const std::string& title,
                            const std::string& png) {
  std::ostringstream out;
  out << "# Drawn by tidewell_bench (bench/run); `gnuplot -c` on this file [FILE.png] draws it "
         "again.\n"
      << "set terminal pngcairo size 1400,1100 font 'DejaVu Sans,11'\n"
      << "set output ARGC > 0 ? ARG1 : " << Quoted(std::filesystem::path(png).filename().string())
      << "\n";
  for (std::size_t i = 0; i < paths.size(); ++i) WriteDataBlock(out, i, paths[i]);
  out << "floor = " << kFloorMs << "\n"
      << "size(ms) = abs(ms) < floor ? floor : abs(ms)\n"
      << "set multiplot layout 2,2 title " << Label(title) << " font ',13'\n"
      << "set logscale y\n"
      << "set yrange [" << kFloorMs << ":" << kCeilingMs << "]\n"
      << "set format y '%g'\n"
      << "set ylabel 'absolute error (ms, log scale)'\n"
      << "set grid ytics\n"
      << "set key off\n"
      << "set style fill solid 0.6 border lc rgb '#404040'\n"
      << "set style boxplot nooutliers\n"
      << "set boxwidth 0.55\n"
      << "set bmargin 5\n";
  for (std::size_t i = 0; i < paths.size(); ++i) WritePanel(out, i, paths[i]);
  out << "unset multiplot\n";
  return out.str();
}

void DrawPathsPlot(const std::vector<PathErrors>& paths, const std::string& title,
                   const std::string& png, const Scratch& scratch) {
  const std::string base =
      png.size() > 4 && png.ends_with(".png") ? png.substr(0, png.size() - 4) : png;
  const std::string script = base + ".gp";
  WriteWholeFile(script, PathsPlotScript(paths, title, png));
  const Captured drawn =
      RunAndCapture({"gnuplot", "-c", script, png}, 60s, scratch.Path("gnuplot.out"));
  if (drawn.exitStatus != 0) {
    throw std::runtime_error("gnuplot could not draw " + png + ": " + drawn.output);
  }
}

}  // namespace tidewell::bench
