#include <omp.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <leptonica/allheaders.h>
#include <tesseract/publictypes.h>

#include "model/Error.h"
#include "recognition/Bitmap.h"
#include "recognition/ReadingOrder.h"
#include "recognition/TextRecognizer.h"
#include "sources/PageRasteriser.h"
#include "tests/TestSupport.h"

namespace quirna {
namespace {

using test::PDFText;

// Loading the four models takes a while; tests that only read share one engine.
TextRecognizer& sharedEngine() {
  static TextRecognizer engine;
  return engine;
}

PixPtr readFixture() {
  PixPtr page(pixRead(test::dataFile("page.png").c_str()));
  if (!page) throw std::runtime_error("could not read page.png");
  return page;
}

// A 612 x 396 pt page drawn as the PDF source draws it: 1224 x 792 pixels at 144 DPI.
PixPtr renderPage(const std::vector<PDFText>& texts) {
  const test::TempDir dir;
  test::writeFile(dir / "page.pdf", test::makePDF({test::PDFPage{"[0 0 612 396]", texts, ""}}));
  const PDFDocPtr document = openDocument((dir / "page.pdf").string());
  if (!document) throw std::runtime_error("could not open the generated PDF");
  PageRasteriser rasteriser(*document);
  PixPtr page = rasteriser.cgImageRepresentation(1);
  if (!page) throw std::runtime_error("could not draw the generated PDF");
  return page;
}

const std::vector<PDFText>& accentedLines() {
  static const std::vector<PDFText> lines{
      {72, 330, 16, "Die Straße hat eine Größe von zwölf Metern."},
      {72, 290, 16, "Cet été, nous étions à la fenêtre très tôt."},
      {72, 250, 16, "De coöperatie had één vergadering per jaar."},
  };
  return lines;
}

std::string allText(const std::vector<Observation>& observations) {
  std::string text;
  for (const Observation& observation : observations) text += *observation.topCandidate + "\n";
  return text;
}

void expectSame(const std::vector<Observation>& actual, const std::vector<Observation>& expected) {
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t i = 0; i < actual.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(actual[i].topCandidate, expected[i].topCandidate);
    EXPECT_EQ(actual[i].x, expected[i].x);
    EXPECT_EQ(actual[i].y, expected[i].y);
    EXPECT_EQ(actual[i].width, expected[i].width);
    EXPECT_EQ(actual[i].height, expected[i].height);
    EXPECT_EQ(actual[i].confidence, expected[i].confidence);
  }
}

void expectWellFormed(const std::vector<Observation>& observations) {
  for (const Observation& observation : observations) {
    SCOPED_TRACE(observation.topCandidate.value_or("(none)"));
    ASSERT_TRUE(observation.topCandidate.has_value());
    EXPECT_EQ(observation.topCandidate->find('\n'), std::string::npos);
    EXPECT_GE(observation.x, 0.0);
    EXPECT_GE(observation.y, 0.0);
    EXPECT_GT(observation.width, 0.0);
    EXPECT_GT(observation.height, 0.0);
    EXPECT_LE(observation.x + observation.width, 1.0);
    EXPECT_LE(observation.y + observation.height, 1.0);
    EXPECT_GT(observation.confidence, 0.0f);
    EXPECT_LE(observation.confidence, 1.0f);
  }
}

TEST(TextRecognizer, SettingsMapOntoTesseract) {
  const RecognitionSettings& settings = recognitionSettings();
  EXPECT_EQ(settings.recognitionLevel, RecognitionLevel::accurate);
  EXPECT_TRUE(settings.automaticallyDetectsLanguage);
  EXPECT_EQ(settings.recognitionLanguages,
            (std::vector<std::string>{"en-US", "nl-NL", "de-DE", "fr-FR"}));
  EXPECT_TRUE(settings.usesLanguageCorrection);

  const TesseractConfig config = tesseractConfigFor(settings);
  EXPECT_EQ(config.languages, "fra+deu+nld+eng");
  EXPECT_EQ(config.engineMode, tesseract::OEM_LSTM_ONLY);
  EXPECT_TRUE(config.dictionaries);
  EXPECT_EQ(config.pageSegMode, tesseract::PSM_AUTO);
  EXPECT_EQ(config.thresholdingMethod, 2);

  // English is tried last whatever the order of the tags.
  const RecognitionSettings other{RecognitionLevel::accurate, true, {"en-US", "de-DE"}, false};
  EXPECT_EQ(tesseractConfigFor(other).languages, "deu+eng");
  EXPECT_FALSE(tesseractConfigFor(other).dictionaries);
}

TEST(Recognition, ReadsEnglishPageTopDown) {
  const PixPtr page = readFixture();
  const std::vector<Observation> observations = sharedEngine().recognizeText(page.get(), 144);

  ASSERT_EQ(observations.size(), 3u) << allText(observations);
  expectWellFormed(observations);
  const std::string text = allText(observations);
  for (const char* word : {"Quarterly", "river", "twelve", "centimetres", "Measurements", "six"}) {
    EXPECT_NE(text.find(word), std::string::npos) << word << " not in\n" << text;
  }
  // Origin at the lower left: the engine's order is top-down, so y falls.
  EXPECT_GT(observations[0].y, observations[1].y);
  EXPECT_GT(observations[1].y, observations[2].y);
}

TEST(Recognition, BoxesAreNormalisedFromLowerLeft) {
  // Each baseline is a known fraction of the page, and no glyph here descends below it much.
  const PixPtr page = renderPage(accentedLines());
  const std::vector<Observation> observations = sharedEngine().recognizeText(page.get(), 144);
  ASSERT_EQ(observations.size(), 3u) << allText(observations);
  for (std::size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    const PDFText& source = accentedLines()[i];
    EXPECT_NEAR(observations[i].x, source.x / 612, 0.01);
    EXPECT_NEAR(observations[i].y, source.y / 396, 0.015);
    // Cap height plus descender, about 0.9 of the font size.
    EXPECT_NEAR(observations[i].height, source.size * 0.9 / 396, 0.015);
  }
}

TEST(Recognition, KeepsAccentsOfGermanFrenchAndDutch) {
  const PixPtr page = renderPage(accentedLines());
  const std::vector<Observation> observations = sharedEngine().recognizeText(page.get(), 144);
  expectWellFormed(observations);
  const std::string text = allText(observations);
  for (const char* word :
       {"Straße", "Größe", "zwölf", "été", "étions", "fenêtre", "très", "coöperatie", "één"}) {
    EXPECT_NE(text.find(word), std::string::npos) << word << " not in\n" << text;
  }
}

TEST(Recognition, BoxesOfATurnedPageLieOnItsText) {
  // The page turned by a few degrees, as a photo would be: the engine reads a straightened copy,
  // and each line's box must come back as the hull of that line on the turned bitmap.
  const PixPtr page = readFixture();
  const std::vector<Observation> upright = sharedEngine().recognizeText(page.get(), 0);
  ASSERT_EQ(upright.size(), 3u) << allText(upright);
  const double w = pixGetWidth(page.get());
  const double h = pixGetHeight(page.get());
  for (const double degrees : {4.0, -3.0}) {
    SCOPED_TRACE(degrees);
    const double a = degrees * 3.14159265358979 / 180;
    const PixPtr turned(
        pixRotate(page.get(), static_cast<float>(a), L_ROTATE_AREA_MAP, L_BRING_IN_WHITE, 0, 0));
    const std::vector<Observation> lines = sharedEngine().recognizeText(turned.get(), 0);
    ASSERT_EQ(lines.size(), 3u) << allText(lines);
    EXPECT_EQ(allText(lines), allText(upright));
    for (std::size_t i = 0; i < 3; ++i) {
      SCOPED_TRACE(i);
      // Where the upright box's corners land on the turned bitmap (pixels, top-left origin).
      const Observation& box = upright[i];
      double minX = w, minY = h, maxX = 0, maxY = 0;
      for (const double x : {box.x * w, (box.x + box.width) * w}) {
        for (const double y : {h - (box.y + box.height) * h, h - box.y * h}) {
          const double dx = x - static_cast<int>(w / 2);
          const double dy = y - static_cast<int>(h / 2);
          const double tx = static_cast<int>(w / 2) + dx * std::cos(a) - dy * std::sin(a);
          const double ty = static_cast<int>(h / 2) + dx * std::sin(a) + dy * std::cos(a);
          minX = std::min(minX, tx), maxX = std::max(maxX, tx);
          minY = std::min(minY, ty), maxY = std::max(maxY, ty);
        }
      }
      EXPECT_NEAR(lines[i].x, minX / w, 0.008);
      EXPECT_NEAR(lines[i].x + lines[i].width, maxX / w, 0.008);
      EXPECT_NEAR(lines[i].y, 1 - maxY / h, 0.012);
      EXPECT_NEAR(lines[i].y + lines[i].height, 1 - minY / h, 0.012);
    }
  }
}

TEST(Recognition, SeparatesColumnsOfATwoColumnPage) {
  const std::vector<std::string> left{"The harbour opened early", "and the boats left before",
                                      "the tide turned at noon.", "Fishermen counted crates",
                                      "of herring on the quay",   "while gulls circled above"};
  const std::vector<std::string> right{"Inland the farms waited", "for rain that never came",
                                       "during the long summer.", "Wells were running low",
                                       "and cattle were moved",   "to the river meadows"};
  std::vector<PDFText> texts;
  for (std::size_t i = 0; i < left.size(); ++i) {
    texts.push_back({54, 340.0 - 20.0 * static_cast<double>(i), 12, left[i]});
    texts.push_back({330, 340.0 - 20.0 * static_cast<double>(i), 12, right[i]});
  }
  const PixPtr page = renderPage(texts);
  const std::vector<Observation> observations = sharedEngine().recognizeText(page.get(), 144);
  expectWellFormed(observations);

  const PageText ordered = reorderByColumns(observations);
  for (const TextLine& line : ordered.lines) {
    EXPECT_FALSE(line.text.find("harbour") != std::string::npos &&
                 line.text.find("Inland") != std::string::npos)
        << "a line crosses the gutter: " << line.text;
  }
  std::size_t previous = 0;
  for (const char* word : {"harbour", "Fishermen", "gulls", "Inland", "Wells", "meadows"}) {
    const std::size_t at = ordered.text.find(word);
    ASSERT_NE(at, std::string::npos) << word << " not in\n" << ordered.text;
    EXPECT_GE(at, previous) << word << " out of order in\n" << ordered.text;
    previous = at;
  }
}

TEST(Recognition, HandlesEveryBitmapDepthTheSourcesProduce) {
  const PixPtr page = readFixture();
  const PixPtr grey(pixConvertRGBToLuminance(page.get()));
  struct Case {
    const char* name;
    PixPtr bitmap;
  };
  std::vector<Case> cases;
  cases.push_back({"1 bpp", PixPtr(pixThresholdToBinary(grey.get(), 128))});
  cases.push_back({"2 bpp colour map", PixPtr(pixThresholdTo2bpp(grey.get(), 4, 1))});
  cases.push_back({"8 bpp grey", PixPtr(pixCopy(nullptr, grey.get()))});
  cases.push_back({"8 bpp colour map", PixPtr(pixConvertGrayToColormap(grey.get()))});
  cases.push_back({"16 bpp", PixPtr(pixConvert8To16(grey.get(), 8))});
  cases.push_back({"32 bpp", PixPtr(pixCopy(nullptr, page.get()))});
  // Black ink, opaque only where the page has ink: readable only once laid over white.
  PixPtr inkOnly(pixCreate(pixGetWidth(page.get()), pixGetHeight(page.get()), 32));
  const PixPtr ink(pixInvert(nullptr, grey.get()));
  pixSetSpp(inkOnly.get(), 4);
  pixSetRGBComponent(inkOnly.get(), ink.get(), L_ALPHA_CHANNEL);
  cases.push_back({"32 bpp with alpha", std::move(inkOnly)});

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(c.bitmap);
    const PixPtr before(pixCopy(nullptr, c.bitmap.get()));
    const std::vector<Observation> observations = sharedEngine().recognizeText(c.bitmap.get(), 144);
    const std::string text = allText(observations);
    EXPECT_NE(text.find("Quarterly"), std::string::npos) << text;
    EXPECT_NE(text.find("morning"), std::string::npos) << text;
    // The bitmap is borrowed: the caller's pixels and channels are left as they were.
    l_int32 same = 0;
    pixEqual(c.bitmap.get(), before.get(), &same);
    EXPECT_TRUE(same);
    EXPECT_EQ(pixGetSpp(c.bitmap.get()), pixGetSpp(before.get()));
  }
}

