#pragma once

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "model/OCRResult.h"
#include "recognition/Bitmap.h"

namespace quirna {

class TextRecognizer;

// What a worker does with one page: the engine is the worker's own, the bitmap is borrowed.
using PageWork =
    std::function<std::optional<OCRResult>(TextRecognizer&, const Pix* bitmap, std::int64_t)>;

// Recognizes pages on up to `maxWorkers` threads, each with its own engine, while the one thread
// that owns the pool produces the next page. The hand-over holds one page, so about workers + 1
// bitmaps are alive at once however many pages pass through.
class RecognitionPool {
 public:
  RecognitionPool(unsigned maxWorkers, PageWork work);
  ~RecognitionPool();
  RecognitionPool(const RecognitionPool&) = delete;
  RecognitionPool& operator=(const RecognitionPool&) = delete;

  // Blocks until a worker has taken the page. False when the run has already failed: hand no more.
  bool hand(std::int64_t pageNumber, PixPtr bitmap);

  // Waits for every page handed; the results by ascending page number, pages without one left
  // out. Rethrows what ended the run (an engine that could not start, say).
  std::vector<OCRResult> results();

 private:
  struct Page {
    std::int64_t number;
    PixPtr bitmap;
  };

  void finish();
  void work();
  std::optional<Page> next();

  const unsigned maxWorkers_;
  const PageWork work_;
  std::mutex mutex_;
  std::condition_variable changed_;
  // Guarded by mutex_:
  std::optional<Page> waiting_;
  std::map<std::int64_t, OCRResult> done_;
  unsigned idle_ = 0;
  bool closed_ = false;
  std::exception_ptr failure_;
  // Started and joined by the owning thread only.
  std::vector<std::thread> workers_;
};

}  // namespace quirna
