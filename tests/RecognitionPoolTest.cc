#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>
#include <leptonica/allheaders.h>

#include "model/Error.h"
#include "recognition/RecognitionPool.h"

namespace quirna {
namespace {

TEST(RecognitionPool, CompletesEachDocumentOnceWithItsOwnPagesWhileOthersAreInFlight) {
  // Four documents' pages interleaved, of uneven cost; the third fails on its page 3.
  RecognitionPool pool(3);
  std::mutex mutex;
  std::map<int, DocumentResult> done;
  std::map<int, std::shared_ptr<RecognitionPool::Document>> documents;
  for (int d = 0; d < 4; ++d) {
    const auto work = [d](TextRecognizer&, const PieceRunner&, const Pix* bitmap,
                          std::int64_t n) -> std::optional<OCRResult> {
      std::this_thread::sleep_for(std::chrono::milliseconds((n * 7 + d * 3) % 11));
      if (d == 2 && n == 3) throw RecognitionError("page 3");
      if (n % 4 == 0) return std::nullopt;  // a page without text
      return OCRResult{n, std::to_string(d), 1, {}, pixGetWidth(bitmap), 1};
    };
    documents[d] = pool.openDocument(work, [&, d](DocumentResult result) {
      const std::lock_guard lock(mutex);
      EXPECT_TRUE(done.emplace(d, std::move(result)).second) << "done twice: " << d;
    });
  }
  for (int n = 1; n <= 9; ++n) {
    for (int d = 0; d < 4; ++d) {
      if (d == 1 && n > 5) continue;  // ends early, while the others go on
      const bool taken = pool.hand(documents[d], n, PixPtr(pixCreate(n, 1, 8)));
      EXPECT_TRUE(taken || d == 2);
      if (n == 5 && d == 1) pool.closeDocument(documents[d]);
    }
  }
  for (int d : {0, 2, 3}) pool.closeDocument(documents[d]);
  pool.finish();

  ASSERT_EQ(done.size(), 4u);
  for (auto& [d, result] : done) {
    SCOPED_TRACE(d);
    if (d == 2) {
      ASSERT_TRUE(result.failure);
      EXPECT_THROW(std::rethrow_exception(result.failure), RecognitionError);
      EXPECT_TRUE(result.pages.empty());
      continue;
    }
    EXPECT_FALSE(result.failure);
    EXPECT_EQ(result.pagesHanded, d == 1 ? 5 : 9);
    std::vector<std::int64_t> numbers;
    for (const OCRResult& page : result.pages) {
      EXPECT_EQ(page.text, std::to_string(d));
      EXPECT_EQ(page.imageWidth, page.pageNumber);
      numbers.push_back(page.pageNumber);
    }
    EXPECT_EQ(numbers, (d == 1 ? std::vector<std::int64_t>{1, 2, 3, 5}
                               : std::vector<std::int64_t>{1, 2, 3, 5, 6, 7, 9}));
  }
}

// One document of one page.
void handDocumentPages(RecognitionPool& pool, const PageWork& work, DocumentResult& outcome,
                       std::int64_t number) {
  const auto document =
      pool.openDocument(work, [&](DocumentResult result) { outcome = std::move(result); });
  pool.hand(document, number, PixPtr(pixCreate(1, 1, 8)));
  pool.closeDocument(document);
}

TEST(RecognitionPool, AnIdleOrNewWorkerTakesPiecesOfAPageAndItsFailureEndsThatPage) {
  RecognitionPool pool(2);
  std::mutex mutex;
  std::condition_variable helped;
  std::map<std::size_t, const TextRecognizer*> readBy;
  const auto work = [&](TextRecognizer& own, const PieceRunner& runPieces, const Pix*,
                        std::int64_t n) -> std::optional<OCRResult> {
    runPieces(20, [&](TextRecognizer& engine, std::size_t i) {
      std::unique_lock lock(mutex);
      EXPECT_TRUE(readBy.emplace(static_cast<std::size_t>(n) * 100 + i, &engine).second)
          << "read twice: " << i;
      helped.notify_all();
      // The first piece waits for another engine to take one, which must start for it.
      if (i == 0 && n == 1) {
        EXPECT_TRUE(helped.wait_for(lock, std::chrono::minutes(1), [&] {
          return std::any_of(readBy.begin(), readBy.end(),
                             [&](const auto& read) { return read.second != &own; });
        }));
      }
      if (n == 2 && i == 7) throw RecognitionError("piece 7");
    });
    return OCRResult{n, "", 1, {}, 1, 1};
  };
  DocumentResult first;
  DocumentResult second;
  handDocumentPages(pool, work, first, 1);
  handDocumentPages(pool, work, second, 2);
  pool.finish();
  EXPECT_FALSE(first.failure);
  EXPECT_EQ(first.pages.size(), 1u);
  EXPECT_TRUE(second.failure);
  for (std::size_t i = 0; i < 20; ++i) EXPECT_EQ(readBy.count(100 + i), 1u) << i;
}

}  // namespace
}  // namespace quirna