TEST(Recognition, DeclinesBlankTinyAndOversizedBitmaps) {
  struct Case {
    int width;
    int height;
    int depth;
  };
  const Case cases[] = {
      {1224, 792, 8}, {1224, 792, 1}, {1, 1, 1},        {1, 1, 8},    {1, 1, 32},
      {2, 2, 8},      {3, 3, 8},      {1, 792, 8},      {1224, 1, 8}, {2, 792, 32},
      {32768, 8, 1},  {8, 32768, 1},  {16384, 8193, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.width << " x " << c.height << " at " << c.depth);
    const PixPtr bitmap(pixCreate(c.width, c.height, c.depth));
    ASSERT_TRUE(bitmap);
    if (c.depth != 1) pixSetAll(bitmap.get());  // white; a fresh 1 bpp bitmap is white already
    EXPECT_TRUE(sharedEngine().recognizeText(bitmap.get(), 144).empty());
  }
  EXPECT_TRUE(sharedEngine().recognizeText(nullptr, 144).empty());
}

TEST(Recognition, PageAfterAnotherReadsAsAlone) {
  const PixPtr english = readFixture();
  const PixPtr accented = renderPage(accentedLines());

  TextRecognizer alone;
  const std::vector<Observation> expected = alone.recognizeText(english.get(), 144);

  TextRecognizer reused;
  reused.recognizeText(accented.get(), 144);
  reused.recognizeText(english.get(), 0);
  expectSame(reused.recognizeText(english.get(), 144), expected);
}

