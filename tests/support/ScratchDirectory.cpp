#include "ScratchDirectory.h"

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace tidewell::test {

ScratchDirectory::ScratchDirectory(const std::string& prefix, mode_t mode) {
  std::string pattern = std::filesystem::temp_directory_path() / (prefix + "-XXXXXX");
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot make " + pattern);
  chmod(pattern.c_str(), mode);
  path_ = pattern;
}

ScratchDirectory::~ScratchDirectory() {
  if (keep_) return;
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

void WriteWholeFile(const std::string& path, const std::string& text) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << text;
  if (!file) throw std::runtime_error("cannot write " + path);
}

}  // namespace tidewell::test
