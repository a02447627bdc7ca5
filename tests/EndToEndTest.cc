// The tool's contract, run on the built binary: one line of JSON on stdout, the exit status,
// nothing on stderr, bounded time and memory, whatever file arrives.
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <filesystem>
#include <tuple>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/TestSupport.h"

namespace quirna::test {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

const std::string notFound =
    R"j({"error":"The operation couldn’t be completed. (main.OCRError error 1.)"})j";
const std::string unsupported =
    R"j({"error":"The operation couldn’t be completed. (main.OCRError error 2.)"})j";
const std::string pdfError = R"({"error":"Could not load PDF"})";
const std::string imageError = R"({"error":"Could not load image"})";

const TempDir made;  // files the tests make, for the life of the process

using Page = std::array<int, 3>;  // pageNumber, imageWidth, imageHeight

struct Case {
  std::vector<std::string> files;  // run one by one; a bare name is a fixture in tests/data when
                                   // there is one, else a file in `made`
  int status;
  std::string line = "";                // the exact stdout line, when given
  std::vector<std::string> words = {};  // found in stdout as written: raw UTF-8, "/" escaped
  std::vector<Page> pages = {};         // every result, in order, when given
  std::vector<std::string> environment = {};
  Stdout stdoutTo = Stdout::captured;
  int peakMiB = 0;  // a bound on the run's peak memory, when given
};

void check(const Case& c, const std::string& file) {
  SCOPED_TRACE(testing::Message() << file << ", Stdout " << static_cast<int>(c.stdoutTo));
  const fs::path path = fs::exists(dataFile(file)) ? dataFile(file) : made / file;
  const ToolRun run = runTool({path.string()}, c.environment, c.stdoutTo);
  EXPECT_EQ(run.err, "");
  EXPECT_TRUE(c.line != imageError || run.peakKiB < 300 << 10) << run.peakKiB << " KiB to refuse";
  EXPECT_TRUE(c.peakMiB == 0 || run.peakKiB < c.peakMiB << 10) << run.peakKiB << " KiB";
  EXPECT_EQ(run.status, c.status);
  if (c.stdoutTo != Stdout::captured) return;  // the line could not go out
  ASSERT_TRUE(run.out.ends_with('\n') && run.out.find('\n') == run.out.size() - 1) << run.out;
  EXPECT_EQ(run.out, c.line.empty() ? run.out : c.line + "\n");
  const json results = json::parse(run.out, nullptr, false);
  ASSERT_TRUE(run.status == 0 ? results.is_array() : results.is_object()) << run.out;
  for (const std::string& word : c.words) EXPECT_NE(run.out.find(word), run.out.npos) << word;
  if (run.status != 0) return;
  std::vector<Page> pages;
  for (const json& page : results) {
    pages.push_back({page.at("pageNumber"), page.at("imageWidth"), page.at("imageHeight")});
    EXPECT_TRUE(page.at("confidence") > 0 && page.at("confidence") <= 1) << page;
    // The PDFs here carry their text in the top half of each page, and y counts from the bottom.
    for (const json& line : page.at("lines")) {
      EXPECT_TRUE(pages.back()[0] == 0 || line.at("y") > 0.5) << line;
    }
  }
  EXPECT_EQ(c.pages.empty() ? c.pages : pages, c.pages) << run.out;
}

void check(const std::vector<Case>& cases) {
  for (const Case& c : cases)
    std::for_each(c.files.begin(), c.files.end(), [&](auto& f) { check(c, f); });
}

TEST(EndToEnd, PathsAndImages) {
  const ToolRun usage = runTool({});
  EXPECT_EQ(usage.out + "|" + usage.err + "|" + std::to_string(usage.status),
            "|Usage: quirna-ocr <file-path>\n|1");
  const ToolRun extra = runTool({"/nonexistent/a.PDF", "b.png", "--help"});  // the rest ignored
  EXPECT_EQ(extra.out + extra.err + std::to_string(extra.status), notFound + "\n1");

  fs::create_directory(made / "dir.pdf");
  ::mkfifo((made / "fifo.pdf").c_str(), 0600);  // opening one would block
  ::mkfifo((made / "fifo.png").c_str(), 0600);
  fs::create_symlink(made / "nowhere.png", made / "dangling.png");
  const std::string odd = "scan \"quoted\" 'single'\nnext \u00e9t\u00e9 \u65e5\u672c.tif";
  fs::copy_file(dataFile("line.tif"), made / odd);
  writeFile(made / "blank.pdf", makePDF({PDFPage{}, PDFPage{}}));
  writeFile(made / "no-pages.pdf", makePDF({}));
  std::string png = readFile(dataFile("transparent.png"));
  png[png.size() / 2] ^= 0x55;  // inside the image data: libpng would tell stderr of the bad CRC
  writeFile(made / "corrupt.png", png);
  writeFile(made / "empty.png", "");
  check({
      {{"/nonexistent/missing.JPEG", "dangling.png"}, 1, notFound},
      {{"/nonexistent/notes.txt"}, 1, unsupported},
      {{"dir.pdf", "fifo.pdf"}, 1, pdfError},
      // Header-only files claiming 40000 x 40000 pixels among them.
      {{"fifo.png", "huge.png", "huge.tif", "huge.bmp", "huge.gif", "corrupt.png", "empty.png",
        "chunk.png"},
       1,
       imageError},
      {{"blank.pdf", "no-pages.pdf", "dot.png", "strip.png"}, 0, "[]"},
      {.files = {"blank.pdf"}, .status = 1, .stdoutTo = Stdout::full},
      {.files = {"blank.pdf"}, .status = 1, .stdoutTo = Stdout::closedPipe},
      // Read as stored (HEIF's irot and imir, TIFF's Orientation ignored), alpha over white.
      {{"line.jpg", "png-named.jpeg", "transparent.png", "line.heic", "rotated.heic",
        "mirrored.heif", "line.tiff", "line.tif", "top-down.bmp", "line.gif", odd, "oriented.tif",
        "palette.png", "grey-alpha.png", "rgba16.png", "alpha.tif", "alpha.heif", "grey16.tif"},
       0,
       "",
       {"river"},
       {{0, 612, 72}}},
      {{"screen.gif"}, 0, "", {"river"}, {{0, 700, 120}}},  // the logical screen, not the frame
      // An evenly lit photo tilted 1.7 degrees: Sauvola's threshold cuts its address line in three.
      {{"tilted-photo.jpg"},
       0,
       "",
       {"selon Debian (https:\\/\\/www.debian.org\\/social_contract", "ambiguïté du mot anglais"},
       {{0, 918, 148}}},
      // Blurred, not tilted: Sauvola's threshold drops the faint strokes of its two links.
      {{"blurred-links.png"},
       0,
       "",
       {"Please see https:\\/\\/www.", "\\/ports\\/hurd\\/ for more information about Debian"},
       {{0, 1191, 46}}},
      // A form's column of day numbers, which the engine first takes for lines turned on their
      // side.
      {{"days.png"}, 0, "", {"\\n9\\n10\\n11\\n", "\\n30\\n31\""}, {{0, 420, 2180}}},
      // A contents page in small type, read from a copy scaled up.
      {{"small-contents.png"},
       0,
       "",
       {"4.6.4.2 Weitere Informationen über die Testing-Distribution", "4.6.4.3 Experimental"},
       {{0, 1191, 500}}},
      // The same form as an image in small type: its day numbers are read from a copy scaled up,
      // where the engine's layout leaves them out and they are read alone.
      {{"form-days.png"}, 0, "", {"Bemerkung\\n1\\n2\\n3\\n", "\\n30\\n31\""}, {{0, 1224, 900}}},
      // Built to take time or memory: forms 8 deep drawing 8^8 fills, a 10^10-pixel image of 10
      // bytes, 24 page-sized transparency groups nested, a 10 x 10 frame on an 11000 x 11000
      // screen.
      {.files = {"nested-forms.pdf", "sparse-image.pdf", "nested-groups.pdf", "canvas.gif"},
       .status = 0,
       .line = "[]",
       .peakMiB = 400},
      {.files = {"canvas-line.gif"},
       .status = 0,
       .words = {"river"},
       .pages = {{0, 11000, 11000}},
       .peakMiB = 400},
      {.files = {"grey16-alpha.tif", "tiled16-alpha.tif", "planar.tif", "tiled16.tif", "cmyk.tif",
                 "ycbcr-jpeg.tif", "g3.tif", "palette.tif"},
       .status = 0,
       .words = {"river levels"},
       .pages = {{0, 612, 72}},
       .peakMiB = 400},
  });
}

TEST(EndToEnd, PDFs) {
  // Drawn turned a quarter anticlockwise, so that it reads upright once /Rotate 90 is applied.
  const std::string turned = "BT /F1 24 Tf 0 1 -1 0 100 72 Tm (Landscape summary) Tj ET";
  writeFile(made / "mixed.pdf",
            makePDF({{"[0 0 612 792]", {{72, 700, 24, "Größe der Straße: 30 km/h"}}},
                     PDFPage{},
                     {"[0 0 595.276 841.89]", {{72, 760, 24, "Un été français"}}},
                     {"[0 0 612 792]", {}, "/Rotate 90", turned},
                     {"[0 0 612 792]", {{72, 700, 24, "Cropped"}}, "/CropBox [0 0 300 300]"}}));
  const char* const spanish[] = {
      "El puerto de la ciudad está al final de una bahía larga, y los pescadores",
      "salen cada mañana con sus barcos al mar cuando el tiempo lo permite. En",
      "invierno el mar es a menudo demasiado duro, y los barcos se quedan en el",
      "puerto, donde la gente del astillero los prepara para el próximo verano.",
      "El trabajo es duro, pero se paga bien, y muchos jóvenes del pueblo",
      "encuentran aquí una línea de vida que también les da un sustento seguro.",
      "Desde hace algunos años vienen en verano más visitantes a la ciudad."};
  std::vector<PDFText> lines;
  for (std::size_t i = 0; i < std::size(spanish); ++i)
    lines.push_back({60, 740 - 16.0 * static_cast<double>(i), 12, spanish[i]});
  writeFile(made / "spanish.pdf", makePDF({{"[0 0 612 792]", lines}}));
  const std::string noModels = "TESSDATA_PREFIX=" + made.path().string();  // none there
  check({
      {{"mixed.pdf"},
       0,
       "",
       {"Straße", "km\\/h", "été", "Landscape", "Cropped"},
       {{1, 1224, 1584}, {3, 1190, 1683}, {4, 1584, 1224}, {5, 1224, 1584}}},
      // A French paragraph among German lines, on a page read with the German model.
      {{"mixed-language.pdf"}, 0, "", {"cœur", "déjà", "Après", "pêche", "entrepôts", "très"}},
      // Spanish, which no model is for: its acute accents are read, not ä, ö, ü.
      {{"spanish.pdf"}, 0, "", {"próximo", "jóvenes", "también", "más"}},
      {{"owner-password.pdf"}, 0, "", {"ledger"}, {{1, 800, 400}}},
      {{"user-password.pdf"}, 1, pdfError},
      {.files = {"owner-password.pdf"},
       .status = 1,
       .words = {"eng.traineddata"},
       .environment = {noModels}},
      // Declined by its size before any model is needed.
      {.files = {"dot.png"}, .status = 0, .line = "[]", .environment = {noModels}},
  });
}

// Two columns of `lines` lines, the widest left line `gutter` PDF units from the right column, in
// `font` (F1 Helvetica, F2 Courier) at 10 units with `spacing` added to each word gap (as
// justified text stretches it); the left column's words from `left`, the right's from `right`.
std::string twoColumns(double gutter, std::size_t lines, const std::string& font, double spacing,
                       const std::vector<std::string>& left,
                       const std::vector<std::string>& right) {
  // Helvetica's advance widths of a to z and the space, in thousandths; Courier's are all 600.
  static const int helvetica[] = {556, 556, 500, 556, 556, 278, 556, 556, 222, 222, 500, 222, 833,
                                  556, 556, 556, 556, 333, 500, 278, 556, 500, 722, 500, 500, 500};
  const auto text = [](const std::vector<std::string>& words, std::size_t i) {
    std::string line = words[i % words.size()];
    for (std::size_t k = i + 1; line.size() < 26 + i % 9; ++k)
      line += " " + words[k % words.size()];
    return line;
  };
  double widest = 0;
  for (std::size_t i = 0; i < lines; ++i) {
    double width = 0;
    for (const char c : text(left, i)) {
      const int advance = font == "F2" ? 600 : c == ' ' ? 278 : helvetica[c - 'a'];
      width += advance / 100.0 + (c == ' ' ? spacing : 0);
    }
    widest = std::max(widest, width);
  }
  std::string drawing;
  for (std::size_t i = 0; i < 2 * lines; ++i) {
    drawing += "BT /" + font + " 10 Tf " + std::to_string(spacing) + " Tw " +
               std::to_string(54 + (i < lines ? 0 : widest + gutter)) + " " +
               std::to_string(740 - 14 * (i % lines)) + " Td (" +
               text(i < lines ? left : right, i % lines) + ") Tj ET\n";
  }
  return drawing;
}

TEST(EndToEnd, ColumnsReadWholeLeftThenRight) {
  const std::vector<std::string> sea{"harbour", "tide", "boats", "pier", "gulls", "crews", "bell"};
  const std::vector<std::string> land{"garden", "apple",  "orchard", "summer",
                                      "farmer", "cattle", "meadow"};
  std::vector<PDFPage> pages;
  for (const auto& [gutter, lines, font, spacing] :
       {std::tuple{12.0, 5u, "F1", 0.0}, {31.0, 12u, "F2", 2.0}, {73.0, 40u, "F1", 1.0}}) {
    pages.push_back({"[0 0 612 792]", {}, "", twoColumns(gutter, lines, font, spacing, sea, land)});
  }
  writeFile(made / "columns.pdf", makePDF(pages));
  const std::string sample = QUIRNA_TEST_DATA "/../../samples/harbour-notes.pdf";
  for (const auto& [file, left, right] :
       {std::tuple{(made / "columns.pdf").string(), sea, land},
        {sample,
         {"Harbour", "tide", "pier", "sandbank", "crews", "week"},
         {"afternoon", "nets", "cod", "crane", "repairs", "winter"}}}) {
    const ToolRun run = runTool({file});
    ASSERT_EQ(run.status, 0) << run.out;
    for (const json& page : json::parse(run.out)) {
      bool rightColumn = false;
      for (const json& line : page.at("lines")) {
        const std::string text = line.at("text");
        const auto has = [&](const std::string& word) { return text.find(word) != text.npos; };
        const bool inLeft = std::any_of(left.begin(), left.end(), has);
        rightColumn = rightColumn || std::any_of(right.begin(), right.end(), has);
        EXPECT_FALSE(inLeft && rightColumn) << file << ": " << text;
      }
      EXPECT_TRUE(rightColumn) << file;
    }
  }
}

TEST(EndToEnd, ThousandBlankPagesKeepMemoryFlat) {
  // A sanitizer keeps freed memory aside for a while; kept small so that the figures compare.
  const char* asan = std::getenv("ASAN_OPTIONS");
  const std::string quarantine =
      "ASAN_OPTIONS=" + std::string(asan ? asan : "") + ":quarantine_size_mb=8";
  long peakKiB[2] = {};
  for (const std::size_t pages : {10u, 1000u}) {
    writeFile(made / "many.pdf", makePDF(std::vector<PDFPage>(pages, PDFPage{"[0 0 72 72]"})));
    const ToolRun run = runTool({(made / "many.pdf").string()}, {quarantine});
    EXPECT_EQ(run.out + run.err, "[]\n");
    EXPECT_EQ(run.status, 0);
    peakKiB[pages > 10] = run.peakKiB;
  }
  EXPECT_LT(peakKiB[1], peakKiB[0] + peakKiB[0] / 4 + 32 * 1024) << "10 pages: " << peakKiB[0];
}

}  // namespace
}  // namespace quirna::test
