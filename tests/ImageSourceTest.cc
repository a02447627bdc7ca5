#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <leptonica/allheaders.h>
#include <libheif/heif.h>

#include "model/Json.h"
#include "sources/ImageSource.h"
#include "tests/TestSupport.h"

namespace quirna {
namespace {

namespace fs = std::filesystem;

PixPtr loadPage() {
  PixPtr page(pixRead(test::dataFile("page.png").c_str()));
  if (!page) throw std::runtime_error("page.png unreadable");
  return page;
}

// The page as 8-bit grey: what every lossless variant below must decode back to.
PixPtr greyPage() { return PixPtr(pixConvertTo8(loadPage().get(), 0)); }

void writePix(const fs::path& path, Pix* pix, l_int32 format) {
  ASSERT_EQ(pixWrite(path.c_str(), pix, format), 0) << path;
}

// Black ink whose coverage is the page's darkness, on a fully transparent background.
PixPtr transparentPage() {
  PixPtr grey = greyPage();
  PixPtr ink(pixCreate(pixGetWidth(grey.get()), pixGetHeight(grey.get()), 32));
  PixPtr coverage(pixInvert(nullptr, grey.get()));
  pixSetRGBComponent(ink.get(), coverage.get(), L_ALPHA_CHANNEL);
  pixSetSpp(ink.get(), 4);
  return ink;
}

std::string le16(unsigned value) {
  return {static_cast<char>(value & 0xFF), static_cast<char>((value >> 8) & 0xFF)};
}
std::string le32(std::uint32_t value) { return le16(value & 0xFFFF) + le16(value >> 16); }
std::string be32(std::uint32_t value) {
  return {static_cast<char>(value >> 24), static_cast<char>((value >> 16) & 0xFF),
          static_cast<char>((value >> 8) & 0xFF), static_cast<char>(value & 0xFF)};
}

// A signature and an IHDR chunk with a correct CRC, then a few bytes: no image data at all.
std::string pngHeader(std::uint32_t width, std::uint32_t height) {
  const std::string chunk = "IHDR" + be32(width) + be32(height) + std::string("\x08\0\0\0\0", 5);
  const auto* bytes = reinterpret_cast<const unsigned char*>(chunk.data());
  std::uint32_t crc = 0xFFFFFFFF;
  for (std::size_t i = 0; i < chunk.size(); ++i) {
    crc ^= bytes[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320 & (0 - (crc & 1)));
  }
  return "\x89PNG\r\n\x1a\n" + be32(13) + chunk + be32(~crc) + std::string(16, '\0');
}

// One uncompressed 8-bit grey strip of ten bytes, described as width x height.
std::string tiffHeader(std::uint32_t width, std::uint32_t height) {
  const auto entry = [](unsigned tag, unsigned type, std::uint32_t value) {
    return le16(tag) + le16(type) + le32(1) + (type == 3 ? le16(value) + le16(0) : le32(value));
  };
  constexpr unsigned shortType = 3, longType = 4;
  const std::string entries[] = {
      entry(256, longType, width), entry(257, longType, height), entry(258, shortType, 8),
      entry(259, shortType, 1),    entry(262, shortType, 1),     entry(273, longType, 8),
      entry(277, shortType, 1),    entry(278, longType, height), entry(279, longType, 10)};
  std::string tiff = "II*" + std::string(1, '\0') + le32(8 + 10);
  tiff += std::string(10, '\0');  // the strip
  tiff += le16(static_cast<unsigned>(std::size(entries)));
  for (const std::string& e : entries) tiff += e;
  return tiff + le32(0);
}

std::string bmpHeader(std::int32_t width, std::int32_t height) {
  return "BM" + le32(1000) + le32(0) + le32(54) + le32(40) +
         le32(static_cast<std::uint32_t>(width)) + le32(static_cast<std::uint32_t>(height)) +
         le16(1) + le16(24) + std::string(24, '\0') + std::string(64, '\0');
}

// An image descriptor at (0, 0) whose data is one pixel of colour 0, then the trailer.
std::string gifFrame(unsigned width, unsigned height) {
  return "\x2C" + le16(0) + le16(0) + le16(width) + le16(height) +
         std::string("\x00\x02\x02\x44\x01\x00\x3B", 7);
}

std::string gif(unsigned screenWidth, unsigned screenHeight, unsigned width, unsigned height) {
  return "GIF89a" + le16(screenWidth) + le16(screenHeight) +
         std::string("\x80\x00\x00\x00\x00\x00\xFF\xFF\xFF", 9) + gifFrame(width, height);
}

// Leptonica's GIF of the page with a second frame appended before the trailer.
std::string animatedGIF(const fs::path& scratch, unsigned secondWidth, unsigned secondHeight) {
  writePix(scratch, greyPage().get(), IFF_GIF);
  std::string bytes = test::readFile(scratch);
  if (bytes.empty() || bytes.back() != '\x3B') throw std::runtime_error("unexpected GIF");
  bytes.pop_back();
  return bytes + gifFrame(secondWidth, secondHeight);
}

struct HeifContextDeleter {
  void operator()(heif_context* context) const noexcept { heif_context_free(context); }
};
struct HeifEncoderDeleter {
  void operator()(heif_encoder* encoder) const noexcept { heif_encoder_release(encoder); }
};
struct HeifImageDeleter {
  void operator()(heif_image* image) const noexcept { heif_image_release(image); }
};
struct HeifOptionsDeleter {
  void operator()(heif_encoding_options* options) const noexcept {
    heif_encoding_options_free(options);
  }
};

void check(heif_error error) {
  if (error.code != heif_error_Ok) throw std::runtime_error(error.message);
}

// Writes `pix` (32-bit, alpha used when spp is 4) as HEVC-coded HEIF, with an orientation for
// viewers to apply on display.
void writeHEIF(const fs::path& path, Pix* pix, heif_orientation orientation) {
  const bool alpha = pixGetSpp(pix) == 4;
  const int width = pixGetWidth(pix);
  const int height = pixGetHeight(pix);
  std::unique_ptr<heif_context, HeifContextDeleter> context(heif_context_alloc());
  heif_encoder* rawEncoder = nullptr;
  check(heif_context_get_encoder_for_format(context.get(), heif_compression_HEVC, &rawEncoder));
  std::unique_ptr<heif_encoder, HeifEncoderDeleter> encoder(rawEncoder);
  check(heif_encoder_set_lossy_quality(encoder.get(), 90));
  heif_image* rawImage = nullptr;
  check(heif_image_create(width, height, heif_colorspace_RGB,
                          alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB,
                          &rawImage));
  std::unique_ptr<heif_image, HeifImageDeleter> image(rawImage);
  check(heif_image_add_plane(image.get(), heif_channel_interleaved, width, height, 8));
  int stride = 0;
  std::uint8_t* plane = heif_image_get_plane(image.get(), heif_channel_interleaved, &stride);
  for (int y = 0; y < height; ++y) {
    std::uint8_t* out = plane + static_cast<std::ptrdiff_t>(y) * stride;
    for (int x = 0; x < width; ++x) {
      l_int32 r = 0, g = 0, b = 0, a = 0;
      l_uint32 word = 0;
      pixGetPixel(pix, x, y, &word);
      extractRGBAValues(word, &r, &g, &b, &a);
      for (l_int32 value : {r, g, b}) *out++ = static_cast<std::uint8_t>(value);
      if (alpha) *out++ = static_cast<std::uint8_t>(a);
    }
  }
  std::unique_ptr<heif_encoding_options, HeifOptionsDeleter> options(heif_encoding_options_alloc());
  options->image_orientation = orientation;
  check(
      heif_context_encode_image(context.get(), image.get(), encoder.get(), options.get(), nullptr));
  check(heif_context_write_to_file(context.get(), path.c_str()));
}

// Mean absolute difference from `expected` (8-bit grey) after conversion to grey.
double greyDifference(Pix* decoded, Pix* expected) {
  PixPtr grey(pixConvertTo8(decoded, 0));
  l_float32 difference = -1;
  pixCompareGray(grey.get(), expected, L_COMPARE_ABS_DIFF, 0, nullptr, &difference, nullptr,
                 nullptr);
  return difference;
}

void expectDecodesTo(const fs::path& path, Pix* expected, double tolerance) {
  const PixPtr decoded = decodeFirstImage(path);
  ASSERT_NE(decoded, nullptr);
  EXPECT_EQ(pixGetWidth(decoded.get()), pixGetWidth(expected));
  EXPECT_EQ(pixGetHeight(decoded.get()), pixGetHeight(expected));
  const bool recognisable = (pixGetDepth(decoded.get()) == 8 && !pixGetColormap(decoded.get())) ||
                            (pixGetDepth(decoded.get()) == 32 && pixGetSpp(decoded.get()) == 3);
  EXPECT_TRUE(recognisable) << pixGetDepth(decoded.get()) << " bpp, spp "
                            << pixGetSpp(decoded.get());
  EXPECT_LE(greyDifference(decoded.get(), expected), tolerance);
}

TEST(ImageDecoding, ReadsEachFormatByContentAsGreyOrRGB) {
  const PixPtr page = loadPage();
  const PixPtr grey = greyPage();
  const PixPtr binary(pixThresholdToBinary(grey.get(), 128));
  const PixPtr binaryAsGrey(pixConvertTo8(binary.get(), 0));
  const PixPtr palette(pixConvertGrayToColormap(grey.get()));
  const PixPtr deep(pixConvert8To16(grey.get(), 8));
  const PixPtr transparent = transparentPage();
  struct Case {
    const char* name;
    Pix* written;
    l_int32 format;
    Pix* expected;
    double tolerance;
  };
  const Case cases[] = {
      {"colour.png", page.get(), IFF_PNG, grey.get(), 0},
      {"grey.jpg", grey.get(), IFF_JFIF_JPEG, grey.get(), 3},
      {"colour.jpeg", page.get(), IFF_JFIF_JPEG, grey.get(), 3},
      {"grey.tif", grey.get(), IFF_TIFF_ZIP, grey.get(), 0},
      {"binary.tiff", binary.get(), IFF_TIFF_G4, binaryAsGrey.get(), 0},
      {"colour.bmp", page.get(), IFF_BMP, grey.get(), 0},
      {"palette.bmp", palette.get(), IFF_BMP, grey.get(), 0},
      {"grey.gif", grey.get(), IFF_GIF, grey.get(), 0},
      {"palette.png", palette.get(), IFF_PNG, grey.get(), 0},
      {"binary.png", binary.get(), IFF_PNG, binaryAsGrey.get(), 0},
      {"deep.png", deep.get(), IFF_PNG, grey.get(), 0},
      {"deep.tif", deep.get(), IFF_TIFF_ZIP, grey.get(), 0},
      {"transparent.png", transparent.get(), IFF_PNG, grey.get(), 1},
      {"colour.pnm", page.get(), IFF_PNM, grey.get(), 0},
      {"grey.webp", grey.get(), IFF_WEBP, grey.get(), 3},
      {"png-named.jpg", grey.get(), IFF_PNG, grey.get(), 0},
      {"gif-named.png", grey.get(), IFF_GIF, grey.get(), 0},
  };
  test::TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    writePix(dir / c.name, c.written, c.format);
    expectDecodesTo(dir / c.name, c.expected, c.tolerance);
  }
}

TEST(ImageDecoding, ReadsHEIFAsStoredIgnoringItsOrientation) {
  const PixPtr page = loadPage();
  const PixPtr grey = greyPage();
  const PixPtr transparent = transparentPage();
  struct Case {
    const char* name;
    Pix* written;
    heif_orientation orientation;
  };
  const Case cases[] = {
      {"page.heic", page.get(), heif_orientation_normal},
      {"rotated.heic", page.get(), heif_orientation_rotate_90_cw},
      {"mirrored.heif", page.get(), heif_orientation_flip_horizontally},
      {"transparent.heif", transparent.get(), heif_orientation_normal},
  };
  test::TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    writeHEIF(dir / c.name, c.written, c.orientation);
    expectDecodesTo(dir / c.name, grey.get(), 4);
  }
}

