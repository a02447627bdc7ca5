#include "sources/TIFFImage.h"

#include <tiffio.h>

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <memory>
#include <vector>

#include <leptonica/allheaders.h>

namespace quirna {
namespace {

struct TIFFCloser {
  void operator()(TIFF* tiff) const noexcept { TIFFClose(tiff); }
};
struct OptionsDeleter {
  void operator()(TIFFOpenOptions* options) const noexcept { TIFFOpenOptionsFree(options); }
};
struct RGBAImageEnder {
  void operator()(TIFFRGBAImage* image) const noexcept { TIFFRGBAImageEnd(image); }
};

std::FILE* stream(thandle_t handle) { return static_cast<std::FILE*>(handle); }

tmsize_t readFile(thandle_t handle, void* buffer, tmsize_t size) {
  return static_cast<tmsize_t>(
      std::fread(buffer, 1, static_cast<std::size_t>(size), stream(handle)));
}
tmsize_t writeNothing(thandle_t, void*, tmsize_t) { return 0; }
toff_t seekFile(thandle_t handle, toff_t offset, int whence) {
  if (fseeko(stream(handle), static_cast<off_t>(offset), whence) != 0)
    return static_cast<toff_t>(-1);
  return static_cast<toff_t>(ftello(stream(handle)));
}
int closeNothing(thandle_t) { return 0; }  // the caller owns the file
toff_t fileSize(thandle_t handle) {
  const off_t at = ftello(stream(handle));
  fseeko(stream(handle), 0, SEEK_END);
  const off_t size = ftello(stream(handle));
  fseeko(stream(handle), at, SEEK_SET);
  return static_cast<toff_t>(std::max<off_t>(size, 0));
}
int mapNothing(thandle_t, void**, toff_t*) { return 0; }
void unmapNothing(thandle_t, void*, toff_t) {}
int dropMessage(TIFF*, void*, const char*, const char*, va_list) { return 1; }  // handled

// 16-bit grey with alpha, in strips (what ImageMagick writes for grey text over a transparent or
// white canvas) or tiles, read a line or a tile at a time: libtiff's RGBA reader drops the alpha of
// 16-bit grey. Null for any other layout, or a tile that would take more memory than the page.
PixPtr greyAlpha16(TIFF* tiff, std::uint32_t width, std::uint32_t height) {
  std::uint16_t photometric = 0, bits = 0, samples = 0, planar = 0, extras = 0;
  std::uint16_t* extraKinds = nullptr;  // owned by libtiff
  TIFFGetFieldDefaulted(tiff, TIFFTAG_PHOTOMETRIC, &photometric);
  TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &bits);
  TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &samples);
  TIFFGetFieldDefaulted(tiff, TIFFTAG_PLANARCONFIG, &planar);
  TIFFGetFieldDefaulted(tiff, TIFFTAG_EXTRASAMPLES, &extras, &extraKinds);
  std::uint32_t blockWidth = width;  // a line, or a tile
  std::uint32_t blockRows = 1;
  const bool tiled = TIFFIsTiled(tiff) != 0;
  if (tiled) {
    TIFFGetField(tiff, TIFFTAG_TILEWIDTH, &blockWidth);
    TIFFGetField(tiff, TIFFTAG_TILELENGTH, &blockRows);
  }
  const std::uint64_t blockBytes = std::uint64_t{blockWidth} * blockRows * 4;
  if ((photometric != PHOTOMETRIC_MINISBLACK && photometric != PHOTOMETRIC_MINISWHITE) ||
      bits != 16 || samples != 2 || planar != PLANARCONFIG_CONTIG || extras != 1 ||
      blockBytes == 0 || (tiled ? TIFFTileSize64(tiff) : TIFFScanlineSize64(tiff)) != blockBytes ||
      blockBytes > std::max<std::uint64_t>(std::uint64_t{width} * height * 4, 64 << 20)) {
    return nullptr;
  }
  const bool premultiplied = extraKinds[0] == EXTRASAMPLE_ASSOCALPHA;
  std::vector<std::uint16_t> block(blockBytes / 2);
  PixPtr pix(pixCreate(static_cast<l_int32>(width), static_cast<l_int32>(height), 8));
  if (!pix) return nullptr;
  for (std::uint32_t top = 0; top < height; top += blockRows) {
    for (std::uint32_t left = 0; left < width; left += blockWidth) {
      if ((tiled ? TIFFReadTile(tiff, block.data(), left, top, 0, 0)
                 : TIFFReadScanline(tiff, block.data(), top, 0)) < 0) {
        return nullptr;
      }
      for (std::uint32_t y = top; y < std::min(height, top + blockRows); ++y) {
        l_uint32* row =
            pixGetData(pix.get()) + std::size_t{y} * static_cast<std::size_t>(pixGetWpl(pix.get()));
        const std::uint16_t* in = block.data() + std::size_t{y - top} * blockWidth * 2;
        for (std::uint32_t x = left; x < std::min(width, left + blockWidth); ++x) {
          double grey = in[2 * (x - left)] / 65535.0;
          const double alpha = in[2 * (x - left) + 1] / 65535.0;
          if (photometric == PHOTOMETRIC_MINISWHITE) grey = (premultiplied ? alpha : 1) - grey;
          const double over = premultiplied ? grey + 1 - alpha : grey * alpha + 1 - alpha;
          SET_DATA_BYTE(row, x, static_cast<l_uint8>(std::clamp(over, 0.0, 1.0) * 255 + 0.5));
        }
      }
    }
  }
  return pix;
}

}  // namespace

