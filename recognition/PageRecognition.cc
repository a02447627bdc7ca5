#include "recognition/PageRecognition.h"

#include <leptonica/allheaders.h>

#include "recognition/ReadingOrder.h"

namespace quirna {

std::optional<OCRResult> recognizePage(TextRecognizer& recognizer, const PieceRunner& runPieces,
                                       const Pix* bitmap, std::int64_t pageNumber,
                                       const SecondDrawing& secondDrawing) {
  Reading reading = recognizer.recognizeText(bitmap, runPieces, std::nullopt, bool(secondDrawing));
  if (reading.smallType && secondDrawing) {
    // The second drawing, with four times the ink, is cut into more bands (a contents page read
    // whole at 288 DPI loses words that it keeps in bands); those of a page read in one pass here
    // are read on this engine alone, so that no other engine starts for them. Without it the page
    // is read to the end as it is, with the language already found.
    if (const PixPtr second = secondDrawing()) {
      reading = recognizer.recognizeText(
          second.get(), reading.bands > 1 ? runPieces : PieceRunner{}, reading.language);
    } else {
      reading = recognizer.recognizeText(bitmap, runPieces, reading.language);
    }
  }
  if (reading.observations.empty()) return std::nullopt;
  PageText page = reorderByColumns(reading.observations);
  return OCRResult{pageNumber,          std::move(page.text),
                   page.confidence,     std::move(page.lines),
                   pixGetWidth(bitmap), pixGetHeight(bitmap)};
}

}  // namespace quirna
