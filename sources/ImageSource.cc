#include "sources/ImageSource.h"

#include <png.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <optional>

#include <leptonica/allheaders.h>
#include <libheif/heif.h>

#include "model/Error.h"
#include "recognition/PageRecognition.h"
#include "recognition/ReadingOrder.h"
#include "recognition/TextRecognizer.h"
#include "sources/SourceFile.h"
#include "sources/TIFFImage.h"

namespace quirna {
namespace {

struct FileCloser {
  void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

struct HeifContextDeleter {
  void operator()(heif_context* context) const noexcept { heif_context_free(context); }
};
struct HeifHandleDeleter {
  void operator()(const heif_image_handle* handle) const noexcept {
    heif_image_handle_release(handle);
  }
};
struct HeifImageDeleter {
  void operator()(const heif_image* image) const noexcept { heif_image_release(image); }
};
struct HeifOptionsDeleter {
  void operator()(heif_decoding_options* options) const noexcept {
    heif_decoding_options_free(options);
  }
};
using HeifContextPtr = std::unique_ptr<heif_context, HeifContextDeleter>;
using HeifHandlePtr = std::unique_ptr<const heif_image_handle, HeifHandleDeleter>;
using HeifImagePtr = std::unique_ptr<const heif_image, HeifImageDeleter>;
using HeifOptionsPtr = std::unique_ptr<heif_decoding_options, HeifOptionsDeleter>;

// libpng and libjpeg, set up inside Leptonica with their default handlers, report damaged data
// with fprintf(stderr) and give us no hook. glibc lets the `stderr` variable be reassigned, so it
// points at /dev/null while any image is being decoded; descriptor 2 itself (and a sanitizer's
// report) is left alone. Counted, so that decoders on several threads overlap safely: the first
// in swaps, the last out restores.
class QuietStderr {
 public:
  QuietStderr() {
    const std::lock_guard lock(mutex_);
    if (users_++ > 0) return;
    quiet_ = std::fopen("/dev/null", "we");
    saved_ = stderr;
    if (quiet_ != nullptr) stderr = quiet_;
  }
  ~QuietStderr() {
    const std::lock_guard lock(mutex_);
    if (--users_ > 0) return;
    stderr = saved_;
    if (quiet_ != nullptr) std::fclose(quiet_);
    quiet_ = nullptr;
  }
  QuietStderr(const QuietStderr&) = delete;
  QuietStderr& operator=(const QuietStderr&) = delete;