TEST(Recognition, ParallelEnginesMatchOneEngineAndStaySingleThreaded) {
  const PixPtr english = readFixture();
  const PixPtr accented = renderPage(accentedLines());
  const std::vector<Observation> englishAlone = sharedEngine().recognizeText(english.get(), 144);
  const std::vector<Observation> accentedAlone = sharedEngine().recognizeText(accented.get(), 144);

  std::vector<Observation> englishInThread;
  std::vector<Observation> accentedInThread;
  int maxActiveLevels = -1;
  std::thread first([&] {
    TextRecognizer engine;
    englishInThread = engine.recognizeText(english.get(), 144);
    // The engine's OpenMP team costs more than it gains; the limit must hold in a worker too.
    maxActiveLevels = omp_get_max_active_levels();
  });
  std::thread second([&] {
    TextRecognizer engine;
    accentedInThread = engine.recognizeText(accented.get(), 144);
  });
  first.join();
  second.join();

  expectSame(englishInThread, englishAlone);
  expectSame(accentedInThread, accentedAlone);
  EXPECT_EQ(maxActiveLevels, 0);
}

TEST(Recognition, MissingLanguageDataThrowsNamingIt) {
  // The engine starts with whichever languages it could load, so one good model must not hide
  // the others.
  const std::filesystem::path installedEnglish =
      "/usr/share/tesseract-ocr/5/tessdata/eng.traineddata";
  const test::TempDir empty;
  const test::TempDir unreadable;
  const test::TempDir englishOnly;
  for (const char* model : {"eng", "nld", "deu", "fra"}) {
    test::writeFile(unreadable / (std::string(model) + ".traineddata"), "not a model");
  }
  std::filesystem::copy_file(installedEnglish, englishOnly / "eng.traineddata");
  struct Case {
    const test::TempDir& dir;
    std::vector<std::string> missing;
  };
  const Case cases[] = {
      {empty, {"eng", "nld", "deu", "fra"}},
      {unreadable, {"eng", "nld", "deu", "fra"}},
      {englishOnly, {"nld", "deu", "fra"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.dir.path());
    try {
      TextRecognizer engine(c.dir.path().string());
      ADD_FAILURE() << "no error";
    } catch (const LibraryError& error) {
      const std::string message = error.what();
      EXPECT_NE(message.find(c.dir.path().string()), std::string::npos) << message;
      for (const char* model : {"eng", "nld", "deu", "fra"}) {
        const bool named = message.find(std::string(model) + ".traineddata") != std::string::npos;
        EXPECT_EQ(named, std::count(c.missing.begin(), c.missing.end(), model) == 1)
            << model << " in " << message;
      }
    }
  }
}

}  // namespace
}  // namespace quirna
