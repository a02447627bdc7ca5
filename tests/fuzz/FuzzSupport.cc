#include "tests/fuzz/FuzzSupport.h"

#include <unistd.h>

#include <cstdio>
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

}  // namespace quirna::fuzz

#ifndef QUIRNA_LIBFUZZER
// Replays the files given, so that the seeds and every crash input kept as a regression case run
// without a fuzzer.
int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::ifstream file(argv[i], std::ios::binary);
    const std::vector<char> bytes{std::istreambuf_iterator<char>(file), {}};
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  }
  std::printf("replayed %d inputs\n", argc - 1);
  return argc > 1 ? 0 : 1;  // a corpus that moved must show
}
#endif
