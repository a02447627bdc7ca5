#pragma once

#include <string>
#include <vector>

#include "model/OCRResult.h"
#include "recognition/TextRecognizer.h"

namespace quirna {

struct PageText {
  std::string text;  // the lines' texts joined by "\n"
  std::vector<TextLine> lines;
  double confidence;  // mean over the observations, 0 for none
};

// A split needs a gap between neighbouring line centres strictly wider than this.
constexpr double columnGapThreshold = 0.08;

// Reading order: at most two columns, split at the first wide centre gap when at least half of the
// lines right of it also begin right of it; left column first, each from the top down; lines at
// the same height keep the engine's order.
PageText reorderByColumns(const std::vector<Observation>& observations);

}  // namespace quirna
