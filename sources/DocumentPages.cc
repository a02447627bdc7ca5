#include "sources/DocumentPages.h"

namespace quirna {

void handDocument(RecognitionPool& pool, DocumentPages& pages, DocumentDone done) {
  const auto document = pool.openDocument(pages.work(), std::move(done));
  try {
    while (std::optional<NumberedPage> page = pages.next()) {
      if (!pool.hand(document, page->number, std::move(page->bitmap))) break;
    }
  } catch (...) {
    pool.closeDocument(document, std::current_exception());
    return;
  }
  pool.closeDocument(document);
}

std::vector<OCRResult> recognizeDocument(DocumentPages& pages, unsigned workers) {
  RecognitionPool pool(workers);
  DocumentResult outcome;
  handDocument(pool, pages, [&](DocumentResult result) { outcome = std::move(result); });
  pool.finish();
  if (outcome.failure) std::rethrow_exception(outcome.failure);
  return std::move(outcome.pages);
}

}  // namespace quirna
