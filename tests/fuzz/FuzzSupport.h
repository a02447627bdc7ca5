#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Each fuzz target defines this; built with libFuzzer it is driven by the fuzzer, otherwise by the
// replay main in FuzzSupport.cc over a corpus, so the seeds run with the ordinary tests.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace quirna::fuzz {

// Writes the input to a per-process scratch file (in memory where the system offers it) and
// returns its path; the loaders under test take paths, not buffers.
std::string scratchFile(const std::uint8_t* data, std::size_t size, const char* extension);

}  // namespace quirna::fuzz