 private:
  static inline std::mutex mutex_;
  static inline unsigned users_ = 0;  // guarded by mutex_
  static inline std::FILE* quiet_;    // guarded by mutex_, owned while users_ > 0
  static inline std::FILE* saved_;    // guarded by mutex_
};

std::optional<std::uint8_t> readByte(std::FILE* file) {
  const int c = std::fgetc(file);
  if (c == EOF) return std::nullopt;
  return static_cast<std::uint8_t>(c);
}

// Appends `count` bytes of `file` to `out`; false at the end of the file.
bool copyBytes(std::FILE* file, std::size_t count, std::vector<l_uint8>& out) {
  const std::size_t start = out.size();
  out.resize(start + count);
  return std::fread(out.data() + start, 1, count, file) == count;
}

unsigned littleEndian16(const l_uint8* bytes) {
  return static_cast<unsigned>(bytes[0]) | static_cast<unsigned>(bytes[1]) << 8;
}

// Skips (or, with `out`, copies) a chain of GIF data sub-blocks up to its empty terminator.
bool passSubBlocks(std::FILE* file, std::vector<l_uint8>* out) {
  for (;;) {
    const std::optional<std::uint8_t> size = readByte(file);
    if (!size) return false;
    if (out) out->push_back(*size);
    if (*size == 0) return true;
    if (out) {
      if (!copyBytes(file, *size, *out)) return false;
    } else if (std::fseek(file, *size, SEEK_CUR) != 0) {
      return false;
    }
  }
}

// The first frame of a GIF, cut out as a GIF of its own (the decoder keeps every frame of a file in
// memory, and each may claim up to 65535 x 65535 pixels), with what a viewer needs to show it.
struct GIFFrame {
  std::vector<l_uint8> bytes;
  int screenWidth = 0;  // the logical screen, which a viewer shows
  int screenHeight = 0;
  int left = 0;  // the frame's offset on the screen
  int top = 0;
  std::optional<l_uint32> transparentIndex;
};

// Empty when the file is malformed or a size in it is over the cap. Extensions are dropped; only
// the graphic control block before the frame matters to its pixels (its transparent colour).
std::optional<GIFFrame> firstGIFFrame(std::FILE* file) {
  GIFFrame frame;
  std::vector<l_uint8>& gif = frame.bytes;
  if (!copyBytes(file, 13, gif)) return std::nullopt;  // signature and logical screen
  frame.screenWidth = static_cast<int>(littleEndian16(&gif[6]));
  frame.screenHeight = static_cast<int>(littleEndian16(&gif[8]));
  if (!withinBitmapCap(frame.screenWidth, frame.screenHeight)) return std::nullopt;
  if ((gif[10] & 0x80) && !copyBytes(file, 3u << ((gif[10] & 0x07) + 1), gif)) return std::nullopt;
  for (;;) {
    const std::optional<std::uint8_t> introducer = readByte(file);
    if (introducer == 0x21) {
      const std::optional<std::uint8_t> label = readByte(file);
      std::vector<l_uint8> extension;
      if (!label || !passSubBlocks(file, &extension)) return std::nullopt;
      // Graphic control: block size 4, flags (bit 0: transparency), delay, transparent index.
      if (label == 0xF9 && extension.size() >= 5 && extension[0] == 4) {
        frame.transparentIndex.reset();
        if (extension[1] & 0x01) frame.transparentIndex = extension[4];
      }
    } else if (introducer == 0x2C) {
      gif.push_back(*introducer);
      const std::size_t descriptor = gif.size();
      if (!copyBytes(file, 9, gif)) return std::nullopt;
      frame.left = static_cast<int>(littleEndian16(&gif[descriptor]));
      frame.top = static_cast<int>(littleEndian16(&gif[descriptor + 2]));
      if (!withinBitmapCap(littleEndian16(&gif[descriptor + 4]),
                           littleEndian16(&gif[descriptor + 6]))) {
        return std::nullopt;
      }
      const l_uint8 flags = gif[descriptor + 8];
      if ((flags & 0x80) && !copyBytes(file, 3u << ((flags & 0x07) + 1), gif)) return std::nullopt;
      if (!copyBytes(file, 1, gif) || !passSubBlocks(file, &gif)) return std::nullopt;
      gif.push_back(0x3B);
      return frame;
    } else {
      return std::nullopt;  // the trailer, or anything else, before any frame
    }
  }
}

// Where a bitmap lies on the larger screen it was cut from, in pixels from the screen's top left.
struct ScreenWindow {
  int left;
  int top;
  int screenWidth;
  int screenHeight;
};

struct DecodedImage {
  PixPtr pix;
  std::optional<ScreenWindow> window;  // empty: the bitmap is the whole image
};

// White around a GIF frame's rectangle, so that the engine sees the ink's surroundings.
constexpr int gifMargin = 64;

// The frame as a viewer shows it: at its offset on the logical screen, with its transparent
// pixels and the screen it leaves uncovered white. A screen may claim 2^27 pixels from a few
// bytes, so only the frame's rectangle and a margin of it are made (the rest is white), at 8 bits
// with the frame's colours. A frame that fills the screen and has no transparency is returned as
// decoded.
DecodedImage onLogicalScreen(PixPtr decoded, const GIFFrame& frame) {
  const int width = pixGetWidth(decoded.get());
  const int height = pixGetHeight(decoded.get());
  if (pixGetColormap(decoded.get()) == nullptr ||
      (!frame.transparentIndex && frame.left == 0 && frame.top == 0 && width == frame.screenWidth &&
       height == frame.screenHeight)) {
    return {std::move(decoded), std::nullopt};
  }
  int left = std::max(0, frame.left - gifMargin);
  int top = std::max(0, frame.top - gifMargin);
  int right = std::min(frame.screenWidth, frame.left + width + gifMargin);
  int bottom = std::min(frame.screenHeight, frame.top + height + gifMargin);
  if (right <= left || bottom <= top) {  // a frame wholly off its screen: all of it is white
    left = top = 0;
    right = std::min(frame.screenWidth, gifMargin);
    bottom = std::min(frame.screenHeight, gifMargin);
  }
  // To 8 bits with the indices and colour map as they are (pixConvertTo8 would make a map of its
  // own, and the lossless conversion takes no map).
  PixPtr colours(pixClone(decoded.get()));
  if (pixGetDepth(decoded.get()) < 8) {
    PIXCMAP* map = pixcmapCreate(8);  // room for white beside the frame's colours
    PIXCMAP* frameColours = pixGetColormap(decoded.get());  // borrowed
    for (l_int32 i = 0; map && i < pixcmapGetCount(frameColours); ++i) {
      l_int32 red = 0, green = 0, blue = 0;
      pixcmapGetColor(frameColours, i, &red, &green, &blue);
      pixcmapAddColor(map, red, green, blue);
    }
    PixPtr indices(pixCopy(nullptr, decoded.get()));
    if (!map || !indices || pixDestroyColormap(indices.get()) != 0) {
      pixcmapDestroy(&map);
      return {};
    }
    colours.reset(pixConvertLossless(indices.get(), 8));
    if (!colours || pixSetColormap(colours.get(), map) != 0) return {};
  }
  PIXCMAP* colormap = colours ? pixGetColormap(colours.get()) : nullptr;  // borrowed
  if (colormap == nullptr) return {};
  if (frame.transparentIndex && *frame.transparentIndex < 256) {
    pixcmapResetColor(colormap, static_cast<l_int32>(*frame.transparentIndex), 255, 255, 255);
  }
  l_int32 white = 0;
  if (pixcmapGetIndex(colormap, 255, 255, 255, &white) != 0) {
    if (pixcmapAddColor(colormap, 255, 255, 255) == 0) {
      white = pixcmapGetCount(colormap) - 1;
    } else {  // a full colour map without white: the region in 32-bit colour
      colours.reset(pixConvertTo32(colours.get()));
      if (!colours) return {};
    }
  }
  PixPtr region(pixCreate(right - left, bottom - top, pixGetDepth(colours.get())));
  if (!region) return {};
  if (pixGetDepth(colours.get()) == 8) {
    pixSetColormap(region.get(), pixcmapCopy(colormap));
    pixSetAllArbitrary(region.get(), static_cast<l_uint32>(white));
  } else {
    pixSetAll(region.get());
  }
  pixRasterop(region.get(), frame.left - left, frame.top - top, width, height, PIX_SRC,
              colours.get(), 0, 0);
  if (left == 0 && top == 0 && right == frame.screenWidth && bottom == frame.screenHeight) {
    return {std::move(region), std::nullopt};
  }
  return {std::move(region), ScreenWindow{left, top, frame.screenWidth, frame.screenHeight}};
}

// Recognition of a window on a larger screen: the lines are moved onto the whole screen before
// reading order, so that columns are judged against the screen's width, and the page is sized as
// the screen.
PageWork onScreen(ScreenWindow window) {
  return [window](TextRecognizer& recognizer, const PieceRunner& runPieces, const Pix* bitmap,
                  std::int64_t pageNumber) -> std::optional<OCRResult> {
    std::vector<Observation> observations =
        recognizer.recognizeText(bitmap, runPieces).observations;
    if (observations.empty()) return std::nullopt;
    const double width = pixGetWidth(bitmap);
    const double height = pixGetHeight(bitmap);
    for (Observation& line : observations) {
      line.x = (window.left + line.x * width) / window.screenWidth;
      line.y = (window.screenHeight - window.top - height + line.y * height) / window.screenHeight;
      line.width *= width / window.screenWidth;
      line.height *= height / window.screenHeight;
    }
    PageText page = reorderByColumns(observations);
    return OCRResult{pageNumber,         std::move(page.text),
                     page.confidence,    std::move(page.lines),
                     window.screenWidth, window.screenHeight};
  };
}

// Leptonica reads a whole BMP to learn its size; its header holds the size at fixed offsets.
std::optional<std::pair<long long, long long>> bmpSize(std::FILE* file) {
  std::array<l_uint8, 26> header{};
  if (std::fread(header.data(), 1, header.size(), file) != header.size()) return std::nullopt;
  const auto word = [&](std::size_t at) -> std::int32_t {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(header[at]) |
                                     static_cast<std::uint32_t>(header[at + 1]) << 8 |
                                     static_cast<std::uint32_t>(header[at + 2]) << 16 |
                                     static_cast<std::uint32_t>(header[at + 3]) << 24);
  };
  if (word(14) == 12) return std::pair{littleEndian16(&header[18]), littleEndian16(&header[20])};
  const long long height = word(22);  // negative for rows stored top-down
  return std::pair{static_cast<long long>(word(18)), height < 0 ? -height : height};
}

// The first image's size from its header alone, for the formats whose header Leptonica can read
// without decoding; empty for a format it cannot decode or a header it cannot read.
std::optional<std::pair<long long, long long>> headerSize(std::FILE* file, l_int32 format) {
  l_int32 width = 0;
  l_int32 height = 0;
  l_int32 unused[5] = {};
  l_int32 status = 1;
  if (format == IFF_PNG) {
    status = freadHeaderPng(file, &width, &height, &unused[0], &unused[1], &unused[2]);
  } else if (format == IFF_JFIF_JPEG) {
    status = freadHeaderJpeg(file, &width, &height, &unused[0], &unused[1], &unused[2]);
  } else if (L_FORMAT_IS_TIFF(format)) {
    status = freadHeaderTiff(file, 0, &width, &height, &unused[0], &unused[1], &unused[2],
                             &unused[3], &unused[4]);
  } else if (format == IFF_PNM) {
    status = freadHeaderPnm(file, &width, &height, &unused[0], &unused[1], &unused[2], &unused[3]);
  } else if (format == IFF_WEBP) {
    std::array<l_uint8, 64> start{};
    const std::size_t size = std::fread(start.data(), 1, start.size(), file);
    status = readHeaderMemWebP(start.data(), size, &width, &height, &unused[0]);
  } else if (format == IFF_JP2) {
    status = freadHeaderJp2k(file, &width, &height, &unused[0], &unused[1], &unused[2]);
  } else if (format == IFF_SPIX) {
    status = freadHeaderSpix(file, &width, &height, &unused[0], &unused[1], &unused[2]);
  }
  if (status != 0) return std::nullopt;
  return std::pair{static_cast<long long>(width), static_cast<long long>(height)};
}

// A PNG chunk that claims more bytes than the file holds is damage; left to the decoder, a text
// chunk claiming 2 GiB is allocated in full before the read fails.
bool pngChunksFit(std::FILE* file) {
  if (std::fseek(file, 0, SEEK_END) != 0) return false;
  const long size = std::ftell(file);
  long at = 8;  // past the signature
  while (at + 12 <= size) {
    std::array<l_uint8, 8> header{};
    if (std::fseek(file, at, SEEK_SET) != 0 ||
        std::fread(header.data(), 1, header.size(), file) != header.size()) {
      return false;
    }
    const long length = static_cast<long>(static_cast<std::uint32_t>(header[0]) << 24 |
                                          static_cast<std::uint32_t>(header[1]) << 16 |
                                          static_cast<std::uint32_t>(header[2]) << 8 | header[3]);
    if (length > size - at - 12) return false;
    if (std::equal(header.begin() + 4, header.end(), "IEND")) break;
    at += length + 12;
  }
  std::rewind(file);
  return true;
}

// Where the first page's Orientation tag (274) keeps a value other than 1 (as stored): the file
// offset of that 16-bit value. Empty when there is none, or the file is not a TIFF this can walk.
std::optional<long> tiffOrientationValue(std::FILE* file) {
  std::array<l_uint8, 16> header{};
  std::rewind(file);
  if (std::fread(header.data(), 1, header.size(), file) < 8) return std::nullopt;
  const bool little = header[0] == 'I';
  const auto number = [&](const l_uint8* bytes, int count) {
    std::uint64_t value = 0;
    for (int i = 0; i < count; ++i)
      value |= std::uint64_t{bytes[little ? i : count - 1 - i]} << 8 * i;
    return value;
  };
  const bool big = number(&header[2], 2) == 43;  // BigTIFF: 64-bit offsets and counts
  const int offsetSize = big ? 8 : 4;
  const int countSize = big ? 8 : 2;
  const int entrySize = big ? 20 : 12;
  const std::uint64_t directory = number(&header[big ? 8 : 4], offsetSize);
  std::array<l_uint8, 8> count{};
  if (directory > LONG_MAX || std::fseek(file, static_cast<long>(directory), SEEK_SET) != 0 ||
      std::fread(count.data(), 1, static_cast<std::size_t>(countSize), file) !=
          static_cast<std::size_t>(countSize)) {
    return std::nullopt;
  }
  const std::uint64_t entries = number(count.data(), countSize);
  std::array<l_uint8, 20> entry{};
  // A first directory holds a few dozen entries; more is a damaged count, and reading on would
  // cost time for nothing.
  constexpr std::uint64_t maxEntries = 4096;
  for (std::uint64_t i = 0; i < entries && i < maxEntries; ++i) {
    const long at = std::ftell(file);
    if (std::fread(entry.data(), 1, static_cast<std::size_t>(entrySize), file) !=
        static_cast<std::size_t>(entrySize)) {
      return std::nullopt;
    }
    const std::size_t valueAt = big ? 12 : 8;
    if (number(&entry[0], 2) == 274 && number(&entry[2], 2) == 3 &&
        number(&entry[valueAt], 2) != 1) {
      return at + static_cast<long>(valueAt);
    }
  }
  return std::nullopt;
}

// The file as it is, except for the two bytes at `patchAt`, which read as `patch`.
struct PatchedFile {
  std::FILE* file;  // borrowed
  long patchAt;
  std::array<char, 2> patch;
};

ssize_t readPatched(void* cookie, char* buffer, std::size_t size) {
  auto* patched = static_cast<PatchedFile*>(cookie);
  const long start = std::ftell(patched->file);
  const std::size_t read = std::fread(buffer, 1, size, patched->file);
  for (long i = 0; i < 2; ++i) {
    const long k = patched->patchAt + i - start;
    if (k >= 0 && static_cast<std::size_t>(k) < read) {
      buffer[k] = patched->patch[static_cast<std::size_t>(i)];
    }
  }
  return std::ferror(patched->file) ? -1 : static_cast<ssize_t>(read);
}

int seekPatched(void* cookie, off64_t* offset, int whence) {
  auto* patched = static_cast<PatchedFile*>(cookie);
  if (fseeko(patched->file, *offset, whence) != 0) return -1;
  *offset = ftello(patched->file);
  return 0;
}

// Leptonica turns a TIFF by its Orientation tag while decoding and has no switch to stop it, so
// it reads the file through a stream that shows the tag as 1: the bitmap comes out as stored.
PixPtr decodeTIFFAsStored(std::FILE* file, long orientationAt) {
  std::rewind(file);
  const bool little = std::fgetc(file) == 'I';
  PatchedFile patched{file, orientationAt,
                      little ? std::array<char, 2>{1, 0} : std::array<char, 2>{0, 1}};
  FilePtr stream(fopencookie(&patched, "rb", {readPatched, nullptr, seekPatched, nullptr}));
  if (!stream) return nullptr;
  std::rewind(file);
  return PixPtr(pixReadStream(stream.get(), 0));
}

PixPtr decodeFirstTIFFPage(std::FILE* file, l_int32 format) {
  const auto size = headerSize(file, format);
  if (!size || !withinBitmapCap(size->first, size->second)) return nullptr;
  // Leptonica reads a colour TIFF whole into a raster of its own before making the bitmap: one
  // too large to keep in colour goes to libtiff's reader, a strip at a time, straight to grey.
  if (readInGrey(size->first, size->second)) return decodeTIFFWithLibtiff(file);
  if (const std::optional<long> at = tiffOrientationValue(file)) {
    return decodeTIFFAsStored(file, *at);
  }
  std::rewind(file);
  return PixPtr(pixReadStream(file, 0));  // the first page
}

DecodedImage decodeGIF(std::FILE* file) {
  const std::optional<GIFFrame> frame = firstGIFFrame(file);
  if (!frame) return {};
  PixPtr decoded(pixReadMemGif(frame->bytes.data(), frame->bytes.size()));
  if (!decoded) return {};
  return onLogicalScreen(std::move(decoded), *frame);
}

// A colour PNG too large to keep in colour (see readInGrey), read straight to 8-bit grey by
// libpng, transparency over white: Leptonica's reader would hold it twice, in colour.
PixPtr decodePNGInGrey(std::FILE* file) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  std::rewind(file);
  if (png_image_begin_read_from_stdio(&image, file) == 0) return nullptr;
  image.format = PNG_FORMAT_GRAY;
  PixPtr pix(
      withinBitmapCap(image.width, image.height)
          ? pixCreate(static_cast<l_int32>(image.width), static_cast<l_int32>(image.height), 8)
          : nullptr);
  const png_color white{255, 255, 255};
  const bool read = pix && png_image_finish_read(&image, &white, pixGetData(pix.get()),
                                                 4 * pixGetWpl(pix.get()), nullptr) != 0;
  png_image_free(&image);
  // libpng wrote the bytes in file order; Leptonica keeps them in words of the machine's order.
  if (!read || pixEndianByteSwap(pix.get()) != 0) return nullptr;
  return pix;
}

// Whether the PNG's header gives it colour (a palette, RGB, or grey or RGB with alpha, all of
// which Leptonica reads as colour).
bool pngHasColour(std::FILE* file) {
  std::array<l_uint8, 26> header{};
  std::rewind(file);
  return std::fread(header.data(), 1, header.size(), file) == header.size() && header[25] != 0;
}

PixPtr decodeWithLeptonica(std::FILE* file, l_int32 format) {
  if (L_FORMAT_IS_TIFF(format)) {
    // Layouts that Leptonica declines go to libtiff's own reader, which judges the size itself.
    PixPtr pix = decodeFirstTIFFPage(file, format);
    return pix ? std::move(pix) : decodeTIFFWithLibtiff(file);
  }
  const auto size = format == IFF_BMP ? bmpSize(file) : headerSize(file, format);
  if (!size || !withinBitmapCap(size->first, size->second)) return nullptr;
  std::rewind(file);
  if (format == IFF_PNG && !pngChunksFit(file)) return nullptr;
  if (format == IFF_PNG && readInGrey(size->first, size->second) && pngHasColour(file)) {
    return decodePNGInGrey(file);
  }
  std::rewind(file);
  return PixPtr(pixReadStream(file, 0));
}

// The opened file as libheif reads it, which it does while the context lives.
struct HeifInput {
  std::FILE* file;  // borrowed
  std::int64_t size;
};

HeifInput& heifInput(void* userdata) { return *static_cast<HeifInput*>(userdata); }

const heif_reader heifReader = {
    1,
    [](void* userdata) -> std::int64_t { return ftello(heifInput(userdata).file); },
    [](void* data, std::size_t size, void* userdata) {
      return std::fread(data, 1, size, heifInput(userdata).file) == size ? 0 : -1;
    },
    [](std::int64_t position, void* userdata) {
      return fseeko(heifInput(userdata).file, position, SEEK_SET);
    },
    [](std::int64_t size, void* userdata) {
      return size > heifInput(userdata).size ? heif_reader_grow_status_size_beyond_eof
                                             : heif_reader_grow_status_size_reached;
    },
};

// The primary image's handle, or null when the file cannot be parsed or the image is over the cap
// (judged before any pixel is decoded). Its context must outlive it.
HeifHandlePtr primaryImage(heif_context* context, HeifInput& input) {
  // Refuses larger images while the file is parsed.
  heif_context_set_maximum_image_size_limit(context, static_cast<int>(maxBitmapSide) + 1);
  if (heif_context_read_from_reader(context, &heifReader, &input, nullptr).code != heif_error_Ok) {
    return nullptr;
  }
  heif_image_handle* rawHandle = nullptr;
  if (heif_context_get_primary_image_handle(context, &rawHandle).code != heif_error_Ok) {
    return nullptr;
  }
  HeifHandlePtr handle(rawHandle);
  // The stored size (ispe) is what is decoded with transformations ignored; the displayed one is
  // checked as well, as no decoder should be asked for more.
  const int storedWidth = heif_image_handle_get_ispe_width(handle.get());
  const int storedHeight = heif_image_handle_get_ispe_height(handle.get());
  if ((storedWidth != 0 || storedHeight != 0) && !withinBitmapCap(storedWidth, storedHeight)) {
    return nullptr;
  }
  if (!withinBitmapCap(heif_image_handle_get_width(handle.get()),
                       heif_image_handle_get_height(handle.get()))) {
    return nullptr;
  }
  return handle;
}

PixPtr decodeWithLibheif(std::FILE* file) {
  if (fseeko(file, 0, SEEK_END) != 0) return nullptr;
  HeifInput input{file, ftello(file)};
  std::rewind(file);
  HeifContextPtr context(heif_context_alloc());
  if (!context) return nullptr;
  const HeifHandlePtr handle = primaryImage(context.get(), input);
  if (!handle) return nullptr;
  HeifOptionsPtr options(heif_decoding_options_alloc());
  if (!options) return nullptr;
  options->ignore_transformations = 1;
  options->convert_hdr_to_8bit = 1;
  const bool alpha = heif_image_handle_has_alpha_channel(handle.get()) != 0;
  heif_image* rawImage = nullptr;
  if (heif_decode_image(handle.get(), &rawImage, heif_colorspace_RGB,
                        alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB,
                        options.get())
          .code != heif_error_Ok) {
    return nullptr;
  }
  const HeifImagePtr image(rawImage);
  const int width = heif_image_get_width(image.get(), heif_channel_interleaved);
  const int height = heif_image_get_height(image.get(), heif_channel_interleaved);
  if (!withinBitmapCap(width, height)) return nullptr;
  int stride = 0;
  // Borrowed from `image`.
  const std::uint8_t* plane =
      heif_image_get_plane_readonly(image.get(), heif_channel_interleaved, &stride);
  if (!plane || stride <= 0) return nullptr;
  return pixFromInterleaved(plane, width, height, static_cast<std::size_t>(stride), alpha ? 4 : 3);
}

DecodedImage decodeImage(SourceFile source) {
  silenceLeptonica();
  DecodedImage image;
  {
    const QuietStderr quiet;
    FilePtr file(source.releaseStream());
    if (!file) return {};
    std::array<l_uint8, 16> start{};  // zero-filled: a shorter file matches no signature
    const std::size_t length = std::fread(start.data(), 1, start.size(), file.get());
    std::rewind(file.get());
    l_int32 format = IFF_UNKNOWN;
    findFileFormatBuffer(start.data(), &format);
    if (format == IFF_GIF) {
      image = decodeGIF(file.get());
    } else if (format != IFF_UNKNOWN) {
      image.pix = decodeWithLeptonica(file.get(), format);
    } else if (heif_check_filetype(start.data(), static_cast<int>(length)) ==
               heif_filetype_yes_supported) {
      image.pix = decodeWithLibheif(file.get());
    }
  }
  const Pix* pix = image.pix.get();
  if (!pix || !withinBitmapCap(pixGetWidth(pix), pixGetHeight(pix))) return {};
  image.pix = greyWhenLarge(std::move(image.pix));
  if (!image.pix) return {};
  return image;
}

}  // namespace

