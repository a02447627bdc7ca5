#include "sources/PDFSource.h"

#include <sched.h>

#include <thread>

#include <poppler/PDFDoc.h>

#include "model/Error.h"
#include "recognition/PageRecognition.h"
#include "sources/PageRenderer.h"
#include "sources/SourceFile.h"

namespace quirna {
namespace {

class PDFPages final : public DocumentPages {
 public:
  explicit PDFPages(PDFDocPtr document)
      : document_(std::move(document)), renderer_(*document_), count_(document_->getNumPages()) {}

  std::optional<NumberedPage> next() override {
    while (next_ <= count_) {
      const int number = next_++;
      if (PixPtr bitmap = renderer_.renderPage(number))
        return NumberedPage{number, std::move(bitmap)};
    }
    return std::nullopt;
  }

  PageRedraw redrawing() override {
    return
        [this](std::int64_t number) { return renderer_.renderSharper(static_cast<int>(number)); };
  }

  PageWork work() const override {
    return [](TextRecognizer& recognizer, const PieceRunner& share, const SharperPage& sharper,
              const Pix* bitmap, std::int64_t pageNumber) -> std::optional<OCRResult> {
      try {
        return recognizePage(recognizer, share, sharper, bitmap, pageNumber);
      } catch (const RecognitionError&) {
        return std::nullopt;  // a page the engine fails on is left out; the others go on
      }
    };
  }

 private:
  PDFDocPtr document_;
  PageRenderer renderer_;  // borrows document_
  const int count_;
  int next_ = 1;
};

}  // namespace

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
  return recognizeDocument(*openPDFPages(path), workers);
}

std::unique_ptr<DocumentPages> openPDFPages(const std::string& path) {
  SourceFile file(path);
  if (file.missing()) throw OCRError::fileNotFound();
  PDFDocPtr document = openDocument(std::move(file));
  if (!document) throw OCRError::processingFailed("Could not load PDF");
  return std::make_unique<PDFPages>(std::move(document));
}

}  // namespace quirna
