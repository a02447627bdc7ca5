#include "sources/PDFSource.h"

#include <sched.h>

#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include <leptonica/allheaders.h>
#include <poppler/PDFDoc.h>

#include "model/Error.h"
#include "recognition/ReadingOrder.h"
#include "recognition/TextRecognizer.h"
#include "sources/PageRasteriser.h"
#include "sources/SourceFile.h"

namespace quirna {
namespace {

struct RenderedPage {
  int index;  // 0-based
  PixPtr bitmap;
};

// The one thread that owns the document draws pages in order and hands them to recognition
// workers; each worker has its own engine. A page waits in the hand-over only while every worker
// is busy, so about workers + 1 bitmaps are alive at once however long the document.
class PagePipeline {
 public:
  PagePipeline(unsigned maxWorkers, int pageCount)
      : maxWorkers_(maxWorkers), slots_(static_cast<std::size_t>(pageCount)) {}

  ~PagePipeline() { finish(); }

  // Blocks until the hand-over is free. False when the run has already failed.
  bool waitForRoom() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return waiting_.empty() || failure_; });
    return !failure_;
  }

  void hand(RenderedPage page) {
    std::lock_guard lock(mutex_);
    waiting_.push_back(std::move(page));
    // A worker (and its engine) starts only for a page that no running worker is free to take.
    if (idle_ == 0 && workers_.size() < maxWorkers_) workers_.emplace_back([this] { work(); });
    changed_.notify_all();
  }

  // Waits for every worker; rethrows the failure that ended the run, if any.
  std::vector<OCRResult> results() {
    finish();
    if (failure_) std::rethrow_exception(failure_);
    std::vector<OCRResult> results;
    for (auto& slot : slots_) {
      if (slot) results.push_back(std::move(*slot));
    }
    return results;
  }

 private:
  void finish() {
    {
      std::lock_guard lock(mutex_);
      closed_ = true;
      changed_.notify_all();
    }
    for (auto& worker : workers_) {
      if (worker.joinable()) worker.join();
    }
  }

  void fail(std::exception_ptr failure) {
    std::lock_guard lock(mutex_);
    if (!failure_) failure_ = failure;
    changed_.notify_all();
  }

  void work() {
    try {
      TextRecognizer recognizer;
      while (std::optional<RenderedPage> page = next()) {
        recognise(recognizer, *page);
      }
    } catch (...) {
      fail(std::current_exception());
    }
  }

  std::optional<RenderedPage> next() {
    std::unique_lock lock(mutex_);
    ++idle_;
    changed_.wait(lock, [&] { return !waiting_.empty() || closed_ || failure_; });
    --idle_;
    if (failure_ || waiting_.empty()) return std::nullopt;
    RenderedPage page = std::move(waiting_.front());
    waiting_.pop_front();
    changed_.notify_all();
    return page;
  }

  void recognise(TextRecognizer& recognizer, RenderedPage& page) {
    std::vector<Observation> observations;
    try {
      observations = recognizer.recognizeText(page.bitmap.get(), renderDPI);
    } catch (const RecognitionError&) {
      return;  // a page the engine fails on is left out; the others go on
    }
    if (observations.empty()) return;
    PageText text = reorderByColumns(observations);
    if (text.text.empty()) return;
    // Each slot is written by one worker only and read after every worker has been joined.
    slots_[static_cast<std::size_t>(page.index)].emplace(
        OCRResult{page.index + 1, std::move(text.text), text.confidence, std::move(text.lines),
                  pixGetWidth(page.bitmap.get()), pixGetHeight(page.bitmap.get())});
  }

  const unsigned maxWorkers_;
  std::vector<std::optional<OCRResult>> slots_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<RenderedPage> waiting_;
  std::vector<std::thread> workers_;
  unsigned idle_ = 0;
  bool closed_ = false;
  std::exception_ptr failure_;
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
  requireExists(path);
  if (!isRegularFile(path)) throw OCRError::processingFailed("Could not load PDF");
  const PDFDocPtr document = openDocument(path);
  if (!document) throw OCRError::processingFailed("Could not load PDF");

  const int pageCount = document->getNumPages();
  PageRasteriser rasteriser(*document);
  PagePipeline pipeline(workers > 0 ? workers : 1, pageCount > 0 ? pageCount : 0);
  for (int index = 0; index < pageCount; ++index) {
    if (!pipeline.waitForRoom()) break;
    PixPtr bitmap = rasteriser.cgImageRepresentation(index + 1);
    if (!bitmap) continue;
    pipeline.hand(RenderedPage{index, std::move(bitmap)});
  }
  return pipeline.results();
}

}  // namespace quirna
