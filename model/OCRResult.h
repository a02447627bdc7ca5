#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quirna {

// One recognized line. The box is normalised to the recognized bitmap (fractions of its width and
// height), origin at the lower-left corner, y growing upwards: x is the left edge, y the bottom.
struct TextLine {
  const std::string text;
  const double x;
  const double y;
  const double width;
  const double height;

  bool operator==(const TextLine&) const = default;
};

// One PDF page (pageNumber from 1) or one image file (pageNumber 0). `text` is the `lines` joined
// by "\n"; `confidence` is their mean, 0 when there are none; the size is the recognized bitmap's.
struct OCRResult {
  const std::int64_t pageNumber;
  const std::string text;
  const double confidence;
  const std::vector<TextLine> lines;
  const std::int64_t imageWidth;
  const std::int64_t imageHeight;

  bool operator==(const OCRResult&) const = default;
};

}  // namespace quirna
