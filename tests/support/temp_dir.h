#pragma once
// A fresh folder for one test, removed with everything in it when the object goes.
#include <filesystem>
#include <string>

namespace tovix::testing {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return _path; }
  std::filesystem::path operator/(const std::string& name) const { return _path / name; }

 private:
  std::filesystem::path _path;
};

std::string read_text(const std::filesystem::path& file);
void write_text(const std::filesystem::path& file, const std::string& text);

}  // namespace tovix::testing
