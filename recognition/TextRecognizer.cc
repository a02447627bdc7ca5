#include "recognition/TextRecognizer.h"

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <numbers>
#include <optional>
#include <string_view>

#include <leptonica/allheaders.h>
#include <tesseract/baseapi.h>
#include <tesseract/resultiterator.h>

#include "model/Error.h"
#include "recognition/Bitmap.h"
#include "recognition/Gutters.h"
#include "recognition/Language.h"
#include "recognition/ReadingRules.h"

namespace quirna {
namespace {

// A bitmap thinner than this holds no readable line: a rule, a strip, a tiny thumbnail. The engine
// fails outright on 3 to 6 px a side with Sauvola thresholding (its tiles get no window), whatever
// the other side and the pixels (stripes, noise, grey, dots; measured from 1 to 12 px a side);
// 1 and 2 px and 7 px up read as no text.
constexpr int minBitmapSide = 7;

// The recognition languages are English, Dutch, German and French. Several models loaded together
// is how the engine detects the language: it reads each word with the first model and turns to
// the others only when that reading is poor. The English model reads accented words passably
// without their accents ("systeme", "uberblick"), so it goes last; French, which knows most of the
// accents, goes first. Measured on real pages in the four languages: word error 4.4 % with
// English first, 3.2 % in this order, same CPU.
constexpr std::string_view models[] = {"fra", "deu", "nld", "eng"};
constexpr std::string_view allModels = "fra+deu+nld+eng";
// Reads the top band of a page read in bands: the commonest language of documents.
constexpr std::string_view firstModel = "eng";

// The models to read an area again with, read with `languages` and found to be in `own`: an area
// in another language than the page's, with the four models; one in a language no model is for
// (its models are the four in another order), with those.
std::optional<std::string_view> modelsToReadAgain(std::optional<std::string_view> own,
                                                  std::string_view languages) {
  if (!own || *own == languages) return std::nullopt;
  if (own->find('+') != std::string_view::npos) return own;
  if (languages == allModels) return std::nullopt;
  return allModels;
}

// The engine's bounds for a stated resolution; outside them it estimates one from the text.
constexpr int minPlausibleDPI = 70;
constexpr int maxPlausibleDPI = 2400;

// Debian's libtesseract runs an OpenMP team inside every LSTM step, which on a couple of cores
// costs far more than it gains (a US Letter page: 2.3 s alone, 8 to 14 s with the team). libgomp
// reads OMP_* only when it is loaded, and in libgomp 12 this limit belongs to the calling thread,
// so every thread that recognizes sets it for itself.
void keepEngineSingleThreaded() { omp_set_max_active_levels(0); }

std::string withoutFinalLineFeed(const char* text) {
  std::string line(text);
  if (!line.empty() && line.back() == '\n') line.pop_back();
  return line;
}

bool isBlank(const std::string& text) {
  return text.find_first_not_of(" \t\n\r\f\v") == std::string::npos;
}

// 8-bit grey or 32-bit RGB without alpha, the forms the engine takes as they are; null when the
// bitmap is in one already. Transparent pixels become white: text is usually dark on a transparent
// background, and the engine would otherwise drop the alpha and read the hidden colours.
PixPtr engineForm(Pix* bitmap) {
  PixPtr converted;
  if (PIXCMAP* colormap = pixGetColormap(bitmap)) {  // borrowed from `bitmap`
    l_int32 opaque = 1;
    if (pixcmapIsOpaque(colormap, &opaque) != 0) opaque = 0;
    converted.reset(
        pixRemoveColormap(bitmap, opaque ? REMOVE_CMAP_BASED_ON_SRC : REMOVE_CMAP_WITH_ALPHA));
    if (!converted) throw RecognitionError("Text recognition failed");
    bitmap = converted.get();
  }
  PixPtr result;
  switch (pixGetDepth(bitmap)) {
    case 8:
      return converted;
    case 32:
      if (pixGetSpp(bitmap) != 4) return converted;
      result.reset(pixAlphaBlendUniform(bitmap, 0xFFFFFF00));
      break;
    case 24:
      result.reset(pixConvert24To32(bitmap));
      break;
    case 16:
      result.reset(pixConvert16To8(bitmap, L_MS_BYTE));
      break;
    default:
      result.reset(pixConvertTo8(bitmap, 0));
  }
  if (!result) throw RecognitionError("Text recognition failed");
  return result;
}

// A bitmap of one colour holds no text; the engine would still spend a layout pass (about a third
// of a second for a blank US Letter page) finding that out. Takes the engine's forms.
bool isUniform(Pix* bitmap) {
  const int depth = pixGetDepth(bitmap);
  const int width = pixGetWidth(bitmap);
  const int height = pixGetHeight(bitmap);
  const l_int32 wordsPerLine = pixGetWpl(bitmap);
  const l_uint32* const data = pixGetData(bitmap);
  const auto value = [&](int x, const l_uint32* line) -> l_uint32 {
    if (depth == 8) return GET_DATA_BYTE(line, x);
    return line[x] & 0xFFFFFF00u;  // the alpha byte plays no part
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
  PixPtr bitmap;       // null when the bitmap is recognized as it is
  double radians = 0;  // the turn applied, clockwise as Leptonica counts it
  int frameX = 0;      // white columns added on either side before the turn
  int frameY = 0;      // white rows added above and below
};

// `bitmap` inside a white frame `x` columns wide at either side and `y` rows high above and below.
PixPtr framedInWhite(Pix* bitmap, int x, int y) {
  PixPtr framed(pixAddBlackOrWhiteBorder(bitmap, x, x, y, y, L_GET_WHITE_VAL));
  if (!framed) throw RecognitionError("Text recognition failed");
  return framed;
}

Deskewed deskew(Pix* bitmap, Pix* binary) {
  // Leptonica's own defaults for finding skew: a sweep of +-7 degrees on a 1-bit reduction.
  constexpr float sweepRange = 7.0f;
  // Degrees. Straight renders measure up to about 0.11 (the finder's own error); the engine copes
  // with far more, so below this a turn would only blur.
  constexpr float minAngle = 0.25f;
  constexpr float minConfidence = 3.0f;  // below this the angle is a guess
  float angle = 0;
  float confidence = 0;
  const bool measured =
      pixFindSkewSweepAndSearch(binary, &angle, &confidence, 4, 2, sweepRange, 1.0f, 0.01f) == 0;
  if (!measured || confidence < minConfidence || std::fabs(angle) < minAngle) return {};
  const double radians = angle * std::numbers::pi / 180.0;
  // Turned within its own size, the page would lose its corners, and with them the ends of its
  // first and last lines: it is framed in white wide enough to hold the turned page.
  const int width = pixGetWidth(bitmap);
  const int height = pixGetHeight(bitmap);
  const double c = std::cos(radians);
  const double s = std::fabs(std::sin(radians));
  int frameX = static_cast<int>(std::ceil((width * (c - 1) + height * s) / 2)) + 1;
  int frameY = static_cast<int>(std::ceil((width * s + height * (c - 1)) / 2)) + 1;
  if (!withinBitmapCap(width + 2LL * frameX, height + 2LL * frameY)) frameX = frameY = 0;
  const PixPtr framed = framedInWhite(bitmap, frameX, frameY);
  PixPtr turned(pixRotate(framed.get(), static_cast<l_float32>(radians), L_ROTATE_AREA_MAP,
                          L_BRING_IN_WHITE, 0, 0));
  if (!turned) return {};
  return {std::move(turned), radians, frameX, frameY};
}

// The pixel box (top-left origin) in the bitmap as given, of `width` x `height`, for a box found
// in its deskewed copy: the hull of the four corners turned back about the centre the turn was
// made about, less the frame.
void mapBackFromDeskewed(const Deskewed& deskewed, int width, int height, int& left, int& top,
                         int& right, int& bottom) {
  // Leptonica turns about the integer centre.
  const double cx = (width + 2 * deskewed.frameX) / 2;
  const double cy = (height + 2 * deskewed.frameY) / 2;
  const double c = std::cos(deskewed.radians);
  const double s = std::sin(deskewed.radians);
  double minX = width;
  double minY = height;
  double maxX = 0;
  double maxY = 0;
  for (const int x : {left, right}) {
    for (const int y : {top, bottom}) {
      const double sourceX = cx + (x - cx) * c + (y - cy) * s - deskewed.frameX;
      const double sourceY = cy - (x - cx) * s + (y - cy) * c - deskewed.frameY;
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

// `bitmap` (in an engine form) in 8-bit grey, for the measures of its paper and ink.
PixPtr greyOf(Pix* bitmap) {
  return PixPtr(pixGetDepth(bitmap) == 32 ? pixConvertRGBToLuminance(bitmap) : pixClone(bitmap));
}

// Whether the paper of `grey` (8-bit) is lit about evenly: the light end of each of 8 x 8 tiles,
// which ink seldom reaches, varies by less than 64 grey levels across them.
bool isEvenlyLit(Pix* grey) {
  constexpr int tiles = 8;
  constexpr float paperRank = 0.9f;  // lighter than nine pixels in ten
  constexpr float maxSpread = 64;
  const int width = pixGetWidth(grey);
  const int height = pixGetHeight(grey);
  float lightest = 0;
  float darkest = 255;
  for (int row = 0; row < tiles; ++row) {
    for (int column = 0; column < tiles; ++column) {
      const int left = column * width / tiles;
      const int top = row * height / tiles;
      BOX* tile = boxCreate(left, top, (column + 1) * width / tiles - left,
                            (row + 1) * height / tiles - top);
      const PixPtr part(pixClipRectangle(grey, tile, nullptr));
      boxDestroy(&tile);
      l_float32 paper = 0;
      if (!part ||
          pixGetRankValueMasked(part.get(), nullptr, 0, 0, 2, paperRank, &paper, nullptr) != 0) {
        return false;
      }
      lightest = std::max(lightest, paper);
      darkest = std::min(darkest, paper);
    }
  }
  return lightest - darkest < maxSpread;
}

// Whether the ink of `grey` (8-bit; its dark pixels set in `ink`) is nowhere black:
// a blurred copy, whose thin strokes Sauvola's threshold, relative to its neighbourhood, drops
// where Otsu's keeps them (links in colour, thin type). The darkest tenth of the ink is black on
// drawn pages (at most grey 32 on cards printed in grey) and grey 58 and lighter once blurred.
bool hasSoftInk(Pix* grey, Pix* ink) {
  constexpr float darkRank = 0.1f;
  constexpr float minSoft = 45;
  l_float32 dark = 0;
  return ink != nullptr &&
         pixGetRankValueMasked(grey, ink, 0, 0, 1, darkRank, &dark, nullptr) == 0 && dark > minSoft;
}

}  // namespace

// What the engine reads: a bitmap in a form it takes, its resolution and how to threshold it.
struct Scan {
  Pix* bitmap = nullptr;
  int dpi = 0;
  // Sauvola's local threshold (the engine's method 2) keeps whole regions of unevenly lit or
  // noisy photos that Otsu's one global threshold (method 0) loses (the engine then reports an
  // empty page; word error on such photos 32 % with Otsu, 14 % with Sauvola), and is no worse on
  // clean pages. On an evenly lit photo Otsu reads body text better (Sauvola breaks some of its
  // lines into pieces; word F1 +0.01 to +0.05 on 7 of 15 photo-like copies) and the smallest type
  // worse (reference cards, a contents page: -0.03 to -0.07).
  bool otsu = false;
};

namespace {

// Grey levels below this are ink for the measures made before the engine reads (the skew, the
// ink that sets the bands, where the bands are cut); the engine thresholds on its own. A little
// above mid-grey, so that the anti-aliased strokes of small type count as ink.
constexpr l_int32 inkThreshold = 130;

// What the engine gets: the bitmap in a form it takes, straightened when it is skewed. Null
// `input` when there is nothing to read.
struct EngineInput {
  PixPtr converted;
  Deskewed deskewed;
  Pix* input = nullptr;  // borrowed from one of the above or from the caller's bitmap
  l_int32 ink = 0;       // dark pixels: how much there is to read
  PixPtr binary;         // `input` at one bit a pixel, dark pixels set
  bool evenlyLitPhoto = false;
};

EngineInput prepare(const Pix* bitmap) {
  EngineInput prepared;
  const int width = pixGetWidth(bitmap);
  const int height = pixGetHeight(bitmap);
  if (width < minBitmapSide || height < minBitmapSide || !withinBitmapCap(width, height)) {
    return prepared;
  }
  // Leptonica's accessors take non-const pointers but only read; the engine copies what it keeps.
  Pix* borrowed = const_cast<Pix*>(bitmap);
  prepared.converted = engineForm(borrowed);
  Pix* input = prepared.converted ? prepared.converted.get() : borrowed;
  if (isUniform(input)) return prepared;
  prepared.binary.reset(pixConvertTo1(input, inkThreshold));
  if (prepared.binary) {
    pixCountPixels(prepared.binary.get(), &prepared.ink, nullptr);
    prepared.deskewed = deskew(input, prepared.binary.get());
  }
  // A drawn page is never skewed nor blurred: one that is was photographed or scanned.
  const PixPtr grey = greyOf(input);
  prepared.evenlyLitPhoto =
      grey && (prepared.deskewed.bitmap || hasSoftInk(grey.get(), prepared.binary.get())) &&
      isEvenlyLit(grey.get());
  prepared.input = prepared.deskewed.bitmap ? prepared.deskewed.bitmap.get() : input;
  if (prepared.deskewed.bitmap) prepared.binary.reset(pixConvertTo1(prepared.input, inkThreshold));
  return prepared;
}

std::optional<PixelBox> boxOf(tesseract::ResultIterator& iterator,
                              tesseract::PageIteratorLevel level) {
  PixelBox box{};
  if (!iterator.BoundingBox(level, &box.left, &box.top, &box.right, &box.bottom))
    return std::nullopt;
  return box;
}

float meanConfidence(const std::vector<RecognizedLine>& lines) {
  float sum = 0;
  for (const RecognizedLine& line : lines) sum += line.confidence;
  return sum / static_cast<float>(lines.size());
}

// The engine's text lines with their words, in its order, in pixels of the bitmap it read;
// `turned` gets the indices of those it read turned on their side.
std::vector<RecognizedLine> engineLines(tesseract::ResultIterator& iterator,
                                        std::vector<std::size_t>& turned) {
  std::vector<RecognizedLine> lines;
  // A line that ends a paragraph would otherwise carry a second line feed.
  iterator.SetParagraphSeparator("");
  bool keep = false;  // whether the current line is kept, so its words are too
  do {
    if (iterator.IsAtBeginningOf(tesseract::RIL_TEXTLINE)) {
      const std::unique_ptr<char[]> text(iterator.GetUTF8Text(tesseract::RIL_TEXTLINE));
      const std::optional<PixelBox> box = boxOf(iterator, tesseract::RIL_TEXTLINE);
      keep = text && box && !isBlank(withoutFinalLineFeed(text.get()));
      if (keep) {
        tesseract::Orientation orientation = tesseract::ORIENTATION_PAGE_UP;
        tesseract::WritingDirection direction{};
        tesseract::TextlineOrder order{};
        float deskewAngle = 0;
        iterator.Orientation(&orientation, &direction, &order, &deskewAngle);
        if (orientation != tesseract::ORIENTATION_PAGE_UP) turned.push_back(lines.size());
        lines.push_back(RecognizedLine{withoutFinalLineFeed(text.get()),
                                       *box,
                                       iterator.Confidence(tesseract::RIL_TEXTLINE),
                                       {}});
      }
    }
    if (!keep) continue;
    const std::unique_ptr<char[]> word(iterator.GetUTF8Text(tesseract::RIL_WORD));
    const std::optional<PixelBox> box = boxOf(iterator, tesseract::RIL_WORD);
    if (word && box) {
      lines.back().words.push_back(
          RecognizedWord{word.get(), *box, iterator.Confidence(tesseract::RIL_WORD)});
    }
  } while (iterator.Next(tesseract::RIL_WORD));
  return lines;
}

// Observations in the engine's order, each line of one column, boxes normalised to a bitmap of
// `width` x `height` as given (mapped back from a straightened copy), origin lower-left.
std::vector<Observation> observationsOf(std::vector<RecognizedLine> lines, const Deskewed& deskewed,
                                        int width, int height) {
  std::vector<Observation> observations;
  const double w = width;
  const double h = height;
  for (RecognizedLine& line : splitAtGutters(std::move(lines))) {
    PixelBox& box = line.box;
    if (deskewed.bitmap) {
      mapBackFromDeskewed(deskewed, width, height, box.left, box.top, box.right, box.bottom);
    }
    observations.push_back(
        Observation{withWebHostsMended(withAddressesJoined(std::move(line.text))), box.left / w,
                    (h - box.bottom) / h, (box.right - box.left) / w, (box.bottom - box.top) / h,
                    line.confidence / 100.0f});
  }
  return observations;
}

// Vertical rules (a card's column borders, a table's) are runs of ink at least this tall: a tenth
// of the page, and no less than 64 rows (32 pt at 144 DPI), taller than any letter of body text.
constexpr int minRuleHeight = 64;
constexpr int rulePageFraction = 10;

// The page's rows of ink, cut into bands by cutIntoBands; vertical rules, which cross every row,
// are left out.
std::vector<Band> bandsOf(Pix* binary, l_int32 ink) {
  const int height = pixGetHeight(binary);
  const int width = pixGetWidth(binary);
  const bool large = static_cast<long long>(width) * height > maxBandPixels;
  if (std::min(maxBands, static_cast<int>(ink / inkPerBand)) < 2 && !large) return {{0, height}};
  const PixPtr rules(
      pixOpenBrick(nullptr, binary, 1, std::max(minRuleHeight, height / rulePageFraction)));
  const PixPtr text(rules ? pixSubtract(nullptr, binary, rules.get()) : nullptr);
  NUMA* perRow = pixCountPixelsByRow(text ? text.get() : binary, nullptr);
  // Without its counts, no row of the page is known to be white.
  std::vector<std::int32_t> inkPerRow(static_cast<std::size_t>(height), perRow ? 0 : 1);
  if (perRow != nullptr) {
    for (int y = 0; y < height; ++y)
      numaGetIValue(perRow, y, &inkPerRow[static_cast<std::size_t>(y)]);
    numaDestroy(&perRow);
  }
  return cutIntoBands(inkPerRow, ink, width);
}

// A setting the engine does not know (renamed by an upgrade, say) would silently lose its tuning.
void setVariable(tesseract::TessBaseAPI& api, const char* name, const char* value) {
  if (!api.SetVariable(name, value)) {
    throw EngineError(std::string("The recognition engine has no setting ") + name);
  }
}

}  // namespace

struct TextRecognizer::Engine {
  tesseract::TessBaseAPI api;
};

TextRecognizer::TextRecognizer() { silenceLeptonica(); }

TextRecognizer::Engine& TextRecognizer::engine(std::string_view languages) {
  if (const auto found = engines_.find(languages); found != engines_.end()) return *found->second;
  auto started = std::make_unique<Engine>();
  // Language correction: the models' word lists are loaded.
  const std::vector<std::string> names{"debug_file", "load_system_dawg", "load_freq_dawg"};
  const std::vector<std::string> values{"/dev/null", "1", "1"};
  tesseract::TessBaseAPI& api = started->api;
  int status = 0;
  {
    // Init writes process-wide parameters (debug_file is one); engines started by parallel
    // workers take turns here so that those writes never overlap.
    static std::mutex initMutex;
    const std::lock_guard<std::mutex> lock(initMutex);
    // Init applies its variables only after loading the models, so the messages of a failed load
    // would still reach stderr without this.
    setVariable(api, "debug_file", "/dev/null");
    // The installed models hold only the LSTM recognizer.
    status = api.Init(nullptr, std::string(languages).c_str(), tesseract::OEM_LSTM_ONLY, nullptr, 0,
                      &names, &values, false);
  }
  // The engine goes on with the languages it could load, so each one is checked.
  std::vector<std::string> loaded;
  if (status == 0) api.GetLoadedLanguagesAsVector(&loaded);
  std::string missing;
  for (const std::string_view model : models) {
    if (languages.find(model) == std::string_view::npos) continue;
    if (std::find(loaded.begin(), loaded.end(), model) != loaded.end()) continue;
    missing += (missing.empty() ? "" : ", ") + std::string(model) + ".traineddata";
  }
  if (!missing.empty()) {
    const char* directory = api.GetDatapath();
    throw EngineError("Could not load the language data " + missing + " from " +
                      (directory != nullptr ? directory : ""));
  }
  return *engines_.emplace(std::string(languages), std::move(started)).first->second;
}

PixPtr greyScaledUp(const Pix* bitmap, float scale) {
  const auto scaled = [&](l_int32 size) {
    return static_cast<long long>(scale * static_cast<float>(size));
  };
  Pix* source = const_cast<Pix*>(bitmap);
  if (!withinBitmapCap(scaled(pixGetWidth(source)), scaled(pixGetHeight(source))) ||
      readInGrey(scaled(pixGetWidth(source)), scaled(pixGetHeight(source)))) {
    return nullptr;
  }
  const PixPtr converted = engineForm(source);
  const PixPtr grey(pixConvertTo8(converted ? converted.get() : source, 0));
  PixPtr copy(grey ? pixScaleGrayLI(grey.get(), scale, scale) : nullptr);
  // The resolution tells the engine the type's size, which the copy keeps.
  if (copy && pixGetXRes(source) > 0 && pixGetYRes(source) > 0) {
    pixSetResolution(copy.get(), static_cast<l_int32>(scaled(pixGetXRes(source))),
                     static_cast<l_int32>(scaled(pixGetYRes(source))));
  }
  return copy;
}

TextRecognizer::~TextRecognizer() = default;

Reading TextRecognizer::recognizeText(const Pix* bitmap, const PieceRunner& runPieces,
                                      std::optional<std::string_view> language,
                                      bool stopAtSmallType) {
  Reading reading;
  if (bitmap == nullptr) return reading;
  keepEngineSingleThreaded();
  const EngineInput prepared = prepare(bitmap);
  if (prepared.input == nullptr) return reading;
  const Scan scan{prepared.input, pixGetXRes(bitmap), prepared.evenlyLitPhoto};
  const auto observations = [&](std::vector<RecognizedLine> lines, std::string_view languages) {
    readLeftOut(scan, prepared.binary.get(), lines, languages);
    reading.observations = observationsOf(std::move(lines), prepared.deskewed, pixGetWidth(bitmap),
                                          pixGetHeight(bitmap));
    return std::move(reading);
  };
  const std::vector<Band> bands = bandsOf(prepared.binary.get(), prepared.ink);
  reading.bands = bands.size();
  if (bands.size() < 2) {
    reading.language = language;
    std::string_view languages = language.value_or(allModels);
    std::vector<RecognizedLine> lines = readArea(scan, {0, 0, 0, 0}, languages);
    reading.smallType = isSmallType(lines);
    if (reading.smallType && stopAtSmallType) return reading;
    if (const auto again = modelsToReadAgain(plainLanguage(lines), languages)) {
      languages = *again;
      lines = readArea(scan, {0, 0, 0, 0}, languages);
    }
    rereadOtherLanguages(scan, lines, languages);
    return observations(std::move(lines), languages);
  }
  // The four models together read every word the first one reads poorly again with the others,
  // which about doubles the engine's time; a page plainly in one language is read with its model
  // alone (CPU on English pages 11.7 s -> 6.0 s, German 8.8 -> 5.1, words as good). The top band,
  // read with the English model, tells the language; it is read again unless that is English.
  const int width = pixGetWidth(prepared.input);
  std::vector<std::vector<RecognizedLine>> bandLines(bands.size());
  std::size_t first = 0;  // bands read already
  if (!language) {
    bandLines[0] = readArea(scan, {0, bands[0].top, width, bands[0].bottom}, firstModel);
    language = plainLanguage(bandLines[0]).value_or(allModels);
    reading.smallType = isSmallType(bandLines[0]);
    if (reading.smallType && stopAtSmallType) {
      reading.language = language;
      return reading;
    }
    if (*language == firstModel) {
      first = 1;
      rereadOtherLanguages(scan, bandLines[0], firstModel);
    }
  }
  const std::string_view languages = *language;
  reading.language = language;
  // Largest bands first, so that engines sharing the page finish together; the lines are then put
  // back top to bottom.
  std::vector<std::size_t> order(bands.size() - first);
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i + first;
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return bands[a].bottom - bands[a].top > bands[b].bottom - bands[b].top;
  });
  const RecognitionPiece piece = [&](TextRecognizer& engine, std::size_t index) {
    const Band& band = bands[order[index]];
    const PixelBox area{0, band.top, width, band.bottom};
    std::vector<RecognizedLine> read = engine.readArea(scan, area, languages);
    // A band in another language (a quotation, a summary in a second language) is read again
    // with all four models (Spanish with the four in its order); in a band of the page's
    // language, the lines in another.
    if (const auto again = modelsToReadAgain(plainLanguage(read), languages)) {
      read = engine.readArea(scan, area, *again);
    } else {
      engine.rereadOtherLanguages(scan, read, languages);
    }
    bandLines[order[index]] = std::move(read);
  };
  if (runPieces) {
    runPieces(order.size(), piece);
  } else {
    for (std::size_t i = 0; i < order.size(); ++i) piece(*this, i);
  }
  std::vector<RecognizedLine> lines;
  for (std::vector<RecognizedLine>& band : bandLines) {
    std::move(band.begin(), band.end(), std::back_inserter(lines));
  }
  return observations(std::move(lines), languages);
}

void TextRecognizer::rereadOtherLanguages(const Scan& scan, std::vector<RecognizedLine>& lines,
                                          std::string_view languages) {
  if (languages == allModels) return;
  for (RecognizedLine& line : lines) {
    if (!showsAnotherLanguage(line, languages)) continue;
    std::vector<RecognizedLine> again = readArea(scan, line.box, allModels, Layout::line);
    if (again.size() == 1 && again[0].confidence > line.confidence) line = std::move(again[0]);
  }
}

void TextRecognizer::readLeftOut(const Scan& scan, const Pix* ink,
                                 std::vector<RecognizedLine>& lines, std::string_view languages) {
  if (ink == nullptr) return;
  for (const PixelBox& area : leftOutAreas(ink, lines)) {
    std::vector<RecognizedLine> again = readArea(scan, area, languages, Layout::block);
    std::move(again.begin(), again.end(), std::back_inserter(lines));
  }
}

std::vector<RecognizedLine> TextRecognizer::readArea(const Scan& scan, const PixelBox& area,
                                                     std::string_view languages, Layout layout) {
  keepEngineSingleThreaded();
  tesseract::TessBaseAPI& api = engine(languages).api;
  // What the engine learns from a page (adaptive classifier, document dictionary) is learnt only
  // by its legacy recognizer, which these models lack; cleared anyway, as it costs nothing.
  api.ClearAdaptiveClassifier();
  api.SetPageSegMode(layout == Layout::line    ? tesseract::PSM_SINGLE_LINE
                     : layout == Layout::block ? tesseract::PSM_SINGLE_BLOCK
                                               : tesseract::PSM_AUTO);
  setVariable(api, "thresholding_method", scan.otsu ? "0" : "2");
  // The engine copies what it is given: the band alone, not the page, so that engines sharing a
  // page do not each hold a copy of it.
  PixPtr band;
  int margin = 0;
  if (area.right > area.left) {
    BOX* region = boxCreate(area.left, area.top, area.right - area.left, area.bottom - area.top);
    band.reset(pixClipRectangle(scan.bitmap, region, nullptr));
    boxDestroy(&region);
    if (!band) throw RecognitionError("Text recognition failed");
    // A line read alone needs white around it, as on a page, or the engine clips its letters.
    if (layout != Layout::found) {
      margin = std::max(8, (area.bottom - area.top) / 2);
      band = framedInWhite(band.get(), margin, margin);
    }
  }
  api.SetImage(band ? band.get() : scan.bitmap);
  const bool whole = !band;
  band.reset();  // the engine has made its own copy
  if (scan.dpi >= minPlausibleDPI && scan.dpi <= maxPlausibleDPI) {
    api.SetSourceResolution(scan.dpi);
  }
  if (api.Recognize(nullptr) != 0) {
    api.Clear();
    throw RecognitionError("Text recognition failed");
  }
  std::vector<RecognizedLine> lines;
  std::vector<std::size_t> turned;
  const std::unique_ptr<tesseract::ResultIterator> iterator(api.GetIterator());
  if (iterator) lines = engineLines(*iterator, turned);
  api.Clear();
  const auto shift = [&](PixelBox& box) {
    box.left += area.left - margin;
    box.right += area.left - margin;
    box.top += area.top - margin;
    box.bottom += area.top - margin;
  };
  if (!whole) {
    for (RecognizedLine& line : lines) {
      shift(line.box);
      for (RecognizedWord& word : line.words) shift(word.box);
    }
  }
  if (layout != Layout::found) return lines;
  // A narrow column of short cells (a form's day numbers) can look to the engine like lines
  // turned on their side, one per column of digits, which it reads as nonsense; read as one block
  // of lines, it is the numbers. Text that really is turned keeps its reading, the one with the
  // better confidence.
  std::vector<bool> replaced(lines.size(), false);
  std::vector<std::pair<std::size_t, std::vector<RecognizedLine>>> readings;
  for (std::size_t i = 0; i < turned.size(); ++i) {
    PixelBox hull = lines[turned[i]].box;
    std::vector<std::size_t> group{turned[i]};
    // Turned lines that touch, within a line's width, are one column.
    while (i + 1 < turned.size()) {
      const PixelBox& next = lines[turned[i + 1]].box;
      const int reach = hull.right - hull.left;
      if (next.left > hull.right + reach || next.right < hull.left - reach ||
          next.top > hull.bottom || next.bottom < hull.top) {
        break;
      }
      hull = {std::min(hull.left, next.left), std::min(hull.top, next.top),
              std::max(hull.right, next.right), std::max(hull.bottom, next.bottom)};
      group.push_back(turned[++i]);
    }
    float sum = 0;
    for (const std::size_t member : group) sum += lines[member].confidence;
    std::vector<RecognizedLine> again = readArea(scan, hull, languages, Layout::block);
    if (again.empty() || meanConfidence(again) <= sum / static_cast<float>(group.size())) continue;
    for (const std::size_t member : group) replaced[member] = true;
    readings.emplace_back(group.front(), std::move(again));
  }
  if (readings.empty()) return lines;
  std::vector<RecognizedLine> result;
  auto reading = readings.begin();
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (reading != readings.end() && reading->first == i) {
      std::move(reading->second.begin(), reading->second.end(), std::back_inserter(result));
      ++reading;
    }
    if (!replaced[i]) result.push_back(std::move(lines[i]));
  }
  return result;
}

}  // namespace quirna
