#include "recognition/Bitmap.h"

#include <cstdlib>
#include <mutex>
#include <vector>

#include <leptonica/allheaders.h>

namespace quirna {
namespace {

// A 32-bit bitmap made 8-bit grey within its own data, which is then shrunk to fit: each row of
// grey is written no further on than the colour row it comes from, once that row has been read.
PixPtr greyInPlace(PixPtr pix) {
  if (pixGetRefcount(pix.get()) != 1) pix.reset(pixCopy(nullptr, pix.get()));
  if (!pix) return nullptr;
  const int width = pixGetWidth(pix.get());
  const auto height = static_cast<std::size_t>(pixGetHeight(pix.get()));
  const bool alpha = pixGetSpp(pix.get()) == 4;
  const auto colourWords = static_cast<std::size_t>(pixGetWpl(pix.get()));
  const l_int32 greyWords = (width + 3) / 4;
  l_uint32* const data = pixGetData(pix.get());  // borrowed from `pix`
  std::vector<l_uint8> row(static_cast<std::size_t>(width));
  for (std::size_t y = 0; y < height; ++y) {
    const l_uint32* in = data + y * colourWords;
    for (std::size_t x = 0; x < row.size(); ++x) {
      const l_uint32 word = in[x];
      row[x] = greyOverWhite(word >> L_RED_SHIFT & 0xFFu, word >> L_GREEN_SHIFT & 0xFFu,
                             word >> L_BLUE_SHIFT & 0xFFu,
                             alpha ? word >> L_ALPHA_SHIFT & 0xFFu : 0xFFu);
    }
    l_uint32* out = data + y * static_cast<std::size_t>(greyWords);
    out[greyWords - 1] = 0;  // the padding at the row's end
    for (int x = 0; x < width; ++x) SET_DATA_BYTE(out, x, row[static_cast<std::size_t>(x)]);
  }
  pixSetDepth(pix.get(), 8);
  pixSetSpp(pix.get(), 1);
  pixSetWpl(pix.get(), greyWords);
  // Leptonica allocates bitmaps with malloc unless told otherwise, and frees them with free.
  l_uint32* const owned = pixExtractData(pix.get());
  void* const shrunk = std::realloc(owned, 4 * static_cast<std::size_t>(greyWords) * height);
  pixSetData(pix.get(), shrunk != nullptr ? static_cast<l_uint32*>(shrunk) : owned);
  return pix;
}

}  // namespace

std::uint8_t greyOverWhite(std::uint32_t red, std::uint32_t green, std::uint32_t blue,
                           std::uint32_t alpha) {
  const auto overWhite = [alpha](l_uint32 value) {
    const float opacity = static_cast<float>(alpha) / 255.0f;
    return (1.0f - opacity) * 255.0f + opacity * static_cast<float>(value);
  };
  return static_cast<l_uint8>(L_RED_WEIGHT * overWhite(red) + L_GREEN_WEIGHT * overWhite(green) +
                              L_BLUE_WEIGHT * overWhite(blue) + 0.5);
}

void PixDeleter::operator()(Pix* pix) const noexcept { pixDestroy(&pix); }

PixPtr pixFromInterleaved(const std::uint8_t* rows, int width, int height, std::size_t stride,
                          int channels) {
  const bool grey = channels == 1 || readInGrey(width, height);
  PixPtr pix(pixCreateNoInit(width, height, grey ? 8 : 32));
  if (!pix) return nullptr;
  if (!grey) pixSetSpp(pix.get(), channels);
  l_uint32* const data = pixGetData(pix.get());  // borrowed from `pix`
  const auto wordsPerLine = static_cast<std::size_t>(pixGetWpl(pix.get()));
  for (std::size_t y = 0; y < static_cast<std::size_t>(height); ++y) {
    const std::uint8_t* in = rows + y * stride;
    l_uint32* out = data + y * wordsPerLine;
    if (channels == 1) {
      for (int x = 0; x < width; ++x) SET_DATA_BYTE(out, x, in[x]);
      continue;
    }
    for (int x = 0; x < width; ++x, in += channels) {
      const l_uint32 alpha = channels == 4 ? in[3] : 0xFFu;
      if (grey) {
        SET_DATA_BYTE(out, x, greyOverWhite(in[0], in[1], in[2], alpha));
        continue;
      }
      out[x] = static_cast<l_uint32>(in[0]) << L_RED_SHIFT |
               static_cast<l_uint32>(in[1]) << L_GREEN_SHIFT |
               static_cast<l_uint32>(in[2]) << L_BLUE_SHIFT | alpha << L_ALPHA_SHIFT;
    }
  }
  return pix;
}

PixPtr greyWhenLarge(PixPtr pix) {
  if (!pix || !readInGrey(pixGetWidth(pix.get()), pixGetHeight(pix.get()))) return pix;
  if (PIXCMAP* colours = pixGetColormap(pix.get())) {  // borrowed from `pix`
    for (l_int32 i = 0; i < pixcmapGetCount(colours); ++i) {
      l_int32 red = 0, green = 0, blue = 0, alpha = 255;
      pixcmapGetRGBA(colours, i, &red, &green, &blue, &alpha);
      const l_uint8 grey = greyOverWhite(static_cast<l_uint32>(red), static_cast<l_uint32>(green),
                                         static_cast<l_uint32>(blue), static_cast<l_uint32>(alpha));
      pixcmapResetColor(colours, i, grey, grey, grey);
    }
    return PixPtr(pixRemoveColormap(pix.get(), REMOVE_CMAP_TO_GRAYSCALE));
  }
  return pixGetDepth(pix.get()) == 32 ? greyInPlace(std::move(pix)) : std::move(pix);
}

void silenceLeptonica() {
  static std::once_flag once;
  std::call_once(once, [] { setMsgSeverity(L_SEVERITY_NONE); });
}

}  // namespace quirna
