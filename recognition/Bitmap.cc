#include "recognition/Bitmap.h"

#include <mutex>

#include <leptonica/allheaders.h>

namespace quirna {

void PixDeleter::operator()(Pix* pix) const noexcept { pixDestroy(&pix); }

void silenceLeptonica() {
  static std::once_flag once;
  std::call_once(once, [] { setMsgSeverity(L_SEVERITY_NONE); });
}

}  // namespace quirna
