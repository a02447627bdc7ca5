#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

struct Pix;

namespace quirna {

// The request's settings, in the order they are applied.
enum class RecognitionLevel { accurate = 0, fast = 1 };

struct RecognitionSettings {
  RecognitionLevel recognitionLevel;
  bool automaticallyDetectsLanguage;
  std::vector<std::string> recognitionLanguages;  // BCP 47 tags, most likely first
  bool usesLanguageCorrection;
};

// The one configuration every bitmap is recognised with.
const RecognitionSettings& recognitionSettings();

// How the settings are carried out by the engine; see tesseractConfigFor.
struct TesseractConfig {
  std::string languages;   // "fra+deu+nld+eng": the engine's own order of trial, see the .cc
  int engineMode;          // tesseract::OcrEngineMode
  bool dictionaries;       // load_system_dawg / load_freq_dawg
  int pageSegMode;         // tesseract::PageSegMode
  int thresholdingMethod;  // the engine's thresholding_method: 2 is Sauvola's local threshold
};

TesseractConfig tesseractConfigFor(const RecognitionSettings& settings);

// One recognised text region. The box is normalised to the bitmap, origin at the lower-left
// corner; `topCandidate` is empty when the engine offered no string for the region.
struct Observation {
  std::optional<std::string> topCandidate;
  double x;
  double y;
  double width;
  double height;
  float confidence;  // 0..1
};

// One initialised engine (the four language models loaded once), reused for every bitmap it is
// given. Not thread-safe: one instance per thread.
class TextRecognizer {
 public:
  // Throws LibraryError naming what is missing when the engine cannot be initialised.
  // An empty `dataPath` uses the engine's installed models.
  explicit TextRecognizer(const std::string& dataPath = "");
  ~TextRecognizer();
  TextRecognizer(const TextRecognizer&) = delete;
  TextRecognizer& operator=(const TextRecognizer&) = delete;

  // Observations in the engine's order. `bitmap` is borrowed. `dpi` is its resolution when
  // known, 0 otherwise. A bitmap the engine cannot handle (too small, too large) gives none.
  // Throws RecognitionError when recognition fails.
  std::vector<Observation> recognizeText(const Pix* bitmap, int dpi);

 private:
  struct Engine;
  std::unique_ptr<Engine> engine_;
};

}  // namespace quirna
