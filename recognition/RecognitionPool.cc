#include "recognition/RecognitionPool.h"

#include <utility>

#include "model/Error.h"

namespace quirna {

struct RecognitionPool::Document {
  const PageWork work;
  const DocumentDone done;
  const PageRedraw redraw;
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

std::shared_ptr<RecognitionPool::Document> RecognitionPool::begin(PageWork work, DocumentDone done,
                                                                  PageRedraw redraw) {
  const std::lock_guard lock(mutex_);
  if (failure_) std::rethrow_exception(failure_);
  return std::make_shared<Document>(std::move(work), std::move(done), std::move(redraw));
}

bool RecognitionPool::hand(const std::shared_ptr<Document>& document, std::int64_t pageNumber,
                           PixPtr bitmap) {
  std::unique_lock lock(mutex_);
  if (failure_ || document->failure) return false;
  waiting_.emplace(Page{document, pageNumber, std::move(bitmap)});
  ++document->handed;
  ++document->unsettled;
  // A worker (and its engine, slow to load) starts only for a page no running worker is free to
  // take.
  if (idle_ == 0) startWorker();
  changed_.notify_all();
  for (;;) {
    changed_.wait(lock, [&] { return !waiting_ || failure_ || !redraws_.empty(); });
    if (redraws_.empty()) break;
    serveRedraws(lock);
  }
  return !failure_ && !document->failure;
}

void RecognitionPool::end(const std::shared_ptr<Document>& document, std::exception_ptr failure) {
  {
    std::unique_lock lock(mutex_);
    while (document->redraw && document->unsettled > 0 && !failure_) {
      serveRedraws(lock);
      changed_.wait(lock,
                    [&] { return document->unsettled == 0 || failure_ || !redraws_.empty(); });
    }
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
      // Once closed, a worker stays while another still reads a page that it may share out.
      changed_.wait(lock, [&] {
        return waiting_ || !shares_.empty() || failure_ || (closed_ && reading_ == 0);
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
      } else if (!shares_.empty()) {
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
    const PieceRunner share = [&](std::size_t count, const RecognitionPiece& piece) {
      shareOut(recognizer, count, piece);
    };
    SharperPage sharper;
    if (page.document->redraw) sharper = [&] { return redraw(*page.document, page.number); };
    try {
      std::optional<OCRResult> made =
          page.document->work(recognizer, share, sharper, page.bitmap.get(), page.number);
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
void RecognitionPool::shareOut(TextRecognizer& own, std::size_t count,
                               const RecognitionPiece& piece) {
  Share share{piece, count, 0, 0, nullptr};
  std::unique_lock lock(mutex_);
  if (count > 1) {
    shares_.push_back(&share);
    if (idle_ == 0) startWorker();
    changed_.notify_all();
  }
  std::exception_ptr failure;
  while (share.taken < share.count && !share.failure && !failure) {
    const std::size_t index = take(share);
    lock.unlock();
    try {
      piece(own, index);
    } catch (...) {
      failure = std::current_exception();
    }
    lock.lock();
  }
  // No piece is started after a failure.
  share.taken = share.count;
  std::erase(shares_, &share);
  changed_.wait(lock, [&] { return share.helping == 0; });
  if (!failure) failure = share.failure;
  if (failure) std::rethrow_exception(failure);
}

// A share stays listed while it has pieces to take. Called with the lock held.
std::size_t RecognitionPool::take(Share& share) {
  const std::size_t index = share.taken++;
  if (share.taken == share.count) std::erase(shares_, &share);
  return index;
}

// Takes the next piece of the oldest shared page. Called with the lock held; returns with it.
void RecognitionPool::help(std::unique_lock<std::mutex>& lock, TextRecognizer& recognizer) {
  Share& share = *shares_.front();
  const std::size_t index = take(share);
  ++share.helping;
  lock.unlock();
  std::exception_ptr failure;
  try {
    share.piece(recognizer, index);
  } catch (...) {
    failure = std::current_exception();
  }
  lock.lock();
  if (failure && !share.failure) share.failure = failure;
  --share.helping;
  changed_.notify_all();
}

// Runs on a worker, without the lock; the owning thread draws.
PixPtr RecognitionPool::redraw(Document& document, std::int64_t number) {
  Redraw request{document, number, nullptr};
  std::unique_lock lock(mutex_);
  if (failure_ || closed_) return nullptr;
  redraws_.push_back(&request);
  changed_.notify_all();
  // After a failure, or once the owning thread is only joining workers, it may never come for it.
  changed_.wait(lock, [&] { return request.done || ((failure_ || closed_) && !request.taken); });
  std::erase(redraws_, &request);
  return std::move(request.bitmap);
}

// On the owning thread. Called with the lock held; returns with it. A drawing that throws is one
// that could not be made.
void RecognitionPool::serveRedraws(std::unique_lock<std::mutex>& lock) {
  while (!redraws_.empty()) {
    Redraw& request = *redraws_.front();
    redraws_.pop_front();
    request.taken = true;
    lock.unlock();
    PixPtr bitmap;
    try {
      bitmap = request.document.redraw(request.number);
    } catch (...) {
    }
    lock.lock();
    request.bitmap = std::move(bitmap);
    request.done = true;
    changed_.notify_all();
  }
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
