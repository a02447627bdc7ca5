#include "sources/PageRasteriser.h"

#include <cmath>
#include <cstdint>
#include <mutex>

#include <leptonica/allheaders.h>
#include <poppler/Error.h>
#include <poppler/GlobalParams.h>
#include <poppler/PDFDoc.h>
#include <poppler/SplashOutputDev.h>
#include <poppler/goo/GooString.h>
#include <poppler/splash/SplashBitmap.h>

namespace quirna {
namespace {

// trunc(renderScale x extent) as a pixel count, or 0 when the extent gives no drawable side.
long long pixelSide(double extent) {
  const double scaled = std::fabs(extent) * renderScale;
  if (!std::isfinite(scaled) || scaled < 1.0 || scaled > static_cast<double>(maxBitmapSide))
    return 0;
  return static_cast<long long>(scaled);
}

void setUpPoppler() {
  static std::once_flag once;
  std::call_once(once, [] {
    // Poppler reports every oddity of a file on stderr unless told otherwise.
    setErrorCallback([](ErrorCategory, Goffset, const char*) {});
    globalParams = std::make_unique<GlobalParams>();
    globalParams->setErrQuiet(true);
  });
}

}  // namespace

void PDFDocDeleter::operator()(PDFDoc* document) const noexcept { delete document; }

PDFDocPtr openDocument(const std::string& path) {
  setUpPoppler();
  PDFDocPtr document(new PDFDoc(std::make_unique<GooString>(path)));
  if (!document->isOk()) return nullptr;
  return document;
}

struct PageRasteriser::Device {
  SplashColor paper = {0xFF, 0xFF, 0xFF, 0xFF};
  SplashOutputDev output{splashModeRGB8, 4, false, paper};
};

PageRasteriser::PageRasteriser(PDFDoc& document, std::chrono::milliseconds drawLimit)
    : document_(document), drawLimit_(drawLimit), device_(std::make_unique<Device>()) {
  device_->output.setFontAntialias(true);
  device_->output.setVectorAntialias(true);
  device_->output.startDoc(&document_);
}

PageRasteriser::~PageRasteriser() = default;

PixPtr PageRasteriser::cgImageRepresentation(int pageNumber) {
  Page* page = document_.getPage(pageNumber);  // borrowed from the document
  if (page == nullptr) return nullptr;

  long long width = pixelSide(page->getMediaWidth());
  long long height = pixelSide(page->getMediaHeight());
  // The page is drawn turned by its /Rotate, so the bitmap takes the turned page's shape.
  if (page->getRotate() == 90 || page->getRotate() == 270) std::swap(width, height);
  if (!withinBitmapCap(width, height)) return nullptr;

  const int w = static_cast<int>(width);
  const int h = static_cast<int>(height);
  struct Deadline {
    std::chrono::steady_clock::time_point at;
    bool passed = false;
  } deadline{std::chrono::steady_clock::now() + drawLimit_};
  const auto overdue = [](void* data) {
    auto* state = static_cast<Deadline*>(data);
    state->passed = state->passed || std::chrono::steady_clock::now() >= state->at;
    return state->passed;
  };
  // A slice of exactly w x h device pixels: left alone, the device rounds the page's size.
  document_.displayPageSlice(&device_->output, pageNumber, renderDPI, renderDPI, 0,
                             /*useMediaBox=*/true, /*crop=*/false, /*printing=*/false, 0, 0, w, h,
                             overdue, &deadline);
  if (deadline.passed) return nullptr;
  SplashBitmap* bitmap = device_->output.getBitmap();  // owned by the device until the next page
  if (bitmap == nullptr || bitmap->getWidth() != w || bitmap->getHeight() != h) return nullptr;

  PixPtr pix(pixCreate(w, h, 32));
  if (!pix) return nullptr;
  const SplashColorPtr rows = bitmap->getDataPtr();
  const auto rowSize = static_cast<std::ptrdiff_t>(bitmap->getRowSize());
  l_uint32* const data = pixGetData(pix.get());
  const l_int32 wordsPerLine = pixGetWpl(pix.get());
  for (int y = 0; y < h; ++y) {
    const unsigned char* source = rows + y * rowSize;
    l_uint32* target = data + static_cast<std::ptrdiff_t>(y) * wordsPerLine;
    for (int x = 0; x < w; ++x, source += 3) {
      target[x] = (static_cast<l_uint32>(source[0]) << L_RED_SHIFT) |
                  (static_cast<l_uint32>(source[1]) << L_GREEN_SHIFT) |
                  (static_cast<l_uint32>(source[2]) << L_BLUE_SHIFT) | 0xFFu;
    }
  }
  pixSetResolution(pix.get(), renderDPI, renderDPI);
  return pix;
}

}  // namespace quirna
