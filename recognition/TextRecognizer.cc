#include "recognition/TextRecognizer.h"

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <iterator>
#include <memory>
#include <mutex>
#include <numbers>
#include <string_view>

#include <leptonica/allheaders.h>
#include <tesseract/baseapi.h>
#include <tesseract/resultiterator.h>

#include "model/Error.h"
#include "recognition/Bitmap.h"

namespace quirna {
namespace {

// Not a safety limit: the engine copes even with 1 x 1 (tried from 1 px a side at 1, 8 and 32 bpp,
// blank and noisy, with and without a resolution). A thinner bitmap cannot hold a readable line,
// so it is spared the layout pass.
constexpr int minBitmapSide = 3;

struct LanguageModel {
  std::string_view tagPrefix;  // the BCP 47 primary subtag
  std::string_view model;      // the engine's traineddata name
};

constexpr LanguageModel languageModels[] = {
    {"en", "eng"}, {"nl", "nld"}, {"de", "deu"}, {"fr", "fra"}};

std::string modelFor(const std::string& tag) {
  const std::string_view primary = std::string_view(tag).substr(0, tag.find('-'));
  for (const LanguageModel& language : languageModels) {
    if (language.tagPrefix == primary) return std::string(language.model);
  }
  throw LibraryError("No recognition model for language " + tag);
}

// Debian's libtesseract runs an OpenMP team inside every LSTM step, which on a couple of cores
// costs far more than it gains (a US Letter page: 2.3 s alone, 8 to 14 s with the team). libgomp
// reads OMP_* only when it is loaded, and in libgomp 12 this limit belongs to the calling thread,
// so every thread that recognises sets it for itself.
void keepEngineSingleThreaded() { omp_set_max_active_levels(0); }

std::vector<std::string> splitLanguages(const std::string& languages) {
  std::vector<std::string> models;
  std::size_t start = 0;
  while (start <= languages.size()) {
    const std::size_t end = std::min(languages.find('+', start), languages.size());
    models.push_back(languages.substr(start, end - start));
    start = end + 1;
  }
  return models;
}

std::string withoutFinalLineFeed(const char* text) {
  std::string line(text);
  if (!line.empty() && line.back() == '\n') line.pop_back();
  return line;
}

bool isBlank(const std::string& text) {
  return text.find_first_not_of(" \t\n\r\f\v") == std::string::npos;
}

// The engine takes 1-, 8- and 32-bit bitmaps; a colour map or any other depth becomes 8-bit grey.
// Alpha is removed here because the engine would otherwise remove it in the caller's bitmap.
// Null when the bitmap is fit as it is.
PixPtr convertForEngine(Pix* bitmap) {
  const int depth = pixGetDepth(bitmap);
  if (pixGetColormap(bitmap) != nullptr || (depth != 1 && depth != 8 && depth != 32)) {
    PixPtr grey(pixConvertTo8(bitmap, 0));
    if (!grey) throw RecognitionError("Text recognition failed: unsupported bitmap depth");
    return grey;
  }
  if (depth == 32 && pixGetSpp(bitmap) == 4) {
    PixPtr opaque(pixRemoveAlpha(bitmap));
    if (!opaque) throw RecognitionError("Text recognition failed: could not remove alpha");
    return opaque;
  }
  return nullptr;
}

// A bitmap of one colour holds no text; the engine would still spend a layout pass (about a third
// of a second for a blank US Letter page) finding that out. Takes 1-, 8- and 32-bit bitmaps.
bool isUniform(Pix* bitmap) {
  const int depth = pixGetDepth(bitmap);
  const int width = pixGetWidth(bitmap);
  const int height = pixGetHeight(bitmap);
  const l_int32 wordsPerLine = pixGetWpl(bitmap);
  const l_uint32* const data = pixGetData(bitmap);
  const auto value = [&](int x, const l_uint32* line) -> l_uint32 {
    switch (depth) {
      case 1:
        return GET_DATA_BIT(line, x);
      case 8:
        return GET_DATA_BYTE(line, x);
      default:
        return line[x] & 0xFFFFFF00u;  // the alpha byte plays no part
    }
  };
  const l_uint32 first = value(0, data);
  for (int y = 0; y < height; ++y) {
    const l_uint32* line = data + static_cast<std::ptrdiff_t>(y) * wordsPerLine;
    for (int x = 0; x < width; ++x) {
      if (value(x, line) != first) return false;
    }
  }
  return true;
}

// A photographed page is rarely square to the camera, and the engine's line finding falls apart
// from about one degree of skew (word error on photo-like copies: 14 % as taken, 4 % deskewed).
// Clean renders measure no skew and are left alone.
struct Deskewed {
  PixPtr bitmap;       // null when the bitmap is recognised as it is
  double radians = 0;  // the turn applied, clockwise as Leptonica counts it
};

Deskewed deskew(Pix* bitmap) {
  // Leptonica's own defaults for finding skew: a sweep of +-7 degrees on a 1-bit reduction.
  constexpr float sweepRange = 7.0f;
  // Degrees. Straight renders measure up to about 0.11 (the finder's own error); the engine copes
  // with far more, so below this a turn would only blur.
  constexpr float minAngle = 0.25f;
  constexpr float minConfidence = 3.0f;  // below this the angle is a guess
  const PixPtr binary(pixConvertTo1(bitmap, 130));
  if (!binary) return {};
  float angle = 0;
  float confidence = 0;
  const bool measured = pixFindSkewSweepAndSearch(binary.get(), &angle, &confidence, 4, 2,
                                                  sweepRange, 1.0f, 0.01f) == 0;
  if (!measured || confidence < minConfidence || std::fabs(angle) < minAngle) return {};
  const double radians = angle * std::numbers::pi / 180.0;
  PixPtr turned(pixRotate(bitmap, static_cast<l_float32>(radians), L_ROTATE_AREA_MAP,
                          L_BRING_IN_WHITE, 0, 0));
  if (!turned) return {};
  return {std::move(turned), radians};
}

// The pixel box (top-left origin) in the bitmap as given, for a box found in its deskewed copy:
// the hull of the four corners turned back about the centre the turn was made about.
void mapBackFromDeskewed(double radians, int width, int height, int& left, int& top, int& right,
                         int& bottom) {
  const double cx = width / 2;  // Leptonica turns about the integer centre
  const double cy = height / 2;
  const double c = std::cos(radians);
  const double s = std::sin(radians);
  double minX = width;
  double minY = height;
  double maxX = 0;
  double maxY = 0;
  for (const int x : {left, right}) {
    for (const int y : {top, bottom}) {
      const double sourceX = cx + (x - cx) * c + (y - cy) * s;
      const double sourceY = cy - (x - cx) * s + (y - cy) * c;
      minX = std::min(minX, sourceX);
      minY = std::min(minY, sourceY);
      maxX = std::max(maxX, sourceX);
      maxY = std::max(maxY, sourceY);
    }
  }
  left = static_cast<int>(std::floor(std::clamp(minX, 0.0, static_cast<double>(width))));
  top = static_cast<int>(std::floor(std::clamp(minY, 0.0, static_cast<double>(height))));
  right = static_cast<int>(std::ceil(std::clamp(maxX, 0.0, static_cast<double>(width))));
  bottom = static_cast<int>(std::ceil(std::clamp(maxY, 0.0, static_cast<double>(height))));
}

}  // namespace

const RecognitionSettings& recognitionSettings() {
  static const RecognitionSettings settings{
      RecognitionLevel::accurate, true, {"en-US", "nl-NL", "de-DE", "fr-FR"}, true};
  return settings;
}

TesseractConfig tesseractConfigFor(const RecognitionSettings& settings) {
  TesseractConfig config;
  // Several models loaded together is how the engine detects the language: it reads each word
  // with the first model and turns to the others only when that reading is poor. The English
  // model reads accented words passably without their accents ("systeme", "uberblick"), so it
  // goes last; French, which knows most of the accents, goes first. Measured on real pages in
  // the four languages: word error 4.4 % with English first, 3.2 % in this order, same CPU.
  std::vector<std::string> models;
  for (const std::string& tag : settings.recognitionLanguages) models.push_back(modelFor(tag));
  const auto trialRank = [](const std::string& model) {
    static constexpr std::string_view order[] = {"fra", "deu", "nld"};
    return std::find(std::begin(order), std::end(order), model) - std::begin(order);
  };
  std::stable_sort(models.begin(), models.end(), [&](const std::string& a, const std::string& b) {
    return trialRank(a) < trialRank(b);
  });
  for (const std::string& model : models) {
    if (!config.languages.empty()) config.languages += '+';
    config.languages += model;
  }
  // The installed models hold only the LSTM recogniser, so both levels run it.
  config.engineMode = tesseract::OEM_LSTM_ONLY;
  config.dictionaries = settings.usesLanguageCorrection;
  config.pageSegMode = tesseract::PSM_AUTO;
  // Otsu's one global threshold loses whole regions of unevenly lit or noisy photos (the engine
  // then reports an empty page); Sauvola's local threshold keeps them, and is no slower on clean
  // pages. Word error on photo-like copies: 32 % with Otsu, 14 % with Sauvola.
  config.thresholdingMethod = 2;
  return config;
}

struct TextRecognizer::Engine {
  tesseract::TessBaseAPI api;
};

TextRecognizer::TextRecognizer(const std::string& dataPath) : engine_(std::make_unique<Engine>()) {
  silenceLeptonica();
  const TesseractConfig config = tesseractConfigFor(recognitionSettings());
  const char* dictionaries = config.dictionaries ? "1" : "0";
  const std::vector<std::string> names{"debug_file", "load_system_dawg", "load_freq_dawg"};
  const std::vector<std::string> values{"/dev/null", dictionaries, dictionaries};
  tesseract::TessBaseAPI& api = engine_->api;
  int status = 0;
  {
    // Init writes process-wide parameters (debug_file is one); recognisers started by parallel
    // workers take turns here so that those writes never overlap.
    static std::mutex initMutex;
    const std::lock_guard<std::mutex> lock(initMutex);
    // Init applies its variables only after loading the models, so the messages of a failed load
    // would still reach stderr without this.
    api.SetVariable("debug_file", "/dev/null");
    status = api.Init(dataPath.empty() ? nullptr : dataPath.c_str(), config.languages.c_str(),
                      static_cast<tesseract::OcrEngineMode>(config.engineMode), nullptr, 0, &names,
                      &values, false);
  }
  // The engine goes on with the languages it could load, so each one is checked.
  std::vector<std::string> loaded;
  if (status == 0) api.GetLoadedLanguagesAsVector(&loaded);
  std::string missing;
  for (const std::string& model : splitLanguages(config.languages)) {
    if (std::find(loaded.begin(), loaded.end(), model) != loaded.end()) continue;
    missing += (missing.empty() ? "" : ", ") + model + ".traineddata";
  }
  if (!missing.empty()) {
    const char* directory = api.GetDatapath();
    throw LibraryError("Could not load the language data " + missing + " from " +
                       (directory != nullptr && *directory != '\0' ? directory : dataPath));
  }
  api.SetPageSegMode(static_cast<tesseract::PageSegMode>(config.pageSegMode));
  api.SetVariable("thresholding_method", std::to_string(config.thresholdingMethod).c_str());
}

TextRecognizer::~TextRecognizer() = default;

std::vector<Observation> TextRecognizer::recognizeText(const Pix* bitmap, int dpi) {
  if (bitmap == nullptr) return {};
  keepEngineSingleThreaded();
  const int width = pixGetWidth(bitmap);
  const int height = pixGetHeight(bitmap);
  if (width < minBitmapSide || height < minBitmapSide || !withinBitmapCap(width, height)) {
    return {};
  }

  // Leptonica's accessors take non-const pointers but only read; the engine copies what it keeps.
  Pix* borrowed = const_cast<Pix*>(bitmap);
  const PixPtr converted = convertForEngine(borrowed);
  Pix* input = converted ? converted.get() : borrowed;
  if (isUniform(input)) return {};
  const Deskewed deskewed = deskew(input);
  if (deskewed.bitmap) input = deskewed.bitmap.get();
  tesseract::TessBaseAPI& api = engine_->api;
  // What the engine learns from a page (adaptive classifier, document dictionary) is learnt only
  // by its legacy recogniser, which these models lack; cleared anyway, as it costs nothing.
  api.ClearAdaptiveClassifier();
  api.SetImage(input);
  // Without a resolution the engine uses the bitmap's own, or estimates one from the text size.
  if (dpi > 0) api.SetSourceResolution(dpi);
  if (api.Recognize(nullptr) != 0) {
    api.Clear();
    throw RecognitionError("Text recognition failed");
  }

  std::vector<Observation> observations;
  const std::unique_ptr<tesseract::ResultIterator> iterator(api.GetIterator());
  if (iterator) {
    // A line that ends a paragraph would otherwise carry a second line feed.
    iterator->SetParagraphSeparator("");
    const double w = width;
    const double h = height;
    do {
      const std::unique_ptr<char[]> text(iterator->GetUTF8Text(tesseract::RIL_TEXTLINE));
      if (!text) continue;
      std::string line = withoutFinalLineFeed(text.get());
      if (isBlank(line)) continue;
      int left = 0;
      int top = 0;
      int right = 0;
      int bottom = 0;
      if (!iterator->BoundingBox(tesseract::RIL_TEXTLINE, &left, &top, &right, &bottom)) continue;
      if (deskewed.bitmap) {
        mapBackFromDeskewed(deskewed.radians, width, height, left, top, right, bottom);
      }
      observations.push_back(Observation{std::move(line), left / w, (h - bottom) / h,
                                         (right - left) / w, (bottom - top) / h,
                                         iterator->Confidence(tesseract::RIL_TEXTLINE) / 100.0f});
    } while (iterator->Next(tesseract::RIL_TEXTLINE));
  }
  api.Clear();
  return observations;
}

}  // namespace quirna
