#include "recognition/ReadingRules.h"

#include <algorithm>
#include <cstddef>
#include <functional>
#include <memory>
#include <utility>

#include <leptonica/allheaders.h>

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

// The page's type size: the median line height, which a few headings or specks do not move.
int medianLineHeight(const std::vector<RecognizedLine>& lines) {
  std::vector<int> heights;
  for (const RecognizedLine& line : lines) heights.push_back(line.box.bottom - line.box.top);
  return medianOf(std::move(heights));
}

struct BoxaDeleter {
  void operator()(BOXA* boxes) const noexcept { boxaDestroy(&boxes); }
};
using BoxaPtr = std::unique_ptr<BOXA, BoxaDeleter>;

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
  std::size_t words = 0;
  std::size_t poor = 0;
  for (const RecognizedLine& line : lines) {
    for (const RecognizedWord& word : line.words) {
      ++words;
      if (word.confidence < poorConfidence) ++poor;
    }
  }
  return medianLineHeight(lines) < smallLineHeight ||
         (words >= minWords &&
          static_cast<double>(poor) >= poorFraction * static_cast<double>(words));
}

// The engine's own layout drops a column of page numbers from some contents pages drawn finer
// (bold digits after leaders), and now and then a line among leaders.
std::vector<PixelBox> leftOutAreas(const Pix* ink, const std::vector<RecognizedLine>& lines) {
  // A speck or two is no text; three letters may be all the page numbers a contents page lost (the
  // engine drops the numbers of two or three entries as readily as a whole column).
  constexpr std::size_t minLeftOut = 3;
  if (lines.empty()) return {};
  const int lineHeight = std::max(medianLineHeight(lines), 1);
  Pix* page = const_cast<Pix*>(ink);  // Leptonica's accessors only read it
  const int width = pixGetWidth(page);
  const int height = pixGetHeight(page);
  PixPtr read(pixCreate(width, height, 1));
  PixPtr left(pixCreate(width, height, 1));
  if (!read || !left) return {};
  // Each line's box, widened by half a line a side for the letters the engine's box clips.
  const int margin = lineHeight / 2;
  for (const RecognizedLine& line : lines) {
    const PixelBox& box = line.box;
    pixRasterop(read.get(), box.left - margin, box.top, box.right - box.left + 2 * margin,
                box.bottom - box.top, PIX_SET, nullptr, 0, 0);
  }
  // A page holds some thousands of letters; a noisy one may hold millions of specks, whose boxes
  // would cost more memory than the page.
  constexpr l_int32 maxBlobs = 200'000;
  l_int32 count = 0;
  if (pixCountConnComp(page, 8, &count) != 0 || count > maxBlobs) return {};
  const BoxaPtr blobs(pixConnCompBB(page, 8));
  if (!blobs) return {};
  std::size_t leftOut = 0;
  for (l_int32 i = 0; i < boxaGetCount(blobs.get()); ++i) {
    l_int32 x = 0, y = 0, w = 0, h = 0;
    boxaGetBoxGeometry(blobs.get(), i, &x, &y, &w, &h);
    if (h * 5 < lineHeight * 2 || h * 5 > lineHeight * 6 || w > 2 * lineHeight) continue;
    l_uint32 inLine = 0;
    pixGetPixel(read.get(), x + w / 2, y + h / 2, &inLine);
    if (inLine != 0) continue;
    ++leftOut;
    pixRasterop(left.get(), x, y, w, h, PIX_SET, nullptr, 0, 0);
  }
  if (leftOut < minLeftOut) return {};
  // Letters two lines apart along a line and one down a column are one area.
  const PixPtr joined(pixDilateBrick(nullptr, left.get(), 4 * lineHeight + 1, 2 * lineHeight + 1));
  const BoxaPtr gathered(joined ? pixConnCompBB(joined.get(), 8) : nullptr);
  if (!gathered) return {};
  std::vector<PixelBox> areas;
  const l_int32 found = boxaGetCount(gathered.get());
  for (l_int32 i = 0; i < found && static_cast<std::size_t>(found) <= maxLeftOutAreas; ++i) {
    l_int32 x = 0, y = 0, w = 0, h = 0;
    boxaGetBoxGeometry(gathered.get(), i, &x, &y, &w, &h);
    // The letters' own extent, inside what the dilation added, grown to hold the blobs it cuts
    // or all but touches: a page number's first digit, in a line's margin, cut off would leave
    // the next read as another number.
    PixelBox area{x + 2 * lineHeight, y + lineHeight, x + w - 2 * lineHeight, y + h - lineHeight};
    const PixelBox inner = area;
    for (l_int32 j = 0; j < boxaGetCount(blobs.get()); ++j) {
      l_int32 bx = 0, by = 0, bw = 0, bh = 0;
      boxaGetBoxGeometry(blobs.get(), j, &bx, &by, &bw, &bh);
      if (bx >= inner.right + margin || bx + bw <= inner.left - margin || by >= inner.bottom ||
          by + bh <= inner.top || bw > 2 * lineHeight) {
        continue;
      }
      area = {std::min(area.left, bx), std::min(area.top, by), std::max(area.right, bx + bw),
              std::max(area.bottom, by + bh)};
    }
    areas.push_back(area);
  }
  return areas;
}

}  // namespace quirna
