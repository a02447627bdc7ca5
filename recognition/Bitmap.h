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
// 32-bit) rows, `stride` bytes apart; the rows are copied. Null when Leptonica cannot allocate it.
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

}  // namespace quirna
