#include "tests/fuzz/FuzzSupport.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

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

#ifndef QUIRNA_LIBFUZZER
// Replays every file under the folders given, so that the seeds and every crash input kept as a
// regression case run without a fuzzer. Replaying nothing is a failure: a moved corpus must show.
int main(int argc, char** argv) {
  int count = 0;
  for (int i = 1; i < argc; ++i) {
    for (const auto& entry : std::filesystem::recursive_directory_iterator(argv[i])) {
      if (!entry.is_regular_file()) continue;
      std::ifstream file(entry.path(), std::ios::binary);
      const std::vector<char> bytes{std::istreambuf_iterator<char>(file), {}};
      LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
      ++count;
    }
  }
  std::printf("replayed %d inputs\n", count);
  return count > 0 ? 0 : 1;
}
#endif
