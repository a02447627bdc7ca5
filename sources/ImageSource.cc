#include "sources/ImageSource.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <optional>

#include <leptonica/allheaders.h>
#include <libheif/heif.h>

#include "model/Error.h"
#include "recognition/PageRecognition.h"
#include "sources/SourceFile.h"

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

// The GIF cut down to its first frame: the decoder keeps every frame of a file in memory, and
// each frame may claim up to 65535 x 65535 pixels. Extensions are dropped; none affect the pixels
// this decoder produces. Empty when the file is malformed or a size in it is over the cap.
std::optional<std::vector<l_uint8>> firstGIFFrame(std::FILE* file) {
  std::vector<l_uint8> gif;
  if (!copyBytes(file, 13, gif)) return std::nullopt;  // signature and logical screen
  if (!withinBitmapCap(littleEndian16(&gif[6]), littleEndian16(&gif[8]))) return std::nullopt;
  if ((gif[10] & 0x80) && !copyBytes(file, 3u << ((gif[10] & 0x07) + 1), gif)) return std::nullopt;
  for (;;) {
    const std::optional<std::uint8_t> introducer = readByte(file);
    if (introducer == 0x21) {
      if (!readByte(file) || !passSubBlocks(file, nullptr)) return std::nullopt;
    } else if (introducer == 0x2C) {
      gif.push_back(*introducer);
      const std::size_t descriptor = gif.size();
      if (!copyBytes(file, 9, gif)) return std::nullopt;
      if (!withinBitmapCap(littleEndian16(&gif[descriptor + 4]),
                           littleEndian16(&gif[descriptor + 6]))) {
        return std::nullopt;
      }
      const l_uint8 flags = gif[descriptor + 8];
      if ((flags & 0x80) && !copyBytes(file, 3u << ((flags & 0x07) + 1), gif)) return std::nullopt;
      if (!copyBytes(file, 1, gif) || !passSubBlocks(file, &gif)) return std::nullopt;
      gif.push_back(0x3B);
      return gif;
    } else {
      return std::nullopt;  // the trailer, or anything else, before any frame
    }
  }
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

PixPtr decodeWithLeptonica(std::FILE* file, l_int32 format) {
  if (format == IFF_GIF) {
    const std::optional<std::vector<l_uint8>> gif = firstGIFFrame(file);
    if (!gif) return nullptr;
    return PixPtr(pixReadMemGif(gif->data(), gif->size()));
  }
  const auto size = format == IFF_BMP ? bmpSize(file) : headerSize(file, format);
  if (!size || !withinBitmapCap(size->first, size->second)) return nullptr;
  std::rewind(file);
  return PixPtr(pixReadStream(file, 0));  // TIFF: the first page
}

// The primary image's handle, or null when the file cannot be parsed or the image is over the cap
// (judged before any pixel is decoded). Its context must outlive it.
HeifHandlePtr primaryImage(heif_context* context, const std::string& path) {
  // Refuses larger images while the file is parsed.
  heif_context_set_maximum_image_size_limit(context, static_cast<int>(maxBitmapSide) + 1);
  if (heif_context_read_from_file(context, path.c_str(), nullptr).code != heif_error_Ok) {
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

PixPtr decodeWithLibheif(const std::string& path) {
  HeifContextPtr context(heif_context_alloc());
  if (!context) return nullptr;
  const HeifHandlePtr handle = primaryImage(context.get(), path);
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

}  // namespace

PixPtr decodeFirstImage(const std::string& path) {
  silenceLeptonica();
  if (!isRegularFile(path)) return nullptr;
  PixPtr pix;
  {
    const QuietStderr quiet;
    FilePtr file(std::fopen(path.c_str(), "rbe"));
    if (!file) return nullptr;
    std::array<l_uint8, 16> start{};  // zero-filled: a shorter file matches no signature
    const std::size_t length = std::fread(start.data(), 1, start.size(), file.get());
    std::rewind(file.get());
    l_int32 format = IFF_UNKNOWN;
    findFileFormatBuffer(start.data(), &format);
    if (format != IFF_UNKNOWN) {
      pix = decodeWithLeptonica(file.get(), format);
    } else if (heif_check_filetype(start.data(), static_cast<int>(length)) ==
               heif_filetype_yes_supported) {
      file.reset();
      pix = decodeWithLibheif(path);
    }
  }
  if (!pix || !withinBitmapCap(pixGetWidth(pix.get()), pixGetHeight(pix.get()))) return nullptr;
  return pix;
}

std::unique_ptr<DocumentPages> openImagePages(const std::string& path) {
  // An image is one page: the engine's failure ends the document, and no text is an empty list.
  class ImagePage final : public DocumentPages {
   public:
    explicit ImagePage(PixPtr bitmap) : bitmap_(std::move(bitmap)) {}
    std::optional<NumberedPage> next() override {
      if (!bitmap_) return std::nullopt;
      return NumberedPage{0, std::move(bitmap_)};
    }
    PageWork work() const override { return recognizePage; }

   private:
    PixPtr bitmap_;
  };
  requireExists(path);
  PixPtr bitmap = decodeFirstImage(path);
  if (!bitmap) throw OCRError::processingFailed("Could not load image");
  return std::make_unique<ImagePage>(std::move(bitmap));
}

std::vector<OCRResult> extractTextFromImage(const std::string& path) {
  return recognizeDocument(*openImagePages(path), 1);
}

}  // namespace quirna