PixPtr decodeTIFFWithLibtiff(std::FILE* file) {
  std::rewind(file);
  const std::unique_ptr<TIFFOpenOptions, OptionsDeleter> options(TIFFOpenOptionsAlloc());
  if (!options) return nullptr;
  TIFFOpenOptionsSetErrorHandlerExtR(options.get(), dropMessage, nullptr);
  TIFFOpenOptionsSetWarningHandlerExtR(options.get(), dropMessage, nullptr);
  // Before the size is known, no single allocation beyond what the largest page takes at 8 bits.
  TIFFOpenOptionsSetMaxSingleMemAlloc(options.get(), maxBitmapPixels);
  const std::unique_ptr<TIFF, TIFFCloser> tiff(
      TIFFClientOpenExt("input", "rm", file, readFile, writeNothing, seekFile, closeNothing,
                        fileSize, mapNothing, unmapNothing, options.get()));
  if (!tiff) return nullptr;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  TIFFGetField(tiff.get(), TIFFTAG_IMAGEWIDTH, &width);
  TIFFGetField(tiff.get(), TIFFTAG_IMAGELENGTH, &height);
  if (!withinBitmapCap(width, height)) return nullptr;
  if (PixPtr pix = greyAlpha16(tiff.get(), width, height)) return pix;
  char message[1024] = {};
  if (TIFFRGBAImageOK(tiff.get(), message) == 0) return nullptr;
  TIFFRGBAImage reader{};
  if (TIFFRGBAImageBegin(&reader, tiff.get(), 1, message) == 0) return nullptr;
  const std::unique_ptr<TIFFRGBAImage, RGBAImageEnder> ending(&reader);
  std::uint16_t orientation = ORIENTATION_TOPLEFT;
  TIFFGetFieldDefaulted(tiff.get(), TIFFTAG_ORIENTATION, &orientation);
  reader.req_orientation = orientation;  // as stored: the reader flips nothing

  // A band is one strip, or one row of tiles, decoded at a time. libtiff 4.5 garbles the tiles of
  // 16-bit samples that the image's right edge cuts (it skips their padding by bytes, not samples),
  // so the reader is given whole tiles and the columns past the edge are dropped.
  std::uint32_t bandRows = height;
  std::uint32_t bandWidth = width;
  if (TIFFIsTiled(tiff.get())) {
    std::uint32_t tileWidth = 0;
    TIFFGetField(tiff.get(), TIFFTAG_TILEWIDTH, &tileWidth);
    TIFFGetField(tiff.get(), TIFFTAG_TILELENGTH, &bandRows);
    if (tileWidth == 0) return nullptr;
    bandWidth = (width + tileWidth - 1) / tileWidth * tileWidth;
    reader.width = bandWidth;
  } else {
    TIFFGetFieldDefaulted(tiff.get(), TIFFTAG_ROWSPERSTRIP, &bandRows);
  }
  bandRows = std::clamp<std::uint32_t>(bandRows, 1, height);
  // A band beyond the page's own 8-bit size (with a floor for small pages) is a claim, not a page.
  const std::uint64_t bandBytes = std::uint64_t{bandWidth} * bandRows * 4;
  if (bandBytes > std::max<std::uint64_t>(std::uint64_t{width} * height, 64 << 20)) return nullptr;
  std::vector<std::uint32_t> band(std::size_t{bandWidth} * bandRows);

  const bool greyStored = (reader.photometric == PHOTOMETRIC_MINISBLACK ||
                           reader.photometric == PHOTOMETRIC_MINISWHITE);
  const bool grey = greyStored || readInGrey(width, height);
  PixPtr pix(pixCreate(static_cast<l_int32>(width), static_cast<l_int32>(height), grey ? 8 : 32));
  if (!pix) return nullptr;
  l_uint32* data = pixGetData(pix.get());
  const l_int32 wordsPerLine = pixGetWpl(pix.get());
  for (std::uint32_t top = 0; top < height; top += bandRows) {
    const std::uint32_t rows = std::min(bandRows, height - top);
    reader.row_offset = static_cast<int>(top);
    reader.col_offset = 0;
    if (TIFFRGBAImageGet(&reader, band.data(), bandWidth, rows) == 0) return nullptr;
    for (std::uint32_t y = 0; y < rows; ++y) {
      l_uint32* line = data + std::size_t{top + y} * static_cast<std::size_t>(wordsPerLine);
      const std::uint32_t* source = band.data() + std::size_t{y} * bandWidth;
      for (std::uint32_t x = 0; x < width; ++x) {
        // Colour comes premultiplied by alpha: over white, each channel gains the paper's share.
        const std::uint32_t paper = 255 - TIFFGetA(source[x]);
        const auto over = [&](std::uint32_t channel) {
          return std::min<std::uint32_t>(channel + paper, 255);
        };
        if (greyStored) {
          SET_DATA_BYTE(line, x, static_cast<l_uint8>(over(TIFFGetR(source[x]))));
        } else if (grey) {
          SET_DATA_BYTE(line, x,
                        greyOverWhite(over(TIFFGetR(source[x])), over(TIFFGetG(source[x])),
                                      over(TIFFGetB(source[x])), 255));
        } else {
          composeRGBPixel(static_cast<l_int32>(over(TIFFGetR(source[x]))),
                          static_cast<l_int32>(over(TIFFGetG(source[x]))),
                          static_cast<l_int32>(over(TIFFGetB(source[x]))), &line[x]);
        }
      }
    }
  }
  return pix;
}

}  // namespace quirna
