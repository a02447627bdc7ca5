#pragma once

#include <cstdint>
#include <functional>
#include <optional>

#include "model/OCRResult.h"
#include "recognition/Bitmap.h"
#include "recognition/TextRecognizer.h"

namespace quirna {

// The page drawn a second time, finer (a PDF's at twice the first resolution, an image's a copy
// scaled up), for type too small to read well at the first; null when it cannot be had.
using SecondDrawing = std::function<PixPtr()>;

// The one rule for what a recognized bitmap becomes: its lines in reading order with their mean
// confidence, sized as the bitmap (even when its text is read from `secondDrawing`); empty when
// the engine finds no text. `bitmap` is borrowed. Throws RecognitionError when the engine fails:
// each source decides what that means for it.
std::optional<OCRResult> recognizePage(TextRecognizer& recognizer, const PieceRunner& runPieces,
                                       const Pix* bitmap, std::int64_t pageNumber,
                                       const SecondDrawing& secondDrawing = {});

}  // namespace quirna
