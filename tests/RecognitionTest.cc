#include <cmath>
#include <map>
#include <numbers>
#include <sstream>

#include <gtest/gtest.h>
#include <leptonica/allheaders.h>

#include "model/Json.h"
#include "recognition/Bitmap.h"
#include "recognition/Language.h"
#include "recognition/TextRecognizer.h"
#include "sources/DocumentPages.h"
#include "sources/ImageSource.h"
#include "sources/PDFSource.h"
#include "sources/PageRenderer.h"
#include "tests/TestSupport.h"

namespace quirna {
namespace {

std::string allText(const std::vector<Observation>& observations) {
  std::string text;
  for (const Observation& observation : observations) text += observation.text + "\n";
  return text;
}

TEST(Recognition, TellsAPlainLanguageByItsCommonestWords) {
  const auto language = [](std::initializer_list<std::string_view> texts) {
    std::vector<RecognizedLine> lines(1);
    for (const std::string_view text : texts) {
      std::istringstream words{std::string(text)};
      for (std::string word; words >> word;) lines[0].words.push_back({word, {}, 90});
    }
    return plainLanguage(lines).value_or("none");
  };
  EXPECT_EQ(language({"The package is installed by the system, and it can be removed with this "
                      "command; that is the way for you to do it."}),
            "eng");
  EXPECT_EQ(language({"Das Paket wird mit dem System installiert und kann nicht von Hand auf den "
                      "Rechner gebracht werden, auch wenn es sich lohnt."}),
            "deu");
  EXPECT_EQ(language({"Le paquet est installé par le système et peut être retiré avec cette "
                      "commande, mais pas dans les versions qui sont anciennes."}),
            "fra");
  EXPECT_EQ(language({"Het pakket wordt door het systeem geïnstalleerd en kan met deze opdracht "
                      "worden verwijderd, maar niet voor een oude versie van dat systeem."}),
            "nld");
  // Too few such words, or two languages close together: no plain language.
  EXPECT_EQ(language({"int main(int argc, char** argv) { return run(argv[1]); }"}), "none");
  EXPECT_EQ(language({"The price is the same for you and for this shop.",
                      "Le prix est le même pour vous et pour cette boutique, mais pas ici."}),
            "none");
}

TEST(Recognition, JoinsAnAddressSplitAfterItsScheme) {
  EXPECT_EQ(withAddressesJoined("(https: //www.debian.org/) and ftp: //a.b, git: //x"),
            "(https://www.debian.org/) and ftp://a.b, git://x");
  EXPECT_EQ(withAddressesJoined("HTTPS: //x, file: ///etc"), "HTTPS://x, file:///etc");
  EXPECT_EQ(withAddressesJoined("Note: //comment, xhttp: //y, https://z : //, file: // local"),
            "Note: //comment, xhttp: //y, https://z : //, file: // local");
}

TEST(Recognition, BoxesOfATurnedPageLieOnItsText) {
  // The page turned by a few degrees, as a photo would be: the engine reads a straightened copy,
  // and each line's box must come back as the hull of that line on the turned bitmap.
  TextRecognizer engine;
  const PixPtr page(pixRead(test::dataFile("page.png").c_str()));  // three lines, 1224 x 792
  const std::vector<Observation> upright = engine.recognizeText(page.get()).observations;
  const double w = pixGetWidth(page.get());
  const double h = pixGetHeight(page.get());
  const double cx = std::floor(w / 2);  // Leptonica turns about the integer centre
  const double cy = std::floor(h / 2);
  for (const double degrees : {4.0, -3.0}) {
    SCOPED_TRACE(degrees);
    const double a = degrees * std::numbers::pi / 180;
    const PixPtr turned(
        pixRotate(page.get(), static_cast<float>(a), L_ROTATE_AREA_MAP, L_BRING_IN_WHITE, 0, 0));
    const std::vector<Observation> lines = engine.recognizeText(turned.get()).observations;
    ASSERT_EQ(allText(lines), allText(upright));  // the same lines, so the same count
    for (std::size_t i = 0; i < upright.size(); ++i) {
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
  TextRecognizer engine;
  for (const auto& [width, height] : {std::pair{32768, 8}, {8, 32768}, {16384, 8193}}) {
    SCOPED_TRACE(testing::Message() << width << " x " << height);
    const PixPtr bitmap(pixCreate(width, height, 1));
    pixRasterop(bitmap.get(), 0, 0, width / 2, height / 2, PIX_SET, nullptr, 0, 0);  // some ink
    EXPECT_TRUE(engine.recognizeText(bitmap.get()).observations.empty());
  }
}

// Four paragraphs of twelve long lines: a page the recognizer reads in bands.
test::PDFPage paragraphsPage(
    const std::string& words = " of plain words, and the engine reads them one band at a time.") {
  test::PDFPage page;
  for (int i = 0; i < 48; ++i) {
    page.texts.push_back(
        {40, 760.0 - 14 * i - 14 * (i / 12), 11,
         "Paragraph " + std::to_string(i / 12) + " has line " + std::to_string(i) + words});
  }
  return page;
}

TEST(Recognition, BandsReadByAnyEngineGiveTheSameLines) {
  const test::TempDir dir;
  test::writeFile(dir / "page.pdf", test::makePDF({paragraphsPage()}));
  const PDFDocPtr document = openDocument((dir / "page.pdf").string());
  ASSERT_TRUE(document);
  const PixPtr page = PageRenderer(*document).renderPage(1);
  TextRecognizer engine;
  TextRecognizer other;
  std::size_t pieces = 0;
  const PieceRunner alternate = [&](std::size_t count, const RecognitionPiece& piece) {
    pieces = count;
    for (std::size_t i = count; i-- > 0;) piece(i % 2 ? other : engine, i);  // any order
  };
  const std::vector<Observation> alone = engine.recognizeText(page.get()).observations;
  const std::vector<Observation> shared = other.recognizeText(page.get(), alternate).observations;
  EXPECT_GE(pieces, 2u);
  ASSERT_EQ(allText(shared), allText(alone));
  for (const char* line : {"Paragraph 0 has line 0 of", "Paragraph 3 has line 47 of"}) {
    EXPECT_NE(allText(alone).find(line), std::string::npos) << line;
  }
  for (std::size_t i = 0; i < alone.size(); ++i) {
    EXPECT_EQ(shared[i].y, alone[i].y);
    if (i > 0) {
      EXPECT_GT(shared[i - 1].y, shared[i].y) << "not in the page's order: " << i;
    }
  }

  // The top band, first read with the English model, is read again with the page's own.
  test::writeFile(dir / "fr.pdf",
                  test::makePDF({paragraphsPage(" : le système est installé et la mise à jour "
                                                "de cette page se fait par bandes.")}));
  const PDFDocPtr french = openDocument((dir / "fr.pdf").string());
  ASSERT_TRUE(french);
  const std::vector<Observation> lines =
      engine.recognizeText(PageRenderer(*french).renderPage(1).get()).observations;
  const std::string text = allText(lines);
  std::size_t accented = 0;
  for (std::size_t at = 0; (at = text.find("système est installé", at)) != std::string::npos;
       ++at) {
    ++accented;
  }
  EXPECT_EQ(accented, 48u) << text;

  // As an image on the tool's own pool: the helper engine it starts changes nothing.
  ASSERT_EQ(pixWrite((dir / "page.png").c_str(), page.get(), IFF_PNG), 0);
  const auto read = [&](unsigned workers) {
    return encodeResults(recognizeDocument(*openImagePages((dir / "page.png").string()), workers));
  };
  EXPECT_EQ(read(2), read(1));
}

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
  pages[5] = paragraphsPage();
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

TEST(PDFSource, SmallTypeIsReadFromAFinerDrawingOfTheSamePage) {
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
  EXPECT_EQ(small.imageWidth, 1224);  // the 144-DPI bitmap's size, not the finer one's
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

}  // namespace
}  // namespace quirna
