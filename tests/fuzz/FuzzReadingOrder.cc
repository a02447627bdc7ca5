// The reading order on arbitrary records: the output is a permutation of the input, its text is
// the lines joined by line feeds, and its confidence is the mean in the engine's order.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "recognition/ReadingOrder.h"
#include "tests/fuzz/FuzzSupport.h"

namespace {

// Each record: x, y, width, height as little-endian doubles, confidence as a float, a length
// byte, then up to 7 bytes of text.
std::vector<quirna::Observation> records(const std::uint8_t* data, std::size_t size) {
  std::vector<quirna::Observation> lines;
  constexpr std::size_t fixed = 4 * sizeof(double) + sizeof(float) + 1;
  while (size >= fixed) {
    quirna::Observation line{};
    std::memcpy(&line.x, data, 8), std::memcpy(&line.y, data + 8, 8);
    std::memcpy(&line.width, data + 16, 8), std::memcpy(&line.height, data + 24, 8);
    std::memcpy(&line.confidence, data + 32, 4);
    const std::size_t length = std::min<std::size_t>(data[36] % 8, size - fixed);
    line.text.assign(reinterpret_cast<const char*>(data + fixed), length);
    std::replace(line.text.begin(), line.text.end(), '\n', ' ');
    lines.push_back(std::move(line));
    data += fixed + length;
    size -= fixed + length;
  }
  return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<quirna::Observation> lines = records(data, size);
  const quirna::PageText page = quirna::reorderByColumns(lines);
  const auto key = [](const auto& line) {
    std::string bytes = line.text;
    for (const double value : {line.x, line.y, line.width, line.height}) {
      bytes.append(reinterpret_cast<const char*>(&value), sizeof value);
    }
    return bytes;
  };
  std::vector<std::string> in, out;
  std::string joined;
  for (const auto& line : lines) in.push_back(key(line));
  for (const auto& line : page.lines) {
    out.push_back(key(line));
    joined += (out.size() > 1 ? "\n" : "") + line.text;
  }
  std::sort(in.begin(), in.end());
  std::sort(out.begin(), out.end());
  if (in != out) quirna::fuzz::fail("output is not a permutation of the input");
  if (joined != page.text) quirna::fuzz::fail("text is not the lines joined");
  float sum = 0;
  for (const auto& line : lines) sum += line.confidence;
  const double mean =
      lines.empty() ? 0.0 : static_cast<double>(sum) / static_cast<double>(lines.size());
  if (!(mean == page.confidence || (std::isnan(mean) && std::isnan(page.confidence)))) {
    quirna::fuzz::fail("confidence is not the mean");
  }
  return 0;
}