TEST(ImageDecoding, CapsTheSizeAtItsLimits) {
  test::TempDir dir;
  struct Case {
    int width;
    int height;
    bool decoded;
  };
  const Case cases[] = {{32767, 1, true}, {1, 32767, true}, {32768, 1, false}, {1, 32768, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
    const PixPtr line(pixCreate(c.width, c.height, 1));
    writePix(dir / "line.png", line.get(), IFF_PNG);
    const PixPtr decoded = decodeFirstImage(dir / "line.png");
    EXPECT_EQ(decoded != nullptr, c.decoded);
    if (decoded) {
      EXPECT_EQ(pixGetWidth(decoded.get()), c.width);
    }
  }
}

// The most address space the process has had mapped, in bytes.
std::size_t peakMapped() {
  std::ifstream status("/proc/self/status");
  for (std::string key; status >> key;) {
    std::size_t kilobytes = 0;
    if (key == "VmPeak:" && status >> kilobytes) return kilobytes << 10;
  }
  return 0;
}

// Run in a child: 0 when decodeFirstImage declines `path` without ever mapping much memory. A
// decoder that allocates the claimed size (even untouched, even failing later on missing data)
// shows in the peak; the limit keeps a runaway from taking the machine's memory.
int declinesWithoutAllocating(const fs::path& path) {
  const rlim_t limit = peakMapped() + (std::size_t{1} << 30);
  const rlimit bound{limit, limit};
  ::setrlimit(RLIMIT_AS, &bound);
  const std::size_t before = peakMapped();
  if (decodeFirstImage(path) != nullptr) return 2;
  return peakMapped() - before > (std::size_t{32} << 20) ? 3 : 0;
}

TEST(ImageDecoding, RefusesOversizeImagesFromTheHeaderWithoutAllocating) {
  test::TempDir dir;
  const PixPtr small(pixCreate(64, 48, 32));
  pixSetAll(small.get());
  writeHEIF(dir / "huge.heic", small.get(), heif_orientation_normal);
  const std::string heic = test::readFile(dir / "huge.heic");
  const auto claiming = [&](std::uint32_t side) {  // every image-size property rewritten
    std::string patched = heic;
    for (std::size_t at = patched.find("ispe"); at != std::string::npos;
         at = patched.find("ispe", at + 1)) {
      patched.replace(at + 8, 8, be32(side) + be32(side));
    }
    return patched;
  };
  struct Case {
    const char* name;
    std::string bytes;
  };
  // Leptonica refuses a bitmap over 2 GiB by itself; the sizes between the cap and that matter.
  const Case cases[] = {
      {"huge.png", pngHeader(100000, 100000)},
      {"wide.png", pngHeader(32768, 1)},
      {"many-pixels.png", pngHeader(16384, 16384)},
      {"huge.tif", tiffHeader(100000, 100000)},
      {"many-pixels.tif", tiffHeader(12000, 12000)},
      {"huge.bmp", bmpHeader(100000, 100000)},
      {"many-pixels.bmp", bmpHeader(12000, 12000)},
      {"many-pixels-top-down.bmp", bmpHeader(12000, -12000)},
      {"huge-frame.gif", gif(65535, 65535, 65535, 65535)},
      {"many-pixels.gif", gif(12000, 12000, 12000, 12000)},
      {"huge-screen.gif", gif(65535, 65535, 1, 1)},
      {"huge.heic", claiming(40000)},
      {"many-pixels.heic", claiming(12000)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path path = dir / c.name;
    test::writeFile(path, c.bytes);
    EXPECT_EXIT(std::_Exit(declinesWithoutAllocating(path)), ::testing::ExitedWithCode(0), "");
  }
}

const std::string loadError = R"({"error":"Could not load image"})";

// One file per accepted extension, each also covering one way an image can be stored; every one
// is recognised, so they are kept to one run each.
TEST(ImageTool, RecognisesTheFirstImageOfEveryExtension) {
  test::TempDir dir;
  const PixPtr page = loadPage();
  const PixPtr grey = greyPage();
  const PixPtr binary(pixThresholdToBinary(grey.get(), 128));
  const PixPtr palette(pixConvertGrayToColormap(grey.get()));
  const PixPtr transparent = transparentPage();
  const PixPtr blank(pixCreate(100, 50, 8));
  writePix(dir / "report.jpg", page.get(), IFF_PNG);
  writePix(dir / "report.jpeg", grey.get(), IFF_JFIF_JPEG);
  writePix(dir / "report.png", transparent.get(), IFF_PNG);
  writeHEIF(dir / "report.heic", page.get(), heif_orientation_normal);
  writeHEIF(dir / "report.heif", page.get(), heif_orientation_rotate_270_cw);
  writePix(dir / "report.tiff", grey.get(), IFF_TIFF_LZW);
  ASSERT_EQ(pixWriteTiff((dir / "report.tiff").c_str(), blank.get(), IFF_TIFF_ZIP, "a"), 0);
  writePix(dir / "report.tif", binary.get(), IFF_TIFF_G4);
  writePix(dir / "report.bmp", palette.get(), IFF_BMP);
  test::writeFile(dir / "report.gif", animatedGIF(dir / "scratch.gif", 65535, 65535));
  for (const char* name : {"report.jpg", "report.jpeg", "report.png", "report.heic", "report.heif",
                           "report.tiff", "report.tif", "report.bmp", "report.gif"}) {
    SCOPED_TRACE(name);
    const test::ToolRun run = test::runTool({(dir / name).string()});
    test::expectOneLine(run);
    ASSERT_EQ(run.status, 0) << run.out;
    const std::vector<OCRResult> results = decodeResults(run.out);
    ASSERT_EQ(results.size(), 1u);
    const OCRResult& result = results[0];
    EXPECT_EQ(result.pageNumber, 0);
    EXPECT_EQ(result.imageWidth, 1224);
    EXPECT_EQ(result.imageHeight, 792);
    EXPECT_GT(result.confidence, 0);
    EXPECT_LE(result.confidence, 1);
    for (const char* word : {"Quarterly", "river", "twelve", "Measurements", "morning"}) {
      EXPECT_NE(result.text.find(word), std::string::npos) << word << " in " << result.text;
    }
  }
}

TEST(ImageTool, UnloadableFilesGiveTheLoadError) {
  test::TempDir dir;
  const std::string png = test::readFile(test::dataFile("page.png"));
  fs::create_directory(dir / "folder.png");
  test::writeFile(dir / "empty.png", "");
  test::writeFile(dir / "notes.jpg", "Quarterly report on river levels\n");
  test::writeFile(dir / "truncated.png", png.substr(0, png.size() / 2));
  test::writeFile(dir / "huge.png", pngHeader(100000, 100000));
  test::writeFile(dir / "no-frame.gif", "GIF89a" + le16(1) + le16(1) + std::string(3, '\0') + ";");
  test::writeFile(dir / "document.png", "%PDF-1.4\n%%EOF\n");
  ASSERT_EQ(::mkfifo((dir / "pipe.png").c_str(), 0600), 0);  // opening it would block
  fs::create_symlink(dir / "missing.png", dir / "dangling.png");
  struct Case {
    const char* name;
    std::string line;
  };
  const Case cases[] = {
      {"folder.png", loadError},
      {"empty.png", loadError},
      {"notes.jpg", loadError},
      {"truncated.png", loadError},
      {"huge.png", loadError},
      {"no-frame.gif", loadError},
      {"document.png", loadError},
      {"pipe.png", loadError},
      {"dangling.png",
       R"j({"error":"The operation couldn’t be completed. (main.OCRError error 1.)"})j"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const test::ToolRun run = test::runTool({(dir / c.name).string()});
    test::expectOneLine(run);
    EXPECT_EQ(run.out, c.line + "\n");
    EXPECT_EQ(run.status, 1);
  }
}

}  // namespace
}  // namespace quirna
