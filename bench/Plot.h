#pragma once

// The picture of the delayed paths: one panel per path, one box of run errors per program and
// kind of reply, drawn by gnuplot. The script carries its data, so it redraws the same picture.

#include <string>
#include <vector>

#include "Process.h"

namespace tidewell::bench {

// The errors of one program's runs, in seconds (signed; the plot shows their size).
struct ErrorSeries {
  std::string label;  // under its box, may hold "\n"
  bool ours = false;  // fenwhit's boxes are drawn in one colour, the peer's in another
  std::vector<double> errors;
};

struct PathErrors {
  std::string path;  // "10/10 ms"
  std::vector<ErrorSeries> series;
};

// The gnuplot script that draws `paths` into `png`, with `title` above the panels.
std::string PathsPlotScript(const std::vector<PathErrors>& paths, const std::string& title,
                            const std::string& png);

// Writes the script beside `png` (same name, .gp) and runs gnuplot on it, its output kept in
// the scratch directory. Throws when gnuplot is missing or fails.
void DrawPathsPlot(const std::vector<PathErrors>& paths, const std::string& title,
                   const std::string& png, const Scratch& scratch);

}  // namespace tidewell::bench
