#include "recognition/RecognitionPool.h"

#include "recognition/TextRecognizer.h"

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

std::shared_ptr<RecognitionPool::Document> RecognitionPool::begin(PageWork work,
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
  // A worker (and its engine, slow to load) starts only for a page no running worker is free to
  // take.
  if (idle_ == 0 && workers_.size() < maxWorkers_) workers_.emplace_back([this] { work(); });
  changed_.notify_all();
  changed_.wait(lock, [&] { return !waiting_ || failure_; });
  return !failure_ && !document->failure;
}

void RecognitionPool::end(const std::shared_ptr<Document>& document, std::exception_ptr failure) {
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
  for (std::thread& worker : workers_) {
    if (worker.joinable()) worker.join();
  }
  waiting_.reset();  // a page no worker took before the run failed
}

void RecognitionPool::fail(std::exception_ptr failure) {
  const std::lock_guard lock(mutex_);
  if (!failure_) failure_ = failure;
  changed_.notify_all();
}

void RecognitionPool::work() {
  try {
    TextRecognizer recognizer;
    while (std::optional<Page> page = next()) {
      std::optional<OCRResult> result;
      std::exception_ptr failure;
      if (!page->documentFailed) {
        try {
          std::optional<OCRResult> made =
              page->document->work(recognizer, page->bitmap.get(), page->number);
          if (made) result.emplace(std::move(*made));  // results have const fields: no assigning
        } catch (...) {
          failure = std::current_exception();  // ends this document; the engine goes on
        }
        ++pagesRecognized_;
      }
      page->bitmap.reset();
      settle(*page, std::move(result), failure);
    }
  } catch (...) {
    fail(std::current_exception());
  }
}

std::optional<RecognitionPool::Page> RecognitionPool::next() {
  std::unique_lock lock(mutex_);
  ++idle_;
  changed_.wait(lock, [&] { return waiting_ || closed_ || failure_; });
  --idle_;
  if (failure_ || !waiting_) return std::nullopt;
  std::optional<Page> page = std::move(waiting_);
  waiting_.reset();
  page->documentFailed = page->document->failure != nullptr;
  changed_.notify_all();
  return page;
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
