#include "sources/PDFSource.h"

#include <mutex>

#include <poppler/PDFDoc.h>

#include "model/Error.h"
#include "recognition/PageRecognition.h"
#include "sources/PageRenderer.h"
#include "sources/SourceFile.h"

namespace quirna {
namespace {

// One Poppler document, drawn by the thread handing its pages in order and by any worker that
// needs a page of it drawn a second time: a PDFDoc is safe for one thread at a time, so each
// drawing takes the document's lock. Its pages' work keeps it until the last is read.
struct SharedDocument {
  explicit SharedDocument(PDFDocPtr opened) : document(std::move(opened)), renderer(*document) {}
  std::mutex mutex;
  const PDFDocPtr document;
  PageRenderer renderer;  // borrows document; guarded by mutex
};

class PDFPages final : public DocumentPages {
 public:
  explicit PDFPages(PDFDocPtr document)
      : shared_(std::make_shared<SharedDocument>(std::move(document))),
        count_(shared_->document->getNumPages()) {}

  std::optional<NumberedPage> next() override {
    while (next_ <= count_) {
      const int number = next_++;
      const std::lock_guard lock(shared_->mutex);
      if (PixPtr bitmap = shared_->renderer.renderPage(number))
        return NumberedPage{number, std::move(bitmap)};
    }
    return std::nullopt;
  }

  PageWork work() const override {
    return
        [shared = shared_](TextRecognizer& recognizer, const PieceRunner& runPieces,
                           const Pix* bitmap, std::int64_t pageNumber) -> std::optional<OCRResult> {
          const SecondDrawing secondDrawing = [&] {
            const std::lock_guard lock(shared->mutex);
            return shared->renderer.renderSecondDrawing(static_cast<int>(pageNumber));
          };
          try {
            return recognizePage(recognizer, runPieces, bitmap, pageNumber, secondDrawing);
          } catch (const RecognitionError&) {
            return std::nullopt;  // a page the engine fails on is left out; the others go on
          }
        };
  }

 private:
  const std::shared_ptr<SharedDocument> shared_;
  const int count_;
  int next_ = 1;
};

}  // namespace

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