PixPtr decodeFirstImage(const std::string& path) { return decodeFirstImage(SourceFile(path)); }

PixPtr decodeFirstImage(SourceFile file) { return decodeImage(std::move(file)).pix; }

std::unique_ptr<DocumentPages> openImagePages(const std::string& path) {
  // An image is one page: the engine's failure ends the document, and no text is an empty list.
  class ImagePage final : public DocumentPages {
   public:
    explicit ImagePage(DecodedImage image) : image_(std::move(image)) {}
    std::optional<NumberedPage> next() override {
      if (!image_.pix) return std::nullopt;
      return NumberedPage{0, std::move(image_.pix)};
    }
    PageWork work() const override {
      if (image_.window) return onScreen(*image_.window);
      return [](TextRecognizer& recognizer, const PieceRunner& runPieces, const Pix* bitmap,
                std::int64_t pageNumber) {
        // An image has no finer drawing: a copy scaled up stands in for one (twice read worse
        // than 1.5 times on contents pages and photos).
        return recognizePage(recognizer, runPieces, bitmap, pageNumber,
                             [bitmap] { return greyScaledUp(bitmap, 1.5f); });
      };
    }

   private:
    DecodedImage image_;
  };
  SourceFile file(path);
  if (file.missing()) throw OCRError::fileNotFound();
  DecodedImage image = decodeImage(std::move(file));
  if (!image.pix) throw OCRError::processingFailed("Could not load image");
  return std::make_unique<ImagePage>(std::move(image));
}

}  // namespace quirna
