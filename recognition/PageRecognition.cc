#include "recognition/PageRecognition.h"

#include <leptonica/allheaders.h>

#include "recognition/ReadingOrder.h"
#include "recognition/TextRecognizer.h"

namespace quirna {

std::optional<OCRResult> recognizePage(TextRecognizer& recognizer, const PieceRunner& share,
                                       const SharperPage& sharper, const Pix* bitmap,
                                       std::int64_t pageNumber) {
  const std::vector<Observation> observations = recognizer.recognizeText(bitmap, share, sharper);
  if (observations.empty()) return std::nullopt;
  PageText page = reorderByColumns(observations);
  return OCRResult{pageNumber,          std::move(page.text),
                   page.confidence,     std::move(page.lines),
                   pixGetWidth(bitmap), pixGetHeight(bitmap)};
}

}  // namespace quirna
