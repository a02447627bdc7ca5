#include "recognition/Bitmap.h"

#include <mutex>

#include <leptonica/allheaders.h>

namespace quirna {

void PixDeleter::operator()(Pix* pix) const noexcept { pixDestroy(&pix); }

PixPtr pixFromInterleaved(const std::uint8_t* rows, int width, int height, std::size_t stride,
                          int channels) {
  PixPtr pix(pixCreateNoInit(width, height, channels == 1 ? 8 : 32));
  if (!pix) return nullptr;
  if (channels > 1) pixSetSpp(pix.get(), channels);
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
      out[x] = static_cast<l_uint32>(in[0]) << L_RED_SHIFT |
               static_cast<l_uint32>(in[1]) << L_GREEN_SHIFT |
               static_cast<l_uint32>(in[2]) << L_BLUE_SHIFT | alpha << L_ALPHA_SHIFT;
    }
  }
  return pix;
}

void silenceLeptonica() {
  static std::once_flag once;
  std::call_once(once, [] { setMsgSeverity(L_SEVERITY_NONE); });
}

}  // namespace quirna
