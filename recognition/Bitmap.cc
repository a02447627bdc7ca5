#include "recognition/Bitmap.h"

#include <leptonica/allheaders.h>

namespace quirna {

void PixDeleter::operator()(Pix* pix) const noexcept { pixDestroy(&pix); }

}  // namespace quirna
