#pragma once

#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

namespace quirna {

// The middle value (the upper of the two middle ones); a value-initialised T for none.
template <typename T>
T medianOf(std::vector<T> values) {
  if (values.empty()) return T{};
  const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
  std::nth_element(values.begin(), middle, values.end());
  return *middle;
}

// A box in pixels of the bitmap the engine read, origin top-left, right and bottom exclusive.
struct PixelBox {
  int left;
  int top;
  int right;
  int bottom;
};

struct RecognizedWord {
  std::string text;
  PixelBox box;
  float confidence;  // 0..100, as the engine gives it
};

// One text line as the engine found it, with its words in reading order.
struct RecognizedLine {
  std::string text;
  PixelBox box;
  float confidence;  // 0..100
  std::vector<RecognizedWord> words;
};

// One recognized text line. The box is normalised to the bitmap, origin at the lower-left corner.
struct Observation {
  std::string text;  // never blank, no line feed
  double x;
  double y;
  double width;
  double height;
  float confidence;  // 0..1
};

}  // namespace quirna
