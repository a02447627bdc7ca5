#pragma once

#include <cstdio>

#include "recognition/Bitmap.h"

namespace quirna {

// The first page of the TIFF in `file` (borrowed, read from its start) through libtiff's RGBA
// reader, for the layouts Leptonica declines (16-bit grey with alpha, planar RGB, tiles of 16-bit
// samples and others) and for pages too large to keep in colour: as stored (no orientation
// applied), alpha laid over white, 8-bit grey for a grey image or one readInGrey, 32-bit RGB
// otherwise. Null when libtiff cannot read it, the page is over the pixel cap, or one strip or
// tile would take more memory than the page itself. libtiff's messages are dropped.
PixPtr decodeTIFFWithLibtiff(std::FILE* file);

}  // namespace quirna
