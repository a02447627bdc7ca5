#pragma once

#include <string>
#include <vector>

#include "model/OCRResult.h"
#include "recognition/TextRecognizer.h"

namespace quirna {

// One collected line: an observation that has a candidate, in plain form.
struct LineInfo {
  std::string text;
  double x;
  double y;
  double width;
  double height;  // carried through, never used for ordering
  float confidence;
};

struct PageText {
  std::string text;  // the lines' texts joined by "\n"
  std::vector<TextLine> lines;
  double confidence;  // mean over the collected lines, 0 for none
};

// A split needs a gap between neighbouring line centres strictly wider than this.
constexpr double columnGapThreshold = 0.08;

// The only step that reads observations: those without a candidate are dropped.
std::vector<LineInfo> collectLines(const std::vector<Observation>& observations);

// Reading order for plain records: at most two columns, split at the first wide centre gap, left
// column first, each from the top down.
PageText orderLines(const std::vector<LineInfo>& lines);

PageText reorderByColumns(const std::vector<Observation>& observations);

}  // namespace quirna
