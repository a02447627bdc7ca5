#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <leptonica/allheaders.h>

#include "model/Json.h"
#include "recognition/RecognitionPool.h"
#include "sources/DocumentPages.h"
#include "sources/PDFSource.h"
#include "sources/PageRenderer.h"
#include "tests/TestSupport.h"

namespace quirna {
namespace {

TEST(PDFSource, SameOutputForAnyNumberOfWorkers) {
  // Pages of very different cost, so that results in completion order would show; the last page,
  // read alone as an image is, is shared by the engines that have nothing else to do.
  std::vector<test::PDFPage> pages(6);
  for (int i = 0; i < 48; ++i) {
    pages[0].texts.push_back({40, 750.0 - 15 * i, 11, "Dense line number " + std::to_string(i)});
  }
  pages[2] = {"[0 0 200 60]", {{10, 20, 20, "Tiny"}}};
  pages[3].texts = {{72, 700, 24, "Delivery address"}, {72, 660, 18, "Un été français"}};
  pages[4] = {"[0 0 300 100]", {{10, 40, 20, "Short page"}}};
  pages[5] = test::paragraphsPage();
  const test::TempDir dir;
  test::writeFile(dir / "doc.pdf", test::makePDF(pages));
  const std::string path = (dir / "doc.pdf").string();
  const std::string one = encodeResults(extractTextFromPDF(path, 1));
  EXPECT_NE(one.find("\"pageNumber\":6"), std::string::npos) << one;
  for (const unsigned workers : {2u, 3u}) {
    SCOPED_TRACE(workers);
    EXPECT_EQ(encodeResults(extractTextFromPDF(path, workers)), one);
  }
}

TEST(PDFSource, SmallTypeIsReadFromASecondDrawingOfTheSamePage) {
  // Page 1 in 6.5-pt type (lines 13 px high at 144 DPI), page 2 in 14 pt.
  std::vector<test::PDFPage> pages(2);
  for (int i = 0; i < 24; ++i) {
    pages[0].texts.push_back({60, 700.0 - 20 * i, 6.5,
                              "Line " + std::to_string(i) + " of small print about the system"});
  }
  pages[1].texts = {{72, 700, 14, "Large print reads well as it is"}};
  const test::TempDir dir;
  test::writeFile(dir / "doc.pdf", test::makePDF(pages));
  const std::vector<OCRResult> results = extractTextFromPDF((dir / "doc.pdf").string(), 2);
  ASSERT_EQ(results.size(), 2u);
  const OCRResult& small = results[0];
  EXPECT_EQ(small.imageWidth, 1224);  // the 144-DPI bitmap's size, not the second drawing's
  EXPECT_EQ(small.imageHeight, 1584);
  ASSERT_EQ(small.lines.size(), 24u) << small.text;
  for (int i = 0; i < 24; ++i) {
    const TextLine& line = small.lines[static_cast<std::size_t>(i)];
    EXPECT_EQ(line.text, "Line " + std::to_string(i) + " of small print about the system");
    // From the baseline at 700 - 20i pt, the line's ink rises 4.7 pt and descends 1.4.
    EXPECT_NEAR(line.x, 60.0 / 612, 0.004) << i;
    EXPECT_NEAR(line.y + line.height / 2, (700.0 - 20 * i + 1.6) / 792, 0.003) << i;
    EXPECT_NEAR(line.height, 6.1 / 792, 0.003) << i;
  }
  EXPECT_EQ(results[1].text, "Large print reads well as it is");
}

TEST(PageRenderer, DrawsUnembeddedHelveticaToItsMetricsAndGivesUpWhenTooSlow) {
  // Twenty i at 40 pt in Helvetica's metrics: 19 advances of 222 and the ink of one i (67 to 155),
  // in thousandths of 40 units at 2 px a unit, make 344.5 px of ink. A stand-in without those
  // metrics (DejaVu Sans, scaled to Helvetica's widths) draws 355.
  std::vector<test::PDFText> texts{{10, 40, 40, std::string(20, 'i')}};
  texts.resize(300, test::PDFText{10, 10, 8, "busy"});
  const test::TempDir dir;
  test::writeFile(dir / "page.pdf", test::makePDF({test::PDFPage{"[0 0 300 100]", texts}}));
  const PDFDocPtr document = openDocument((dir / "page.pdf").string());
  ASSERT_TRUE(document);
  EXPECT_FALSE(PageRenderer(*document, std::chrono::milliseconds(0)).renderPage(1));
  const PixPtr page = PageRenderer(*document).renderPage(1);
  ASSERT_TRUE(page);
  const PixPtr binary(pixConvertTo1(page.get(), 128));
  BOX* region = boxCreate(0, 0, 600, 150);  // above the busy texts
  const PixPtr line(pixClipRectangle(binary.get(), region, nullptr));
  boxDestroy(&region);
  BOX* ink = nullptr;
  ASSERT_EQ(pixClipToForeground(line.get(), nullptr, &ink), 0);
  EXPECT_NEAR(ink->w, (19 * 222 + 155 - 67) * 0.08, 2);
  boxDestroy(&ink);
}

TEST(PDFSource, PagesOfTwoDocumentsAreDrawnASecondTimeOnTwoWorkersAtOnce) {
  // Small print throughout: every page is drawn a second time by the worker reading it, while the
  // other worker does so for a page of the other document and this thread draws the next page.
  const test::TempDir dir;
  RecognitionPool pool(2);
  std::vector<DocumentResult> results(2);
  for (int d = 0; d < 2; ++d) {
    std::vector<test::PDFPage> pages(2);
    for (int p = 0; p < 2; ++p) {
      for (int i = 0; i < 6; ++i) {
        pages[static_cast<std::size_t>(p)].texts.push_back({60, 700.0 - 20 * i, 6.5,
                                                            "Document " + std::to_string(d) +
                                                                " page " + std::to_string(p + 1) +
                                                                " in small print"});
      }
    }
    const std::string path = (dir / (std::to_string(d) + ".pdf")).string();
    test::writeFile(path, test::makePDF(pages));
    handDocument(pool, *openPDFPages(path), [&results, d](DocumentResult result) {
      results[static_cast<std::size_t>(d)] = std::move(result);
    });
  }
  pool.finish();
  for (int d = 0; d < 2; ++d) {
    SCOPED_TRACE(d);
    const DocumentResult& result = results[static_cast<std::size_t>(d)];
    EXPECT_FALSE(result.failure);
    ASSERT_EQ(result.pages.size(), 2u);
    for (const OCRResult& page : result.pages) {
      EXPECT_EQ(page.imageWidth, 1224);
      ASSERT_EQ(page.lines.size(), 6u) << page.text;
      for (const TextLine& line : page.lines) {
        EXPECT_EQ(line.text, "Document " + std::to_string(d) + " page " +
                                 std::to_string(page.pageNumber) + " in small print");
      }
    }
  }
}

}  // namespace
}  // namespace quirna
