#pragma once

#include <memory>

struct Pix;

namespace quirna {

struct PixDeleter {
  void operator()(Pix* pix) const noexcept;
};

// An owned Leptonica bitmap; null means "no bitmap" (a declined page or image).
using PixPtr = std::unique_ptr<Pix, PixDeleter>;

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
