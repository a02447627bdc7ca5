#pragma once

#include <memory>
#include <string>
#include <vector>

struct Pix;

namespace quirna {

// One recognized text line. The box is normalised to the bitmap, origin at the lower-left corner.
struct Observation {
  std::string text;  // never blank, no line feed
  double x;
  double y;
  double width;
  double height;
  float confidence;  // 0..1
};

// One initialised engine (the four language models loaded once, tuned as described in the .cc),
// reused for every bitmap it is given. Not thread-safe: one instance per thread.
class TextRecognizer {
 public:
  // Throws EngineError naming what is missing or refused when the engine cannot be set up.
  // An empty `dataPath` uses the engine's installed models.
  explicit TextRecognizer(const std::string& dataPath = "");
  ~TextRecognizer();
  TextRecognizer(const TextRecognizer&) = delete;
  TextRecognizer& operator=(const TextRecognizer&) = delete;

  // Observations in the engine's order. `bitmap` is borrowed; any depth, colour map or alpha
  // (composited over white). Its resolution, when plausible, tells the engine the text size;
  // otherwise the engine estimates it. A bitmap too thin to hold text, over the bitmap cap, or of
  // one colour gives none. Throws RecognitionError when recognition fails.
  std::vector<Observation> recognizeText(const Pix* bitmap);

 private:
  struct Engine;
  std::unique_ptr<Engine> engine_;
};

}  // namespace quirna
