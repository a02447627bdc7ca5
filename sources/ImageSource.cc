#include "sources/ImageSource.h"

#include "model/Error.h"
#include "sources/SourceFile.h"

namespace quirna {

PixPtr decodeFirstImage(const std::string&) { return nullptr; }

std::vector<OCRResult> extractTextFromImage(const std::string& path) {
  requireExists(path);
  throw OCRError::processingFailed("Could not load image");
}

}  // namespace quirna
