#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace quirna::test {

struct ToolRun {
  std::string out;
  std::string err;
  int status = -1;  // exit status, -1 when ended by a signal
  int signal = 0;
};

// Runs the built tool with `args` (argv[1..]); stdout and stderr captured apart. `environment`
// entries ("NAME=value") are added to the inherited environment.
ToolRun runTool(const std::vector<std::string>& args,
                const std::vector<std::string>& environment = {});

// A fresh directory under the system's temporary folder, removed with the object.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

void writeFile(const std::filesystem::path& path, const std::string& bytes);
std::string readFile(const std::filesystem::path& path);

// A committed fixture in tests/data.
std::filesystem::path dataFile(const std::string& name);

}  // namespace quirna::test
