#include <algorithm>

#include <gtest/gtest.h>
#include <leptonica/allheaders.h>

#include "model/Json.h"
#include "sources/PDFSource.h"
#include "sources/PageRasteriser.h"
#include "tests/TestSupport.h"

namespace quirna {
namespace {

using test::PDFPage;
using test::PDFText;

bool contains(const std::string& text, const std::string& word) {
  return text.find(word) != std::string::npos;
}

// Runs the tool on a document made of `pages`; the output must be one clean line.
test::ToolRun runOnPDF(const std::vector<PDFPage>& pages, const std::string& name = "doc.pdf") {
  test::TempDir dir;
  test::writeFile(dir / name, test::makePDF(pages));
  test::ToolRun run = test::runTool({(dir / name).string()});
  test::expectOneLine(run);
  return run;
}

PDFPage letterWith(std::vector<PDFText> texts, std::string extra = "") {
  return PDFPage{"[0 0 612 792]", std::move(texts), std::move(extra)};
}

// Renders page 1 of a one-page document made from `page`.
PixPtr renderOnly(const PDFPage& page) {
  test::TempDir dir;
  test::writeFile(dir / "page.pdf", test::makePDF({page}));
  const PDFDocPtr document = openDocument((dir / "page.pdf").string());
  if (!document) throw std::runtime_error("generated PDF did not open");
  PageRasteriser rasteriser(*document);
  return rasteriser.cgImageRepresentation(1);
}

TEST(PageRasteriser, SizesTheBitmapFromTheMediaBoxTruncated) {
  struct Case {
    const char* what;
    PDFPage page;
    int width;
    int height;
  };
  const Case cases[] = {
      {"US Letter", {"[0 0 612 792]"}, 1224, 1584},
      {"A4", {"[0 0 595.276 841.89]"}, 1190, 1683},
      {"reversed corners", {"[612 792 0 0]"}, 1224, 1584},
      {"origin away from zero", {"[100 -50 712 742]"}, 1224, 1584},
      {"crop box smaller than media box",
       {"[0 0 612 792]", {}, "/CropBox [0 0 300 300]"},
       1224,
       1584},
      {"turned a quarter", {"[0 0 612 792]", {}, "/Rotate 90"}, 1584, 1224},
      {"turned three quarters", {"[0 0 595.276 841.89]", {}, "/Rotate 270"}, 1683, 1190},
      {"turned a half", {"[0 0 612 792]", {}, "/Rotate 180"}, 1224, 1584},
      {"one unit", {"[0 0 1 1]"}, 2, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const PixPtr pix = renderOnly(c.page);
    ASSERT_TRUE(pix);
    EXPECT_EQ(pixGetWidth(pix.get()), c.width);
    EXPECT_EQ(pixGetHeight(pix.get()), c.height);
    EXPECT_EQ(pixGetDepth(pix.get()), 32);
  }
}

TEST(PageRasteriser, DeclinesPagesWithoutAReasonableSize) {
  const char* boxes[] = {
      "[0 0 0.4 792]",                  // under one pixel wide
      "[0 0 612 0.2]",                  // under one pixel high
      "[0 0 20000 100]",                // a side over the engine's limit
      "[0 0 14400 14400]",              // over the pixel cap
      "[0 0 100000000000000000000 1]",  // absurd
  };
  for (const char* box : boxes) {
    SCOPED_TRACE(box);
    EXPECT_FALSE(renderOnly(PDFPage{box}));
  }
}

TEST(PageRasteriser, PaintsAnEmptyPageOpaqueWhite) {
  const PixPtr pix = renderOnly(PDFPage{"[0 0 100 50]"});
  ASSERT_TRUE(pix);
  l_uint32 count = 0;
  PixPtr grey(pixConvertRGBToLuminance(pix.get()));
  PixPtr dark(pixThresholdToBinary(grey.get(), 255));
  pixCountPixels(dark.get(), reinterpret_cast<l_int32*>(&count), nullptr);
  EXPECT_EQ(count, 0u);
}

TEST(PageRasteriser, DrawsTheTopOfThePageAtTheTop) {
  const PixPtr pix = renderOnly(PDFPage{"[0 0 200 200]", {{10, 170, 20, "HIGH"}}});
  ASSERT_TRUE(pix);
  PixPtr grey(pixConvertRGBToLuminance(pix.get()));
  PixPtr dark(pixThresholdToBinary(grey.get(), 128));
  BOX* box = nullptr;
  ASSERT_EQ(pixClipToForeground(dark.get(), nullptr, &box), 0);
  l_int32 x = 0, y = 0, w = 0, h = 0;
  boxGetGeometry(box, &x, &y, &w, &h);
  boxDestroy(&box);
  // Capitals standing on a baseline 30 units below the top edge: ink from about 16 to 30 units
  // down, twice that in pixels. Drawn upside down it would sit near the bottom.
  EXPECT_GT(y, 20);
  EXPECT_LT(y + h, 70);
  EXPECT_GT(x, 15);
}

TEST(PageRasteriser, DeclinesAPageThatDrawsPastItsTimeLimit) {
  std::vector<PDFText> texts;
  for (int i = 0; i < 2000; ++i) texts.push_back({10, 10 + i % 700 * 1.0, 8, "busy"});
  test::TempDir dir;
  test::writeFile(dir / "busy.pdf", test::makePDF({PDFPage{"[0 0 612 792]", texts}}));
  const PDFDocPtr document = openDocument((dir / "busy.pdf").string());
  ASSERT_TRUE(document);
  EXPECT_FALSE(PageRasteriser(*document, std::chrono::milliseconds(0)).cgImageRepresentation(1));
  EXPECT_TRUE(PageRasteriser(*document).cgImageRepresentation(1));
}

TEST(PageRasteriser, RefusesWhatIsNotAPDF) {
  test::TempDir dir;
  test::writeFile(dir / "report.pdf", "Dear reader,\nthis is text.\n");
  EXPECT_FALSE(openDocument((dir / "report.pdf").string()));
  EXPECT_FALSE(openDocument((dir / "missing.pdf").string()));
}

TEST(PDFSource, RecordsEveryPageWithTextAtItsDrawnSize) {
  const test::ToolRun run = runOnPDF({
      letterWith({{72, 700, 24, "Invoice number 4711"}, {72, 660, 18, "Größe der Straße"}}),
      letterWith({}),
      PDFPage{"[0 0 595.276 841.89]",
              {{72, 760, 24, "Delivery address"}, {72, 720, 18, "Un été français"}}},
      // Drawn turned so that the page reads upright once its /Rotate is applied.
      letterWith({{100, 72, 24, "Landscape summary table", 1}}, "/Rotate 90"),
      letterWith({{72, 700, 24, "Cropped yet whole"}}, "/CropBox [0 0 300 300]"),
  });
  ASSERT_EQ(run.status, 0) << run.out;
  const std::vector<OCRResult> pages = decodeResults(run.out);
  ASSERT_EQ(pages.size(), 4u) << run.out;
  struct Expected {
    std::int64_t pageNumber;
    std::int64_t width;
    std::int64_t height;
    const char* word;
  };
  const Expected expected[] = {{1, 1224, 1584, "Invoice"},
                               {3, 1190, 1683, "Delivery"},
                               {4, 1584, 1224, "Landscape"},
                               {5, 1224, 1584, "Cropped"}};
  for (std::size_t i = 0; i < pages.size(); ++i) {
    SCOPED_TRACE(expected[i].word);
    EXPECT_EQ(pages[i].pageNumber, expected[i].pageNumber);
    EXPECT_EQ(pages[i].imageWidth, expected[i].width);
    EXPECT_EQ(pages[i].imageHeight, expected[i].height);
    EXPECT_TRUE(contains(pages[i].text, expected[i].word)) << pages[i].text;
    EXPECT_GT(pages[i].confidence, 0.0);
    EXPECT_LE(pages[i].confidence, 1.0);
  }
  // Accented letters travel as raw UTF-8, not as escapes.
  EXPECT_TRUE(contains(run.out, "Straße")) << run.out;
  EXPECT_TRUE(contains(run.out, "été")) << run.out;
}

TEST(PDFSource, DocumentsWithoutTextGiveAnEmptyList) {
  const std::vector<std::vector<PDFPage>> documents = {{}, {letterWith({}), letterWith({})}};
  for (const auto& pages : documents) {
    SCOPED_TRACE(pages.size());
    const test::ToolRun run = runOnPDF(pages);
    EXPECT_EQ(run.out, "[]\n");
    EXPECT_EQ(run.status, 0);
  }
}

TEST(PDFSource, OpensOwnerLockedDocumentsButNotUserLockedOnes) {
  const test::ToolRun owner = test::runTool({test::dataFile("owner-password.pdf").string()});
  test::expectOneLine(owner);
  ASSERT_EQ(owner.status, 0);
  const std::vector<OCRResult> pages = decodeResults(owner.out);
  ASSERT_EQ(pages.size(), 1u);
  EXPECT_TRUE(contains(pages[0].text, "ledger")) << pages[0].text;

  const test::ToolRun user = test::runTool({test::dataFile("user-password.pdf").string()});
  test::expectOneLine(user);
  EXPECT_EQ(user.out, "{\"error\":\"Could not load PDF\"}\n");
  EXPECT_EQ(user.status, 1);
}

TEST(PDFSource, SameOutputForAnyNumberOfWorkers) {
  std::vector<PDFPage> pages;
  const char* words[] = {"Alpha", "Bravo", "Charlie", "Delta"};
  for (const char* word : words) {
    pages.push_back(
        letterWith({{72, 700, 28, std::string(word) + " section heading"},
                    {72, 640, 14, std::string("Notes about ") + word + " follow here."}}));
    if (pages.size() == 2) pages.push_back(letterWith({}));  // a left-out page among them
  }
  test::TempDir dir;
  test::writeFile(dir / "doc.pdf", test::makePDF(pages));
  const std::string path = (dir / "doc.pdf").string();
  const std::string one = encodeResults(extractTextFromPDF(path, 1));
  EXPECT_EQ(decodeResults(one).size(), 4u);
  for (const unsigned workers : {2u, 5u}) {
    SCOPED_TRACE(workers);
    EXPECT_EQ(encodeResults(extractTextFromPDF(path, workers)), one);
  }
}

TEST(PDFSource, MissingLanguageModelsEndTheRunWithAnError) {
  // The engine finds its models through this variable; an empty folder has none.
  test::TempDir empty;
  test::TempDir dir;
  test::writeFile(dir / "doc.pdf", test::makePDF({letterWith({{72, 700, 24, "Some text"}})}));
  const test::ToolRun run =
      test::runTool({(dir / "doc.pdf").string()}, {"TESSDATA_PREFIX=" + empty.path().string()});
  test::expectOneLine(run);
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(contains(run.out, "{\"error\":")) << run.out;
  EXPECT_TRUE(contains(run.out, "eng")) << run.out;
}

}  // namespace
}  // namespace quirna
