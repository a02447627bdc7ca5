#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "recognition/Bitmap.h"
#include "recognition/LineRecords.h"

namespace quirna {

class TextRecognizer;
struct Scan;

// One piece of a page's recognition, run on whichever engine takes it.
using RecognitionPiece = std::function<void(TextRecognizer&, std::size_t index)>;

// Runs `piece` once for each index below `count`, on the caller's engine or on others lent to it,
// starting them in index order; returns when all have run and rethrows the first failure.
using PieceRunner = std::function<void(std::size_t count, const RecognitionPiece& piece)>;

// What one reading of a bitmap found.
struct Reading {
  std::vector<Observation> observations;  // in the engine's order
  // The models the page was read with when one choice held for all of it: the choice of its top
  // band when read in bands, the one given otherwise. Empty: read with the four, in one pass.
  std::optional<std::string_view> language;
  std::size_t bands = 1;  // the pieces the page was cut into
  // The first lines read (the top band, or the page read in one pass) are small or poorly read
  // for this bitmap: a finer second drawing reads them better.
  bool smallType = false;
};

// `bitmap` as the engine reads it (transparency over white) in 8-bit grey, scaled up by `scale`
// (linear interpolation), its resolution with it; null when the copy would take more pixels than
// the largest colour bitmap held, or cannot be made.
PixPtr greyScaledUp(const Pix* bitmap, float scale);

// One initialised engine (its language models loaded as its pages first need them, tuned as
// described in the .cc), reused for every bitmap it is given. Not thread-safe: one instance per
// thread.
class TextRecognizer {
 public:
  // The models are loaded when first needed: recognizeText throws EngineError naming what is
  // missing or refused when an engine cannot be set up.
  TextRecognizer();
  ~TextRecognizer();
  TextRecognizer(const TextRecognizer&) = delete;
  TextRecognizer& operator=(const TextRecognizer&) = delete;

  // `bitmap` is borrowed; any depth, colour map or alpha (composited over white). Its resolution,
  // when plausible, tells the engine the text size; otherwise the engine estimates it. A bitmap
  // too thin to hold text, over the bitmap cap, or of one colour gives no observations. Throws
  // RecognitionError when recognition fails.
  // A page with much text is read in bands; `runPieces`, when given, lends other engines for them.
  // The result does not depend on which engines read which bands. `language`, when given, is the
  // models a first reading of the page chose. With `stopAtSmallType` a reading that finds small
  // type stops there and gives no observations.
  Reading recognizeText(const Pix* bitmap, const PieceRunner& runPieces = {},
                        std::optional<std::string_view> language = std::nullopt,
                        bool stopAtSmallType = false);

 private:
  struct Engine;
  // The engine for `languages` ("fra+deu+nld+eng", or one model), started on first use.
  Engine& engine(std::string_view languages);
  // How an area is laid out for the engine: found by it, one line, or one block of lines.
  enum class Layout { found, line, block };
  // The lines of `area` of the scan (the whole of it when empty), read in one pass with the models
  // of `languages`, in pixels of the scan.
  std::vector<RecognizedLine> readArea(const Scan& scan, const PixelBox& area,
                                       std::string_view languages, Layout layout = Layout::found);
  // Each of `lines`, read with the one model `languages`, that shows another language is read
  // again alone with the four models; the reading with the better confidence is kept.
  void rereadOtherLanguages(const Scan& scan, std::vector<RecognizedLine>& lines,
                            std::string_view languages);
  // The areas of the scan that the engine's layout left out of `lines` (its ink in `ink`, 1 bpp)
  // are read alone, each as a block, and their lines added.
  void readLeftOut(const Scan& scan, const Pix* ink, std::vector<RecognizedLine>& lines,
                   std::string_view languages);

  std::map<std::string, std::unique_ptr<Engine>, std::less<>> engines_;
};

}  // namespace quirna
