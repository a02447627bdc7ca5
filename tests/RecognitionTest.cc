#include <cmath>
#include <functional>
#include <map>
#include <numbers>
#include <sstream>

#include <gtest/gtest.h>
#include <leptonica/allheaders.h>

#include "model/Json.h"
#include "recognition/Bitmap.h"
#include "recognition/Language.h"
#include "recognition/ReadingRules.h"
#include "recognition/TextRecognizer.h"
#include "sources/DocumentPages.h"
#include "sources/ImageSource.h"
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
  // Spanish shares "la", "que" and "un" with French: the four models, English first.
  EXPECT_EQ(language({"El paquete se instala con el sistema y puede ser retirado con esta orden, "
                      "pero no en las versiones que son antiguas para la máquina."}),
            "eng+nld+deu+fra");
  // Too few such words, or two languages close together: no plain language.
  EXPECT_EQ(language({"int main(int argc, char** argv) { return run(argv[1]); }"}), "none");
  EXPECT_EQ(language({"The price is the same for you and for this shop.",
                      "Le prix est le même pour vous et pour cette boutique, mais pas ici."}),
            "none");
}

TEST(ReadingRules, CutsAPageIntoBandsAtWhiteRowsByItsInk) {
  // Ten lines of 20 rows of 500 ink each, 20 white rows apart, from row 10: 100,000 in all.
  std::vector<std::int32_t> lines(410, 0);
  for (int k = 0; k < 10; ++k) std::fill_n(lines.begin() + 10 + 40 * k, 20, 500);
  const struct {
    const char* what;
    std::vector<std::int32_t> inkPerRow;
    std::int32_t ink;
    std::vector<Band> bands;
    int width = 1000;
  } cases[] = {
      // Three bands' worth; the top band gets half a share, each cut is the middle of a white run.
      {"lines", lines, 100'000, {{0, 80}, {80, 240}, {240, 410}}},
      {"under two bands' worth", lines, 59'999, {{0, 410}}},
      {"no white row", std::vector<std::int32_t>(300, 300), 90'000, {{0, 300}}},
      // The only white rows are too near the top or bottom for a band.
      {"thin ends",
       [] {
         std::vector<std::int32_t> rows(300, 400);
         rows[20] = rows[290] = 0;
         return rows;
       }(),
       120'000,
       {{0, 300}}},
      // Wide enough that 100 rows are the most a band may hold.
      {"too many pixels, no white row",
       std::vector<std::int32_t>(300, 300),
       0,
       {{0, 100}, {100, 200}, {200, 300}},
       static_cast<int>(maxBandPixels / 100)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(cutIntoBands(c.inkPerRow, c.ink, c.width), c.bands);
  }
}

TEST(ReadingRules, TellsSmallTypeByMedianLineHeightOrPoorWords) {
  // `count` lines `height` px high, each of `words` words read with `confidence`.
  const auto lines = [](int count, int height, int words, float confidence) {
    RecognizedLine line{"", {0, 0, 100, height}, confidence, {}};
    line.words.assign(static_cast<std::size_t>(words), {"w", {}, confidence});
    return std::vector<RecognizedLine>(static_cast<std::size_t>(count), line);
  };
  std::vector<RecognizedLine> mixed = lines(2, 30, 1, 95);
  mixed.push_back(lines(1, 10, 1, 95)[0]);
  std::vector<RecognizedLine> fivePoor = lines(3, 30, 5, 95);
  fivePoor.push_back(lines(1, 30, 5, 79)[0]);
  std::vector<RecognizedLine> fourPoor = fivePoor;
  fourPoor.back().words.pop_back();
  fourPoor.push_back(lines(1, 30, 1, 95)[0]);
  const struct {
    const char* what;
    std::vector<RecognizedLine> lines;
    bool small;
  } cases[] = {
      {"nothing read", {}, false},
      {"lines of 17 px", lines(3, 17, 2, 95), true},
      {"lines of 18 px", lines(3, 18, 2, 95), false},
      {"one small line of three", mixed, false},
      {"a quarter of 20 words poor", fivePoor, true},
      {"a fifth of 20 words poor", fourPoor, false},
      {"19 poor words", lines(1, 30, 19, 50), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(isSmallType(c.lines), c.small);
  }
}

TEST(ReadingRules, FindsTheAreasAReadingLeftOut) {
  // Ten lines of 40 letters (10 x 20 px) on a 1000 x 1000 page, each line read, and `numbers` more
  // letters 30 px apart down a column right of them, outside every line; `also` inks more.
  const auto areas = [](int numbers, const std::function<void(Pix*)>& also = {}) {
    const PixPtr ink(pixCreate(1000, 1000, 1));
    const auto letter = [&](int x, int y, int w, int h) {
      pixRasterop(ink.get(), x, y, w, h, PIX_SET, nullptr, 0, 0);
    };
    std::vector<RecognizedLine> lines;
    for (int row = 0; row < 30; ++row) {
      const int top = 50 + 30 * row;
      if (row < 10) {
        for (int i = 0; i < 40; ++i) letter(50 + 15 * i, top, 10, 20);
        lines.push_back({"line", {50, top - 2, 650, top + 22}, 90, {}});
      }
      if (row < numbers) letter(900, top, 10, 20);
    }
    if (also) also(ink.get());
    return leftOutAreas(ink.get(), lines);
  };
  const std::vector<PixelBox> column = areas(20);
  ASSERT_EQ(column.size(), 1u);
  EXPECT_EQ(std::vector<int>({column[0].left, column[0].top, column[0].right, column[0].bottom}),
            std::vector<int>({900, 50, 910, 640}));
  // A number's first digit within a line's margin is read with the rest of the number.
  const std::vector<PixelBox> numbers = areas(20, [](Pix* page) {
    for (int row = 0; row < 10; ++row) {
      pixRasterop(page, 655, 50 + 30 * row, 10, 20, PIX_SET, nullptr, 0, 0);
      pixRasterop(page, 668, 50 + 30 * row, 10, 20, PIX_SET, nullptr, 0, 0);
    }
  });
  ASSERT_EQ(numbers.size(), 2u);
  EXPECT_EQ(std::min(numbers[0].left, numbers[1].left), 655);
  EXPECT_TRUE(areas(0).empty());
  EXPECT_TRUE(areas(2).empty());   // specks
  EXPECT_EQ(areas(3).size(), 1u);  // the page numbers of three entries
  // `count` marks `w` x `h` at `x`, one a line down the page; or a grid of them, 110 x 100 px
  // apart.
  const auto down = [](int count, int x, int w, int h) {
    return [=](Pix* page) {
      for (int row = 0; row < count; ++row) {
        pixRasterop(page, x, 50 + 30 * row, w, h, PIX_SET, nullptr, 0, 0);
      }
    };
  };
  const auto grid = [](Pix* page) {
    for (int i = 0; i < 32; ++i) {
      pixRasterop(page, 50 + 110 * (i % 8), 400 + 100 * (i / 8), 10, 20, PIX_SET, nullptr, 0, 0);
    }
  };
  const struct {
    const char* what;
    std::function<void(Pix*)> ink;
  } none[] = {
      {"a column of leaders' dots", down(30, 900, 3, 3)},
      {"a rule", down(1, 960, 3, 900)},
      {"letters the engine's box clipped at a line's end", down(10, 652, 8, 20)},
      {"and at its start", down(10, 40, 8, 20)},
      {"noise: more areas than are worth reading alone", grid},
  };
  for (const auto& c : none) {
    SCOPED_TRACE(c.what);
    EXPECT_TRUE(areas(0, c.ink).empty());
  }
}

TEST(Recognition, MendsAnAddressTheEngineSplitOrMisread) {
  EXPECT_EQ(withAddressesJoined("(https: //www.debian.org/) and ftp: //a.b, git: //x"),
            "(https://www.debian.org/) and ftp://a.b, git://x");
  EXPECT_EQ(withAddressesJoined("HTTPS: //x, file: ///etc"), "HTTPS://x, file:///etc");
  EXPECT_EQ(withAddressesJoined("Note: //comment, xhttp: //y, https://z : //, file: // local"),
            "Note: //comment, xhttp: //y, https://z : //, file: // local");
  EXPECT_EQ(withWebHostsMended("(http://wuw.a.org/) uww.b.nl, //wwuw.c \"uuw.d wuw.e"),
            "(http://www.a.org/) www.b.nl, //www.c \"www.d www.e");
  // Not a misread "www": a longer or shorter run, no "w", no host after it, inside a word or path.
  EXPECT_EQ(withWebHostsMended("uw.nl wuwuw.a uuu.b wuw. wuw.- awuw.c /wuw.d https://www.e"),
            "uw.nl wuwuw.a uuu.b wuw. wuw.- awuw.c /wuw.d https://www.e");
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

TEST(Recognition, BandsReadByAnyEngineGiveTheSameLines) {
  const test::TempDir dir;
  test::writeFile(dir / "page.pdf", test::makePDF({test::paragraphsPage()}));
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
  test::writeFile(
      dir / "fr.pdf",
      test::makePDF({test::paragraphsPage(" : le système est installé et la mise à jour "
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

}  // namespace
}  // namespace quirna
