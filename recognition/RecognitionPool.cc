#include "recognition/RecognitionPool.h"

#include <utility>

#include "model/Error.h"

namespace quirna {

struct RecognitionPool::Document {
  const PageWork work;
  const DocumentDone done;
  // Guarded by the pool's mutex:
  std::map<std::int64_t, OCRResult> results;
  std::exception_ptr failure;
  std::int64_t handed = 0;
  std::int64_t unsettled = 0;  // handed, not yet back from a worker
  bool ended = false;
};

RecognitionPool::RecognitionPool(unsigned maxWorkers)
    : maxWorkers_(maxWorkers > 0 ? maxWorkers : 1) {}

RecognitionPool::~RecognitionPool() { stop(); }

std::shared_ptr<RecognitionPool::Document> RecognitionPool::openDocument(PageWork work,
                                                                         DocumentDone done) {
  const std::lock_guard lock(mutex_);
  if (failure_) std::rethrow_exception(failure_);
  return std::make_shared<Document>(std::move(work), std::move(done));
}

bool RecognitionPool::hand(const std::shared_ptr<Document>& document, std::int64_t pageNumber,
                           PixPtr bitmap) {
  std::unique_lock lock(mutex_);
  if (failure_ || document->failure) return false;
  waiting_.emplace(Page{document, pageNumber, std::move(bitmap)});
  ++document->handed;
  ++document->unsettled;
  if (idle_ == 0) startWorker();
  changed_.notify_all();
  changed_.wait(lock, [&] { return !waiting_ || failure_; });
  return !failure_ && !document->failure;
}

void RecognitionPool::closeDocument(const std::shared_ptr<Document>& document,
                                    std::exception_ptr failure) {
  {
    const std::lock_guard lock(mutex_);
    if (!document->failure) document->failure = failure;
    document->ended = true;
    // Once the run has failed, a document may have lost pages without knowing it.
    if (document->unsettled > 0 || failure_) return;
  }
  complete(*document);
}

void RecognitionPool::finish() {
  stop();
  if (failure_) std::rethrow_exception(failure_);
}

// std::jthread would join on its own, but its stop request would abandon pages already handed;
// workers must drain them, so they are told "closed" and joined here.
void RecognitionPool::stop() noexcept {
  {
    const std::lock_guard lock(mutex_);
    closed_ = true;
  }
  changed_.notify_all();
  // A worker still reading a page may start a helper meanwhile: it is joined too.
  for (std::size_t i = 0;; ++i) {
    std::thread* worker = nullptr;
    {
      const std::lock_guard lock(mutex_);
      if (i == workers_.size()) break;
      worker = &workers_[i];
    }
    if (worker->joinable()) worker->join();
  }
  waiting_.reset();  // a page no worker took before the run failed
}

void RecognitionPool::fail(std::exception_ptr failure) {
  const std::lock_guard lock(mutex_);
  if (!failure_) failure_ = failure;
  changed_.notify_all();
}

// A worker (and its engine, slow to load) starts only when no running worker is free. Called with
// mutex_ held.
void RecognitionPool::startWorker() {
  if (workers_.size() < maxWorkers_) workers_.emplace_back([this] { work(); });
}

void RecognitionPool::work() {
  try {
    TextRecognizer recognizer;
    std::unique_lock lock(mutex_);
    for (;;) {
      ++idle_;
      // Once closed, a worker stays while another still reads a page that it may cut into pieces.
      changed_.wait(lock, [&] {
        return waiting_ || !open_.empty() || failure_ || (closed_ && reading_ == 0);
      });
      --idle_;
      if (failure_) return;
      if (waiting_) {
        Page page = std::move(*waiting_);
        waiting_.reset();
        page.documentFailed = page.document->failure != nullptr;
        ++reading_;
        changed_.notify_all();
        lock.unlock();
        recognize(page, recognizer);
        lock.lock();
        --reading_;
        changed_.notify_all();
      } else if (!open_.empty()) {
        help(lock, recognizer);
      } else {
        return;
      }
    }
  } catch (...) {
    fail(std::current_exception());
  }
}

// Runs without the lock.
void RecognitionPool::recognize(Page& page, TextRecognizer& recognizer) {
  std::optional<OCRResult> result;
  std::exception_ptr failure;
  if (!page.documentFailed) {
    const PieceRunner pieces = [&](std::size_t count, const RecognitionPiece& piece) {
      runPieces(recognizer, count, piece);
    };
    try {
      std::optional<OCRResult> made =
          page.document->work(recognizer, pieces, page.bitmap.get(), page.number);
      if (made) result.emplace(std::move(*made));  // results have const fields: no assigning
    } catch (const RecognitionError&) {
      failure = std::current_exception();  // ends this document; the engine goes on
    } catch (const EngineError&) {
      fail(std::current_exception());  // an engine that cannot start would fail every page
    } catch (...) {
      failure = std::current_exception();
    }
    ++pagesRecognized_;
  }
  page.bitmap.reset();
  settle(page, std::move(result), failure);
}

// The reading worker takes pieces in turn with any helpers, so it never waits for a helper to
// start, and the result is the same whoever reads which piece.
void RecognitionPool::runPieces(TextRecognizer& own, std::size_t count,
                                const RecognitionPiece& piece) {
  Pieces pieces{piece, count, 0, 0, nullptr};
  std::unique_lock lock(mutex_);
  if (count > 1) {
    open_.push_back(&pieces);
    if (idle_ == 0) startWorker();
    changed_.notify_all();
  }
  std::exception_ptr failure;
  while (pieces.taken < pieces.count && !pieces.failure && !failure) {
    const std::size_t index = take(pieces);
    lock.unlock();
    try {
      piece(own, index);
    } catch (...) {
      failure = std::current_exception();
    }
    lock.lock();
  }
  // No piece is started after a failure.
  pieces.taken = pieces.count;
  std::erase(open_, &pieces);
  changed_.wait(lock, [&] { return pieces.helping == 0; });
  if (!failure) failure = pieces.failure;
  if (failure) std::rethrow_exception(failure);
}

// A page stays listed while it has pieces to take. Called with the lock held.
std::size_t RecognitionPool::take(Pieces& pieces) {
  const std::size_t index = pieces.taken++;
  if (pieces.taken == pieces.count) std::erase(open_, &pieces);
  return index;
}

// Takes the next piece of the oldest page cut into pieces. Called with the lock held; returns with
// it.
void RecognitionPool::help(std::unique_lock<std::mutex>& lock, TextRecognizer& recognizer) {
  Pieces& pieces = *open_.front();
  const std::size_t index = take(pieces);
  ++pieces.helping;
  lock.unlock();
  std::exception_ptr failure;
  try {
    pieces.piece(recognizer, index);
  } catch (...) {
    failure = std::current_exception();
  }
  lock.lock();
  if (failure && !pieces.failure) pieces.failure = failure;
  --pieces.helping;
  changed_.notify_all();
}

void RecognitionPool::settle(Page& page, std::optional<OCRResult> result,
                             std::exception_ptr failure) {
  Document& document = *page.document;
  {
    const std::lock_guard lock(mutex_);
    if (result) document.results.emplace(page.number, std::move(*result));
    if (!document.failure) document.failure = failure;
    if (--document.unsettled > 0 || !document.ended || failure_) return;
  }
  complete(document);
}

// Runs once per document, with no lock held: nothing else touches the document by now.
void RecognitionPool::complete(Document& document) {
  DocumentResult outcome{{}, document.failure, document.handed};
  if (!outcome.failure) {
    for (auto& [number, result] : document.results) outcome.pages.push_back(std::move(result));
  }
  document.results.clear();
  try {
    document.done(std::move(outcome));
  } catch (...) {
    fail(std::current_exception());
  }
}

}  // namespace quirna
