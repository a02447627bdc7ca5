// The image decoder on arbitrary bytes: it must decline or decode within the pixel cap, never
// crash, hang or print.
#include <leptonica/allheaders.h>

#include "recognition/Bitmap.h"
#include "sources/ImageSource.h"
#include "tests/fuzz/FuzzTarget.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string path = quirna::fuzz::scratchFile(data, size, "img");
  const quirna::PixPtr pix = quirna::decodeFirstImage(path);
  if (pix) {
    const long long width = pixGetWidth(pix.get());
    const long long height = pixGetHeight(pix.get());
    if (width < 1 || height < 1 || width * height > quirna::maxBitmapPixels) {
      quirna::fuzz::fail("decoded bitmap outside the cap");
    }
  }
  return 0;
}
