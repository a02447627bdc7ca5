#include "recognition/RecognitionPool.h"

#include "recognition/TextRecognizer.h"

namespace quirna {

RecognitionPool::RecognitionPool(unsigned maxWorkers, PageWork work)
    : maxWorkers_(maxWorkers > 0 ? maxWorkers : 1), work_(std::move(work)) {}

RecognitionPool::~RecognitionPool() { finish(); }

bool RecognitionPool::hand(std::int64_t pageNumber, PixPtr bitmap) {
  std::unique_lock lock(mutex_);
  if (failure_) return false;
  waiting_.emplace(Page{pageNumber, std::move(bitmap)});
  // A worker (and its engine, slow to load) starts only for a page no running worker is free to
  // take.
  if (idle_ == 0 && workers_.size() < maxWorkers_) workers_.emplace_back([this] { work(); });
  changed_.notify_all();
  changed_.wait(lock, [&] { return !waiting_ || failure_; });
  return !failure_;
}

std::vector<OCRResult> RecognitionPool::results() {
  finish();
  if (failure_) std::rethrow_exception(failure_);
  std::vector<OCRResult> results;
  for (auto& [number, result] : done_) results.push_back(std::move(result));
  return results;
}

// std::jthread would join on its own, but its stop request would abandon pages already handed;
// workers must drain them, so they are told "closed" and joined here, once.
void RecognitionPool::finish() {
  {
    const std::lock_guard lock(mutex_);
    closed_ = true;
  }
  changed_.notify_all();
  for (std::thread& worker : workers_) {
    if (worker.joinable()) worker.join();
  }
}

void RecognitionPool::work() {
  try {
    TextRecognizer recognizer;
    while (std::optional<Page> page = next()) {
      std::optional<OCRResult> result = work_(recognizer, page->bitmap.get(), page->number);
      page->bitmap.reset();
      if (!result) continue;
      const std::lock_guard lock(mutex_);
      done_.emplace(page->number, std::move(*result));
    }
  } catch (...) {
    const std::lock_guard lock(mutex_);
    if (!failure_) failure_ = std::current_exception();
    changed_.notify_all();
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
  changed_.notify_all();
  return page;
}

}  // namespace quirna
