#include "sources/PDFSource.h"

#include "model/Error.h"
#include "sources/SourceFile.h"

namespace quirna {

std::vector<OCRResult> extractTextFromPDF(const std::string& path) {
  requireExists(path);
  throw OCRError::processingFailed("Could not load PDF");
}

}  // namespace quirna
