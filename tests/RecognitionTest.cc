#include <cmath>
#include <numbers>

#include <gtest/gtest.h>
#include <leptonica/allheaders.h>

#include "model/Error.h"
#include "model/Json.h"
#include "recognition/Bitmap.h"
#include "recognition/TextRecognizer.h"
#include "sources/PDFSource.h"
#include "sources/PageRenderer.h"
#include "tests/TestSupport.h"

namespace quirna {
namespace {

// Loading the four models takes a while; tests that only read share one engine.
TextRecognizer& sharedEngine() {
  static TextRecognizer engine;
  return engine;
}

// page.png: three lines on a 1224 x 792 page, the first "Quarterly report on river levels".
PixPtr readPage() { return PixPtr(pixRead(test::dataFile("page.png").c_str())); }

std::string allText(const std::vector<Observation>& observations) {
  std::string text;
  for (const Observation& observation : observations) text += observation.text + "\n";
  return text;
}

TEST(Recognition, ReadsEveryBitmapFormWithBoxesFromTheLowerLeft) {
  const PixPtr page = readPage();
  const PixPtr grey(pixConvertRGBToLuminance(page.get()));
  std::vector<std::pair<const char*, PixPtr>> cases;
  cases.emplace_back("32 bpp", PixPtr(pixCopy(nullptr, page.get())));
  cases.emplace_back("1 bpp", PixPtr(pixThresholdToBinary(grey.get(), 128)));
  cases.emplace_back("8 bpp colour map", PixPtr(pixConvertGrayToColormap(grey.get())));
  cases.emplace_back("16 bpp", PixPtr(pixConvert8To16(grey.get(), 8)));
  for (const auto& [name, bitmap] : cases) {
    SCOPED_TRACE(name);
    const PixPtr before(pixCopy(nullptr, bitmap.get()));
    const std::vector<Observation> lines = sharedEngine().recognizeText(bitmap.get());
    ASSERT_EQ(lines.size(), 3u) << allText(lines);
    EXPECT_NE(lines[0].text.find("Quarterly"), std::string::npos) << allText(lines);
    // The top line's box: 122 px from the left, its bottom 161 px below the top edge.
    EXPECT_NEAR(lines[0].x, 122.0 / 1224, 0.005);
    EXPECT_NEAR(lines[0].y, 1 - 161.0 / 792, 0.005);
    EXPECT_GT(lines[1].y, lines[2].y);
    // The bitmap is borrowed: the caller's pixels and channels are left as they were.
    l_int32 same = 0;
    pixEqual(bitmap.get(), before.get(), &same);
    EXPECT_TRUE(same);
    EXPECT_EQ(pixGetSpp(bitmap.get()), pixGetSpp(before.get()));
  }
}

TEST(Recognition, BoxesOfATurnedPageLieOnItsText) {
  // The page turned by a few degrees, as a photo would be: the engine reads a straightened copy,
  // and each line's box must come back as the hull of that line on the turned bitmap.
  const PixPtr page = readPage();
  const std::vector<Observation> upright = sharedEngine().recognizeText(page.get());
  ASSERT_EQ(upright.size(), 3u) << allText(upright);
  const double w = pixGetWidth(page.get());
  const double h = pixGetHeight(page.get());
  const double cx = std::floor(w / 2);  // Leptonica turns about the integer centre
  const double cy = std::floor(h / 2);
  for (const double degrees : {4.0, -3.0}) {
    SCOPED_TRACE(degrees);
    const double a = degrees * std::numbers::pi / 180;
    const PixPtr turned(
        pixRotate(page.get(), static_cast<float>(a), L_ROTATE_AREA_MAP, L_BRING_IN_WHITE, 0, 0));
    const std::vector<Observation> lines = sharedEngine().recognizeText(turned.get());
    ASSERT_EQ(allText(lines), allText(upright));
    for (std::size_t i = 0; i < 3; ++i) {
      // The centre of each line's box turns with the page (pixels from the top-left).
      const double x = (upright[i].x + upright[i].width / 2) * w - cx;
      const double y = (1 - upright[i].y - upright[i].height / 2) * h - cy;
      EXPECT_NEAR(lines[i].x + lines[i].width / 2, (cx + x * std::cos(a) - y * std::sin(a)) / w,
                  0.006);
      EXPECT_NEAR(lines[i].y + lines[i].height / 2,
                  1 - (cy + x * std::sin(a) + y * std::cos(a)) / h, 0.006);
    }
  }
}

TEST(Recognition, DeclinesBitmapsOverTheCap) {
  static_assert(withinBitmapCap(32767, 4096) && !withinBitmapCap(32768, 1));
  static_assert(withinBitmapCap(16384, 8192) && !withinBitmapCap(16384, 8193));
  for (const auto& [width, height] : {std::pair{32768, 8}, {8, 32768}, {16384, 8193}}) {
    SCOPED_TRACE(testing::Message() << width << " x " << height);
    const PixPtr bitmap(pixCreate(width, height, 1));
    pixRasterop(bitmap.get(), 0, 0, width / 2, height / 2, PIX_SET, nullptr, 0, 0);  // some ink
    EXPECT_TRUE(sharedEngine().recognizeText(bitmap.get()).empty());
  }
}

TEST(Recognition, MissingLanguageDataNamesEveryMissingModel) {
  // The engine starts with whichever languages it could load, so one good model must not hide
  // the others.
  const test::TempDir englishOnly;
  std::filesystem::copy_file("/usr/share/tesseract-ocr/5/tessdata/eng.traineddata",
                             englishOnly / "eng.traineddata");
  try {
    TextRecognizer engine(englishOnly.path().string());
    FAIL() << "no error";
  } catch (const EngineError& error) {
    EXPECT_EQ(std::string(error.what()),
              "Could not load the language data fra.traineddata, deu.traineddata, "
              "nld.traineddata from " +
                  englishOnly.path().string() + "/");
  }
}

TEST(PDFSource, SameOutputForAnyNumberOfWorkers) {
  // Pages of very different cost, so that results in completion order would show.
  std::vector<test::PDFPage> pages(5);
  for (int i = 0; i < 48; ++i) {
    pages[0].texts.push_back({40, 750.0 - 15 * i, 11, "Dense line number " + std::to_string(i)});
  }
  pages[2] = {"[0 0 200 60]", {{10, 20, 20, "Tiny"}}};
  pages[3].texts = {{72, 700, 24, "Delivery address"}, {72, 660, 18, "Un été français"}};
  pages[4] = {"[0 0 300 100]", {{10, 40, 20, "Short page"}}};
  const test::TempDir dir;
  test::writeFile(dir / "doc.pdf", test::makePDF(pages));
  const std::string path = (dir / "doc.pdf").string();
  const std::string one = encodeResults(extractTextFromPDF(path, 1));
  EXPECT_NE(one.find("\"pageNumber\":5"), std::string::npos) << one;
  for (const unsigned workers : {2u, 3u}) {
    SCOPED_TRACE(workers);
    EXPECT_EQ(encodeResults(extractTextFromPDF(path, workers)), one);
  }
}

TEST(PageRenderer, DeclinesAPageThatDrawsPastItsTimeLimit) {
  const test::TempDir dir;
  const std::vector<test::PDFText> texts(200, test::PDFText{10, 10, 8, "busy"});
  test::writeFile(dir / "page.pdf", test::makePDF({test::PDFPage{"[0 0 100 100]", texts}}));
  const PDFDocPtr document = openDocument((dir / "page.pdf").string());
  ASSERT_TRUE(document);
  EXPECT_FALSE(PageRenderer(*document, std::chrono::milliseconds(0)).renderPage(1));
  EXPECT_TRUE(PageRenderer(*document).renderPage(1));
}

}  // namespace
}  // namespace quirna
