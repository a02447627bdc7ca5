#include "recognition/TextRecognizer.h"

#include <omp.h>

#include <algorithm>
#include <cstddef>
#include <memory>
#include <mutex>
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

}  // namespace

const RecognitionSettings& recognitionSettings() {
  static const RecognitionSettings settings{
      RecognitionLevel::accurate, true, {"en-US", "nl-NL", "de-DE", "fr-FR"}, true};
  return settings;
}

TesseractConfig tesseractConfigFor(const RecognitionSettings& settings) {
  TesseractConfig config;
  // Several models loaded together is how the engine detects the language: it tries them per
  // word, the first one first, and keeps the best.
  for (const std::string& tag : settings.recognitionLanguages) {
    if (!config.languages.empty()) config.languages += '+';
    config.languages += modelFor(tag);
  }
  // The installed models hold only the LSTM recogniser, so both levels run it.
  config.engineMode = tesseract::OEM_LSTM_ONLY;
  config.dictionaries = settings.usesLanguageCorrection;
  config.pageSegMode = tesseract::PSM_AUTO;
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
}

TextRecognizer::~TextRecognizer() = default;

std::vector<Observation> TextRecognizer::recognizeText(const Pix* bitmap, int dpi) {
  if (bitmap == nullptr) return {};
  keepEngineSingleThreaded();
  const int width = pixGetWidth(bitmap);
  const int height = pixGetHeight(bitmap);
  if (width < minBitmapSide || height < minBitmapSide || width > maxBitmapSide ||
      height > maxBitmapSide || static_cast<long long>(width) * height > maxBitmapPixels) {
    return {};
  }

  // Leptonica's accessors take non-const pointers but only read; the engine copies what it keeps.
  Pix* borrowed = const_cast<Pix*>(bitmap);
  const PixPtr converted = convertForEngine(borrowed);
  Pix* const input = converted ? converted.get() : borrowed;
  if (isUniform(input)) return {};
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
      observations.push_back(Observation{std::move(line), left / w, (h - bottom) / h,
                                         (right - left) / w, (bottom - top) / h,
                                         iterator->Confidence(tesseract::RIL_TEXTLINE) / 100.0f});
    } while (iterator->Next(tesseract::RIL_TEXTLINE));
  }
  api.Clear();
  return observations;
}

}  // namespace quirna
