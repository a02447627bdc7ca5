#include "recognition/ReadingOrder.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>

namespace quirna {
namespace {

// The one expression for a line's centre, so that the value searched for gaps and the value
// tested against the boundary are the same to the last bit.
double centreOf(const Observation& line) { return line.x + line.width * 0.5; }

// Boxes are finite in practice; a NaN would break the sorts' ordering (undefined behaviour), so
// NaN centres sort last and NaN bottoms count as the lowest on the page.
bool centreBefore(double a, double b) { return a < b || (!std::isnan(a) && std::isnan(b)); }

double heightKey(double y) { return std::isnan(y) ? -std::numeric_limits<double>::infinity() : y; }

void sortTopDown(std::vector<const Observation*>& column) {
  std::stable_sort(column.begin(), column.end(), [](const Observation* a, const Observation* b) {
    return heightKey(a->y) > heightKey(b->y);
  });
}

}  // namespace

PageText reorderByColumns(const std::vector<Observation>& lines) {
  if (lines.empty()) return PageText{"", {}, 0.0};

  std::vector<double> centres;
  centres.reserve(lines.size());
  for (const Observation& line : lines) centres.push_back(centreOf(line));
  std::sort(centres.begin(), centres.end(), centreBefore);

  std::vector<const Observation*> left;
  std::vector<const Observation*> right;
  bool split = false;
  double boundary = 0.0;
  for (std::size_t k = 0; k + 1 < centres.size(); ++k) {
    if (centres[k + 1] - centres[k] > columnGapThreshold) {
      boundary = (centres[k] + centres[k + 1]) * 0.5;
      split = true;
      break;
    }
  }
  if (split) {
    // A column lies right of the gap only when most lines there begin right of it too. On a
    // one-column page the first wide gap falls between short lines (a paragraph's last line, a
    // heading) and full ones, whose centres sit further right but which start at the same margin.
    std::size_t rightOfGap = 0;
    std::size_t startingRightOfGap = 0;
    for (const Observation& line : lines) {
      if (centreOf(line) < boundary) continue;
      ++rightOfGap;
      if (line.x >= boundary) ++startingRightOfGap;
    }
    split = 2 * startingRightOfGap >= rightOfGap;
  }
  for (const Observation& line : lines) {
    (split && !(centreOf(line) < boundary) ? right : left).push_back(&line);
  }
  sortTopDown(left);
  sortTopDown(right);
  left.insert(left.end(), right.begin(), right.end());

  PageText page;
  page.lines.reserve(left.size());
  for (std::size_t i = 0; i < left.size(); ++i) {
    const Observation& line = *left[i];
    if (i > 0) page.text += '\n';
    page.text += line.text;
    page.lines.push_back(TextLine{line.text, line.x, line.y, line.width, line.height});
  }
  // Summed in single precision and in collection order, whatever the reading order.
  float sum = 0.0f;
  for (const Observation& line : lines) sum += line.confidence;
  page.confidence = static_cast<double>(sum) / static_cast<double>(lines.size());
  return page;
}

}  // namespace quirna
