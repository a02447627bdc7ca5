#pragma once

#include <string>
#include <vector>

#include "model/OCRResult.h"
#include "recognition/LineRecords.h"

namespace quirna {

struct PageText {
  std::string text;  // the lines' texts joined by "\n"
  std::vector<TextLine> lines;
  double confidence;  // mean over the observations, 0 for none
};

// A split needs a gap between neighbouring line centres strictly wider than this.
constexpr double columnGapThreshold = 0.08;

// Reading order: columns one after another, left to right, each from the top down, then the
// footnotes at their foot; lines side by side in a row left to right; other lines at the same
// height in the engine's order. A column starts at a wide gap between line centres with a column
// of lines right of it (see the .cc).
PageText reorderByColumns(const std::vector<Observation>& observations);

}  // namespace quirna
