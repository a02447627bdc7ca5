// Files made to break the tool, or broken by accident: whatever arrives, one line of JSON, the
// right exit status, nothing on stderr, bounded time and memory.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <jpeglib.h>
#include <leptonica/allheaders.h>
#include <zlib.h>

#include "model/Json.h"
#include "recognition/Bitmap.h"
#include "tests/TestSupport.h"

namespace quirna {
namespace {

namespace fs = std::filesystem;
using test::PDFPage;
using test::ToolRun;

const std::string loadPDFError = "{\"error\":\"Could not load PDF\"}\n";
const std::string loadImageError = "{\"error\":\"Could not load image\"}\n";
const std::string notFoundError =
    "{\"error\":\"The operation couldn\u2019t be completed. (main.OCRError error 1.)\"}\n";

enum class Expect {
  results,       // status 0 and an array
  noText,        // status 0 and "[]"
  loadPDF,       // "Could not load PDF"
  loadImage,     // "Could not load image"
  notFound,      // the missing-file error
  resultsOrLoad  // a damaged file: recovered (an array) or refused (a load error), never worse
};

struct Case {
  std::string name;  // the file name, which picks the source
  std::string bytes;
  Expect expect;
  const char* word = nullptr;  // must appear in the text when given
};

void check(const ToolRun& run, const Case& c) {
  test::expectOneLine(run);
  switch (c.expect) {
    case Expect::results:
      ASSERT_EQ(run.status, 0) << run.out;
      break;
    case Expect::noText:
      EXPECT_EQ(run.out, "[]\n");
      EXPECT_EQ(run.status, 0);
      break;
    case Expect::loadPDF:
      EXPECT_EQ(run.out, loadPDFError);
      EXPECT_EQ(run.status, 1);
      break;
    case Expect::loadImage:
      EXPECT_EQ(run.out, loadImageError);
      EXPECT_EQ(run.status, 1);
      break;
    case Expect::notFound:
      EXPECT_EQ(run.out, notFoundError);
      EXPECT_EQ(run.status, 1);
      break;
    case Expect::resultsOrLoad:
      if (run.status == 0) {
        EXPECT_NO_THROW(decodeResults(run.out)) << run.out;
      } else {
        EXPECT_TRUE(run.out == loadPDFError || run.out == loadImageError) << run.out;
      }
      break;
  }
  if (run.status == 0) {
    std::string text;
    ASSERT_NO_THROW(for (const OCRResult& page
                         : decodeResults(run.out)) text += page.text;)
        << run.out;
    if (c.word != nullptr) {
      EXPECT_NE(text.find(c.word), std::string::npos) << text;
    }
  }
}

void runCases(const std::vector<Case>& cases, long maxPeakKiB = 600 * 1024) {
  test::TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::writeFile(dir / c.name, c.bytes);
    const ToolRun run = test::runTool({(dir / c.name).string()});
    check(run, c);
    EXPECT_LT(run.peakKiB, maxPeakKiB);
  }
}

std::string textPDF(const std::string& words) {
  return test::makePDF({PDFPage{"[0 0 612 396]", {{60, 300, 28, words}}}});
}

std::string deflate(const std::string& data) {
  uLongf size = compressBound(data.size());
  std::string out(size, '\0');
  compress2(reinterpret_cast<Bytef*>(out.data()), &size,
            reinterpret_cast<const Bytef*>(data.data()), data.size(), 9);
  out.resize(size);
  return out;
}

// A page whose content stream inflates from a few hundred KiB to `inflated` bytes.
std::string bombPDF(std::size_t inflated) {
  const std::string packed = deflate(std::string(inflated, ' '));
  return test::assemblePDF(
      {"<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
       "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 200 200] /Contents 4 0 R >>",
       "<< /Length " + std::to_string(packed.size()) + " /Filter /FlateDecode >>\nstream\n" +
           packed + "\nendstream"});
}

std::string encode(Pix* pix, l_int32 format) {
  l_uint8* data = nullptr;
  size_t size = 0;
  if (pixWriteMem(&data, &size, pix, format) != 0) throw std::runtime_error("pixWriteMem failed");
  std::string bytes(reinterpret_cast<char*>(data), size);
  lept_free(data);
  return bytes;
}

PixPtr page() {
  const PixPtr read(pixRead(test::dataFile("page.png").c_str()));
  return PixPtr(pixConvertTo8(read.get(), 0));
}

std::string half(const std::string& bytes) { return bytes.substr(0, bytes.size() / 2); }

// The page as a four-channel CMYK JPEG, black ink only.
std::string cmykJPEG() {
  const PixPtr grey = page();
  const auto width = static_cast<JDIMENSION>(pixGetWidth(grey.get()));
  const auto height = static_cast<JDIMENSION>(pixGetHeight(grey.get()));
  jpeg_compress_struct info{};
  jpeg_error_mgr errors{};
  info.err = jpeg_std_error(&errors);
  jpeg_create_compress(&info);
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&info, &buffer, &size);
  info.image_width = width;
  info.image_height = height;
  info.input_components = 4;
  info.in_color_space = JCS_CMYK;
  jpeg_set_defaults(&info);
  jpeg_start_compress(&info, TRUE);
  std::vector<unsigned char> row(width * 4);
  for (JDIMENSION y = 0; y < height; ++y) {
    for (JDIMENSION x = 0; x < width; ++x) {
      l_uint32 value = 0;
      pixGetPixel(grey.get(), static_cast<l_int32>(x), static_cast<l_int32>(y), &value);
      // Stored inverted, as the common writers of CMYK JPEG do.
      row[4 * x] = row[4 * x + 1] = row[4 * x + 2] = 255;
      row[4 * x + 3] = static_cast<unsigned char>(value);
    }
    JSAMPROW rows[] = {row.data()};
    jpeg_write_scanlines(&info, rows, 1);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  std::string bytes(reinterpret_cast<char*>(buffer), size);
  std::free(buffer);
  return bytes;
}

// A BMP whose rows are stored top row first, flagged by a negative height.
std::string topDownBMP() {
  const PixPtr flipped(pixFlipTB(nullptr, page().get()));
  std::string bytes = encode(flipped.get(), IFF_BMP);
  std::int32_t height = 0;
  std::memcpy(&height, bytes.data() + 22, 4);
  height = -height;
  std::memcpy(bytes.data() + 22, &height, 4);
  return bytes;
}

TEST(HostileInput, DamagedAndMaliciousPDFs) {
  std::string brokenXref = textPDF("Repaired harbour chart");
  const std::size_t xref = brokenXref.find("xref\n");
  for (std::size_t at = brokenXref.find(" 00000 n", xref); at != std::string::npos;
       at = brokenXref.find(" 00000 n", at + 1)) {
    brokenXref.replace(at - 10, 10, "0000000123");
  }
  const std::string loop = test::assemblePDF({"<< /Type /Catalog /Pages 2 0 R >>",
                                              "<< /Type /Pages /Kids [2 0 R 3 0 R] /Count 2 >>",
                                              "<< /Type /Page /Parent 3 0 R /Kids [2 0 R] >>"});
  const std::string selfLength = test::assemblePDF(
      {"<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
       "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 200 200] /Contents 4 0 R >>",
       "<< /Length 4 0 R >>\nstream\n0 0 m\nendstream"});
  std::string absurd(400, '9');
  runCases({
      {"empty.pdf", "", Expect::loadPDF},
      {"letter.pdf", "Dear customer,\nplease find the invoice attached.\n", Expect::loadPDF},
      {"cut.pdf", half(textPDF("Half a document")), Expect::resultsOrLoad},
      {"xref.pdf", brokenXref, Expect::results, "harbour"},
      {"giant.pdf", test::makePDF({PDFPage{"[0 0 1000000 1000000]", {{10, 10, 500, "Huge"}}}}),
       Expect::noText},
      {"tiny.pdf", test::makePDF({PDFPage{"[0 0 0.4 0.4]", {{0, 0, 1, "Small"}}}}), Expect::noText},
      {"absurd.pdf", test::makePDF({PDFPage{"[0 0 " + absurd + " 792]"}}), Expect::noText},
      {"negative.pdf", test::makePDF({PDFPage{"[0 0 -612 -792]"}}), Expect::noText},
      {"loop.pdf", loop, Expect::resultsOrLoad},
      {"length.pdf", selfLength, Expect::resultsOrLoad},
      {"bomb.pdf", bombPDF(std::size_t{256} << 20), Expect::noText},
  });
}

TEST(HostileInput, ThousandBlankPagesFinishWithFlatMemory) {
  test::TempDir dir;
  // A sanitizer keeps freed memory aside for a while; keep that small so the figures compare.
  const std::vector<std::string> environment = {"ASAN_OPTIONS=quarantine_size_mb=8"};
  long peaks[2] = {};
  const std::size_t counts[2] = {10, 1000};
  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE(counts[i]);
    const fs::path path = dir / (std::to_string(counts[i]) + ".pdf");
    test::writeFile(path, test::makePDF(std::vector<PDFPage>(counts[i], PDFPage{"[0 0 72 72]"})));
    const ToolRun run = test::runTool({path.string()}, environment);
    test::expectOneLine(run);
    EXPECT_EQ(run.out, "[]\n");
    EXPECT_EQ(run.status, 0);
    peaks[i] = run.peakKiB;
  }
  EXPECT_LT(peaks[1], peaks[0] + peaks[0] / 4 + 32 * 1024) << "10 pages: " << peaks[0] << " KiB";
}

