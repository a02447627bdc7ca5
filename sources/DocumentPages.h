#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "model/OCRResult.h"
#include "recognition/Bitmap.h"
#include "recognition/RecognitionPool.h"

namespace quirna {

struct NumberedPage {
  std::int64_t number;
  PixPtr bitmap;
};

// One opened document as pages for the recognition pool, drawn in order by the thread that hands
// them, and the source's rule for what each page becomes.
class DocumentPages {
 public:
  virtual ~DocumentPages() = default;

  // The next page that could be drawn; empty when there are no more.
  virtual std::optional<NumberedPage> next() = 0;

  // Run by a worker on each page; may outlive this object, and keeps what it needs of it.
  virtual PageWork work() const = 0;
};

// Hands every page of `pages` to `pool` as one document, whose outcome goes to `done`. A throw
// while drawing ends the document with it; the run's own failure is rethrown.
void handDocument(RecognitionPool& pool, DocumentPages& pages, DocumentDone done);

// The results of `pages` on a pool of its own with up to `workers` threads; throws what ended the
// document or the run.
std::vector<OCRResult> recognizeDocument(DocumentPages& pages, unsigned workers);

}  // namespace quirna
