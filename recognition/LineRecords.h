#pragma once

#include <string>
#include <vector>

namespace quirna {

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
