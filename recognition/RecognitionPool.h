#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "model/OCRResult.h"
#include "recognition/Bitmap.h"
#include "recognition/TextRecognizer.h"

namespace quirna {

// What a worker does with one page: the engine is the worker's own, `runPieces` lends it the
// engines of idle workers for pieces of the page, the bitmap is borrowed. A throw ends that page's
// document, not the pool.
using PageWork = std::function<std::optional<OCRResult>(
    TextRecognizer&, const PieceRunner& runPieces, const Pix*, std::int64_t)>;

// What a document became: its results by ascending page number (pages without one left out), or
// the first error that ended it. `pagesHanded` counts the pages given to the pool for it.
struct DocumentResult {
  std::vector<OCRResult> pages;
  std::exception_ptr failure;
  std::int64_t pagesHanded = 0;
};

// Called once per document, after its last page, on a worker thread or in `closeDocument`.
using DocumentDone = std::function<void(DocumentResult)>;

// Recognizes the pages of any number of documents on up to `maxWorkers` threads, each with its own
// engine that is loaded once and kept for every page of every document. One thread owns the pool
// and produces pages; the hand-over holds one page, so about workers + 1 bitmaps are alive at once
// however many pages and documents pass through. A worker with nothing to do helps another with
// the pieces of its page (the last page of a document, a single image), and a page cut into pieces
// starts a worker to help when none is idle and the pool has room.
class RecognitionPool {
 public:
  struct Document;

  explicit RecognitionPool(unsigned maxWorkers);
  ~RecognitionPool();
  RecognitionPool(const RecognitionPool&) = delete;
  RecognitionPool& operator=(const RecognitionPool&) = delete;

  // Opens a document whose pages go through `work`. Rethrows what ended the run when it already
  // has.
  std::shared_ptr<Document> openDocument(PageWork work, DocumentDone done);

  // Blocks until a worker has taken the page. False when the document or the run has failed: hand
  // no more of it.
  bool hand(const std::shared_ptr<Document>& document, std::int64_t pageNumber, PixPtr bitmap);

  // No more pages for `document`; `failure`, when given, is its outcome whatever its pages give.
  // Returns at once: its pages may still be read, and `done` called, after.
  void closeDocument(const std::shared_ptr<Document>& document,
                     std::exception_ptr failure = nullptr);

  // Pages recognized so far, over all documents; readable from any thread.
  std::int64_t pagesRecognized() const { return pagesRecognized_; }

  // Waits for every page handed and every `done`, then stops the workers. Rethrows what ended the
  // run (an engine that could not start, or a `done` that threw); documents still open then are
  // never done.
  void finish();

 private:
  void stop() noexcept;
  void fail(std::exception_ptr failure);
  struct Page {
    std::shared_ptr<Document> document;
    std::int64_t number;
    PixPtr bitmap;
    bool documentFailed = false;  // its document has failed: the page is dropped, not recognized
  };

  // The pieces of one page, handed out by the worker that reads it.
  struct Pieces {
    const RecognitionPiece& piece;
    const std::size_t count;
    // Guarded by mutex_:
    std::size_t taken = 0;
    std::size_t helping = 0;  // pieces taken by other workers and not yet done
    std::exception_ptr failure;
  };

  void startWorker();
  void work();
  void recognize(Page& page, TextRecognizer& recognizer);
  void runPieces(TextRecognizer& own, std::size_t count, const RecognitionPiece& piece);
  std::size_t take(Pieces& pieces);
  void help(std::unique_lock<std::mutex>& lock, TextRecognizer& recognizer);
  void settle(Page& page, std::optional<OCRResult> result, std::exception_ptr failure);
  void complete(Document& document);

  const unsigned maxWorkers_;
  std::atomic<std::int64_t> pagesRecognized_ = 0;
  std::mutex mutex_;
  std::condition_variable changed_;
  // Guarded by mutex_, like every Document's fields:
  std::optional<Page> waiting_;
  std::deque<Pieces*> open_;  // pages with pieces no engine has taken yet
  unsigned idle_ = 0;
  unsigned reading_ = 0;  // workers on a page, which may still hand out pieces of it
  bool closed_ = false;
  std::exception_ptr failure_;
  // Grown by the owning thread and by workers handing out pieces; joined by the owning thread. A
  // deque keeps the threads in place while it grows.
  std::deque<std::thread> workers_;
};

}  // namespace quirna
