#include "recognition/ReadingRules.h"

#include <algorithm>
#include <cstddef>
#include <functional>

namespace quirna {

namespace {

std::vector<Band> withinBandPixels(std::vector<Band> bands, int width,
                                   const std::function<bool(int)>& white) {
  const auto rows = static_cast<int>(maxBandPixels / std::max(width, 1));
  std::vector<Band> cut;
  for (Band band : bands) {
    while (band.bottom - band.top > rows) {
      const int last = std::min(band.top + rows, band.bottom - minBandHeight);
      int at = last;
      while (at > band.top + minBandHeight && !white(at)) --at;
      if (at <= band.top + minBandHeight) at = last;
      cut.push_back({band.top, at});
      band.top = at;
    }
    cut.push_back(band);
  }
  return cut;
}

}  // namespace

std::vector<Band> cutIntoBands(const std::vector<std::int32_t>& inkPerRow, std::int32_t ink,
                               int width) {
  const int height = static_cast<int>(inkPerRow.size());
  const int count = std::min(maxBands, static_cast<int>(ink / inkPerBand));
  std::vector<std::int32_t> inkAbove(inkPerRow.size() + 1, 0);
  for (std::size_t y = 0; y < inkPerRow.size(); ++y) inkAbove[y + 1] = inkAbove[y] + inkPerRow[y];
  const auto white = [&](int y) {
    return inkAbove[static_cast<std::size_t>(y) + 1] == inkAbove[static_cast<std::size_t>(y)];
  };
  std::vector<Band> bands;
  int top = 0;
  for (int i = 1; i < count; ++i) {
    // The white row nearest the row where the ink reaches its share, cut at the middle of its run
    // of white rows. The top band, which tells the language before the others can start, gets
    // half a share.
    const auto target = static_cast<std::int32_t>(ink * (i - 0.5) / (count - 0.5));
    const int wanted = static_cast<int>(std::lower_bound(inkAbove.begin(), inkAbove.end(), target) -
                                        inkAbove.begin());
    int cut = -1;
    for (int distance = 0; distance < height && cut < 0; ++distance) {
      for (const int y : {wanted - distance, wanted + distance}) {
        if (y > top && y < height && white(y)) {
          cut = y;
          break;
        }
      }
    }
    if (cut < 0) continue;
    int first = cut;
    int last = cut;
    while (first > top + 1 && white(first - 1)) --first;
    while (last + 1 < height && white(last + 1)) ++last;
    const int middle = (first + last + 1) / 2;
    if (middle - top < minBandHeight || height - middle < minBandHeight) continue;
    bands.push_back({top, middle});
    top = middle;
  }
  bands.push_back({top, height});
  return withinBandPixels(std::move(bands), width, white);
}

// Small type: lines the engine finds under 18 px high (below 9 pt at 144 DPI: contents pages,
// reference cards, small print) or a quarter of 20 or more words read poorly (confidence under 80:
// cramped tables). On the single pages of the benchmark such pages gain up to 0.14 F1; 9- and 10-pt
// body text (18 to 20 px) loses up to 0.01 and costs twice the CPU, and its readings have at most
// 17 % poor words.
bool isSmallType(const std::vector<RecognizedLine>& lines) {
  constexpr int smallLineHeight = 18;
  constexpr float poorConfidence = 80;
  constexpr double poorFraction = 0.25;
  constexpr std::size_t minWords = 20;  // a title page's few large words say nothing
  if (lines.empty()) return false;
  std::vector<int> heights;
  std::size_t words = 0;
  std::size_t poor = 0;
  for (const RecognizedLine& line : lines) {
    heights.push_back(line.box.bottom - line.box.top);
    for (const RecognizedWord& word : line.words) {
      ++words;
      if (word.confidence < poorConfidence) ++poor;
    }
  }
  const auto middle = heights.begin() + static_cast<std::ptrdiff_t>(heights.size() / 2);
  std::nth_element(heights.begin(), middle, heights.end());
  return *middle < smallLineHeight ||
         (words >= minWords &&
          static_cast<double>(poor) >= poorFraction * static_cast<double>(words));
}

}  // namespace quirna
