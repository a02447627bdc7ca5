// The image decoder on arbitrary bytes: it must decline or decode within the pixel cap, never
// crash, hang or print.
#include <leptonica/allheaders.h>

#include "sources/ImageSource.h"
#include "tests/fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const quirna::PixPtr pix = quirna::decodeFirstImage(quirna::fuzz::scratchFile(data, size, "img"));
  if (pix && !quirna::withinBitmapCap(pixGetWidth(pix.get()), pixGetHeight(pix.get()))) {
    __builtin_trap();  // decoded bitmap outside the cap: the fuzzer keeps the input
  }
  return 0;
}
