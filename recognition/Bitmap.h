#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

struct Pix;

namespace quirna {

struct PixDeleter {
  void operator()(Pix* pix) const noexcept;
};

// An owned Leptonica bitmap; null means "no bitmap" (a declined page or image).
using PixPtr = std::unique_ptr<Pix, PixDeleter>;

// A bitmap from interleaved 8-bit grey (`channels` 1: an 8-bit bitmap), RGB (3) or RGBA (4: both
// 32-bit, or 8-bit grey over white when readInGrey) rows, `stride` bytes apart; the rows are
// copied. Null when Leptonica cannot allocate it.
PixPtr pixFromInterleaved(const std::uint8_t* rows, int width, int height, std::size_t stride,
                          int channels);

// Leptonica reports on stderr unless told not to; its threshold is process-wide. Idempotent.
void silenceLeptonica();

// Bitmaps are refused above this many pixels, or above this many pixels on a side (the engine's
// coordinates are 16-bit), so that memory stays bounded whatever a file claims.
constexpr long long maxBitmapPixels = 1LL << 27;
constexpr long long maxBitmapSide = 32767;

// A bitmap of this size has pixels and is within both limits.
constexpr bool withinBitmapCap(long long width, long long height) {
  return width > 0 && height > 0 && width <= maxBitmapSide && height <= maxBitmapSide &&
         width * height <= maxBitmapPixels;
}

// The engine reads every bitmap in 8-bit grey, which takes a quarter of the memory of 32-bit
// colour: colour over a quarter of the pixel cap is made grey as soon as it is had, so that the
// largest colour bitmap costs no more than the largest grey one. Colour below it is kept, for the
// engine's colour thresholding of photographs.
constexpr long long maxColourPixels = maxBitmapPixels / 4;
constexpr bool readInGrey(long long width, long long height) {
  return width * height > maxColourPixels;
}

// The grey the engine makes of a colour pixel (Leptonica's luminance, rounded), with `alpha`
// (255 opaque) laid over white first.
std::uint8_t greyOverWhite(std::uint32_t red, std::uint32_t green, std::uint32_t blue,
                           std::uint32_t alpha);

// `pix` as it is, or in 8-bit grey (transparency over white, in the engine's weights of red, green
// and blue) when it is colour (32-bit or a colour map) and readInGrey; a 32-bit bitmap is made grey
// in its own memory. Null when Leptonica cannot convert it.
PixPtr greyWhenLarge(PixPtr pix);

}  // namespace quirna
