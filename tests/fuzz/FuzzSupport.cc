#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "tests/fuzz/FuzzTarget.h"

namespace quirna::fuzz {

std::string scratchFile(const std::uint8_t* data, std::size_t size, const char* extension) {
  static const std::filesystem::path folder = std::filesystem::is_directory("/dev/shm")
                                                  ? "/dev/shm"
                                                  : std::filesystem::temp_directory_path();
  const std::string path =
      (folder / ("quirna-fuzz-" + std::to_string(::getpid()) + "." + extension)).string();
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  return path;
}

void fail(const char* what) {
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

}  // namespace quirna::fuzz
