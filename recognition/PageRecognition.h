#pragma once

#include <cstdint>
#include <optional>

#include "model/OCRResult.h"
#include "recognition/TextRecognizer.h"

namespace quirna {

// The one rule for what a recognized bitmap becomes: its lines in reading order with their mean
// confidence, sized as the bitmap (even when its text is read from `sharper`); empty when the
// engine finds no text. `bitmap` is borrowed. Throws RecognitionError when the engine fails: each
// source decides what that means for it.
std::optional<OCRResult> recognizePage(TextRecognizer& recognizer, const PieceRunner& share,
                                       const SharperPage& sharper, const Pix* bitmap,
                                       std::int64_t pageNumber);

}  // namespace quirna
