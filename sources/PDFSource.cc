#include "sources/PDFSource.h"

#include <sched.h>

#include <thread>

#include <poppler/PDFDoc.h>

#include "model/Error.h"
#include "recognition/PageRecognition.h"
#include "recognition/RecognitionPool.h"
#include "sources/PageRenderer.h"
#include "sources/SourceFile.h"

namespace quirna {

unsigned usableCores() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int count = CPU_COUNT(&set);
    if (count > 0) return static_cast<unsigned>(count);
  }
  const unsigned cores = std::thread::hardware_concurrency();
  return cores > 0 ? cores : 1;
}

std::vector<OCRResult> extractTextFromPDF(const std::string& path) {
  return extractTextFromPDF(path, usableCores());
}

std::vector<OCRResult> extractTextFromPDF(const std::string& path, unsigned workers) {
  requireExists(path);
  if (!isRegularFile(path)) throw OCRError::processingFailed("Could not load PDF");
  const PDFDocPtr document = openDocument(path);
  if (!document) throw OCRError::processingFailed("Could not load PDF");

  // Poppler documents are not thread-safe: this thread draws every page, the pool recognizes.
  PageRenderer renderer(*document);
  RecognitionPool pool(
      workers,
      [](TextRecognizer& recognizer, const Pix* bitmap,
         std::int64_t pageNumber) -> std::optional<OCRResult> {
        try {
          return recognizePage(recognizer, bitmap, pageNumber);
        } catch (const RecognitionError&) {
          return std::nullopt;  // a page the engine fails on is left out; the others go on
        }
      });
  const int pageCount = document->getNumPages();
  for (int pageNumber = 1; pageNumber <= pageCount; ++pageNumber) {
    PixPtr bitmap = renderer.renderPage(pageNumber);
    if (bitmap && !pool.hand(pageNumber, std::move(bitmap))) break;
  }
  return pool.results();
}

}  // namespace quirna
