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

class TextRecognizer;
struct PixelBox;
struct RecognizedLine;
struct Scan;

// One piece of a page's recognition, run on whichever engine takes it.
using RecognitionPiece = std::function<void(TextRecognizer&, std::size_t index)>;

// Runs `piece` once for each index below `count`, on the caller's engine or on others lent to it,
// starting them in index order; returns when all have run and rethrows the first failure.
using PieceRunner = std::function<void(std::size_t count, const RecognitionPiece& piece)>;

// The page again at a finer resolution (twice the first), for type too small to read well at the
// first; null when it cannot be had.
using SharperPage = std::function<PixPtr()>;

// One initialised engine (the four language models loaded once, tuned as described in the .cc),
// reused for every bitmap it is given. Not thread-safe: one instance per thread.
class TextRecognizer {
 public:
  // The models are loaded when first needed: recognizeText throws EngineError naming what is
  // missing or refused when an engine cannot be set up. An empty `dataPath` uses the engine's
  // installed models.
  explicit TextRecognizer(const std::string& dataPath = "");
  ~TextRecognizer();
  TextRecognizer(const TextRecognizer&) = delete;
  TextRecognizer& operator=(const TextRecognizer&) = delete;

  // Observations in the engine's order. `bitmap` is borrowed; any depth, colour map or alpha
  // (composited over white). Its resolution, when plausible, tells the engine the text size;
  // otherwise the engine estimates it. A bitmap too thin to hold text, over the bitmap cap, or of
  // one colour gives none. Throws RecognitionError when recognition fails.
  // A page with much text is read in bands; `share`, when given, lends other engines for them. The
  // result does not depend on which engines read which bands. A page whose type proves too small
  // for the bitmap is read from `sharper` instead, when given; the boxes stay normalised.
  std::vector<Observation> recognizeText(const Pix* bitmap, const PieceRunner& share = {},
                                         const SharperPage& sharper = {});

 private:
  struct Engine;
  // The engine for `languages` ("fra+deu+nld+eng", or one model), started on first use.
  Engine& engine(std::string_view languages);
  // recognizeText, with the page's language when a reading of it at a coarser resolution has told
  // it.
  std::vector<Observation> read(const Pix* bitmap, const PieceRunner& share,
                                const SharperPage& sharper,
                                std::optional<std::string_view> language);
  // How an area is laid out for the engine: found by it, one line, or one block of lines.
  enum class Layout { found, line, block };
  // The lines of `area` of the scan (the whole of it when empty), read in one pass with the models
  // of `languages`, in pixels of the scan.
  std::vector<RecognizedLine> readPage(const Scan& scan, const PixelBox& area,
                                       std::string_view languages, Layout layout = Layout::found);
  // Each of `lines`, read with the one model `languages`, that shows another language is read
  // again alone with the four models; the reading with the better confidence is kept.
  void rereadOtherLanguages(const Scan& scan, std::vector<RecognizedLine>& lines,
                            std::string_view languages);

  const std::string dataPath_;
  std::map<std::string, std::unique_ptr<Engine>, std::less<>> engines_;
};

}  // namespace quirna
