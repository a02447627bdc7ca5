// The reading order on arbitrary records: the output is a permutation of the input, its text is
// the lines joined by line feeds, and its confidence is the mean.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "recognition/ReadingOrder.h"
#include "tests/fuzz/FuzzTarget.h"

namespace {

template <typename T>
bool take(const std::uint8_t*& data, std::size_t& size, T& value) {
  if (size < sizeof value) return false;
  std::memcpy(&value, data, sizeof value);
  data += sizeof value;
  size -= sizeof value;
  return true;
}

std::string key(const std::string& text, double x, double y, double width, double height) {
  std::string bytes = text;
  for (const double value : {x, y, width, height}) {
    bytes.append(reinterpret_cast<const char*>(&value), sizeof value);
  }
  return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using quirna::fuzz::fail;
  std::vector<quirna::LineInfo> lines;
  for (;;) {
    double box[4];
    float confidence = 0;
    std::uint8_t length = 0;
    if (!take(data, size, box) || !take(data, size, confidence) || !take(data, size, length)) break;
    const std::size_t textLength = std::min<std::size_t>(length % 8, size);
    std::string text(reinterpret_cast<const char*>(data), textLength);
    text.erase(std::remove(text.begin(), text.end(), '\n'), text.end());
    data += textLength;
    size -= textLength;
    lines.push_back({text, box[0], box[1], box[2], box[3], confidence});
  }

  const quirna::PageText page = quirna::orderLines(lines);
  if (page.lines.size() != lines.size()) fail("line count changed");
  std::vector<std::string> in;
  std::vector<std::string> out;
  std::string joined;
  for (const auto& line : lines)
    in.push_back(key(line.text, line.x, line.y, line.width, line.height));
  for (std::size_t i = 0; i < page.lines.size(); ++i) {
    const auto& line = page.lines[i];
    out.push_back(key(line.text, line.x, line.y, line.width, line.height));
    if (i > 0) joined += '\n';
    joined += line.text;
  }
  std::sort(in.begin(), in.end());
  std::sort(out.begin(), out.end());
  if (in != out) fail("output is not a permutation of the input");
  if (joined != page.text) fail("text is not the lines joined");

  float sum = 0;
  for (const auto& line : lines) sum += line.confidence;
  const double mean =
      lines.empty() ? 0.0 : static_cast<double>(sum) / static_cast<double>(lines.size());
  const bool same = (std::isnan(mean) && std::isnan(page.confidence)) || mean == page.confidence;
  if (!same) fail("confidence is not the mean");
  return 0;
}