TEST(HostileInput, DamagedAndUnusualImages) {
  const PixPtr grey = page();
  const PixPtr dot(pixCreate(1, 1, 8));
  const PixPtr dotRGB(pixCreate(1, 1, 32));
  std::string heic =
      "\0\0\0\x18"
      "ftypheic\0\0\0\0mif1heic" +
      std::string(200, '\x55');
  runCases({
      {"cut.jpg", half(encode(grey.get(), IFF_JFIF_JPEG)), Expect::resultsOrLoad},
      {"cut.gif", half(encode(grey.get(), IFF_GIF)), Expect::resultsOrLoad},
      {"cut.tif", half(encode(grey.get(), IFF_TIFF_ZIP)), Expect::resultsOrLoad},
      {"dot.png", encode(dot.get(), IFF_PNG), Expect::noText},
      {"dot.jpg", encode(dotRGB.get(), IFF_JFIF_JPEG), Expect::noText},
      {"dot.gif", encode(dot.get(), IFF_GIF), Expect::noText},
      {"dot.bmp", encode(dotRGB.get(), IFF_BMP), Expect::noText},
      {"cmyk.jpg", cmykJPEG(), Expect::results, "river"},
      {"topdown.bmp", topDownBMP(), Expect::results, "river"},
      {"empty.heic", "", Expect::loadImage},
      {"corrupt.heic", heic, Expect::loadImage},
      {"random.heif", std::string(4096, '\x37'), Expect::loadImage},
  });
}

TEST(HostileInput, AwkwardPaths) {
  test::TempDir dir;
  const std::string pageBytes = test::readFile(test::dataFile("page.png"));
  fs::create_symlink(dir / "nowhere.pdf", dir / "dangling.pdf");
  fs::create_directory(dir / "x.pdf");
  const std::string odd = "scan \"quoted\" 'single'\nnext line \u00e9\u00e8 \u65e5\u672c.png";
  test::writeFile(dir / odd, pageBytes);

  // A path just under the system's limit, through nested folders; one over it cannot exist.
  fs::path deep = dir.path();
  while (deep.string().size() < 3900) deep /= std::string(200, 'd');
  fs::create_directories(deep);
  test::writeFile(deep / "page.PNG", pageBytes);
  std::string tooLong = deep.string();
  while (tooLong.size() < 5000) tooLong += "/" + std::string(200, 'e');

  struct PathCase {
    std::string path;
    Expect expect;
    const char* word;
  };
  const PathCase cases[] = {
      {(dir / "dangling.pdf").string(), Expect::notFound, nullptr},
      {(dir / "x.pdf").string(), Expect::loadPDF, nullptr},
      {(dir / odd).string(), Expect::results, "river"},
      {(deep / "page.PNG").string(), Expect::results, "river"},
      {tooLong + "/page.png", Expect::notFound, nullptr},
  };
  for (const PathCase& c : cases) {
    SCOPED_TRACE(c.path.substr(0, 80));
    check(test::runTool({c.path}), Case{"", "", c.expect, c.word});
  }
}

TEST(HostileInput, UnreadableFileIsALoadError) {
  if (::geteuid() == 0) GTEST_SKIP() << "root reads every file";
  test::TempDir dir;
  for (const char* name : {"locked.pdf", "locked.png"}) {
    SCOPED_TRACE(name);
    test::writeFile(dir / name, test::readFile(test::dataFile("page.png")));
    ::chmod((dir / name).c_str(), 0);
    const ToolRun run = test::runTool({(dir / name).string()});
    check(run,
          Case{name, "", name[7] == 'p' && name[8] == 'd' ? Expect::loadPDF : Expect::loadImage});
  }
}

}  // namespace
}  // namespace quirna
