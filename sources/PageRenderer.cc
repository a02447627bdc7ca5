#include "sources/PageRenderer.h"

#include <cmath>
#include <cstddef>
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

struct PageRenderer::Device {
  SplashColor paper = {0xFF, 0xFF, 0xFF, 0xFF};
  SplashOutputDev output{splashModeRGB8, 4, false, paper};
};

PageRenderer::PageRenderer(PDFDoc& document, std::chrono::milliseconds drawLimit)
    : document_(document), drawLimit_(drawLimit), device_(std::make_unique<Device>()) {
  device_->output.setFontAntialias(true);
  device_->output.setVectorAntialias(true);
  device_->output.startDoc(&document_);
}

PageRenderer::~PageRenderer() = default;

std::optional<std::pair<int, int>> PageRenderer::bitmapSize(int pageNumber) const {
  Page* page = document_.getPage(pageNumber);  // borrowed from the document
  if (page == nullptr) return std::nullopt;
  long long width = pixelSide(page->getMediaWidth());
  long long height = pixelSide(page->getMediaHeight());
  // The page is drawn turned by its /Rotate, so the bitmap takes the turned page's shape.
  if (page->getRotate() == 90 || page->getRotate() == 270) std::swap(width, height);
  if (!withinBitmapCap(width, height)) return std::nullopt;
  return std::pair{static_cast<int>(width), static_cast<int>(height)};
}

PixPtr PageRenderer::renderPage(int pageNumber) {
  const std::optional<std::pair<int, int>> size = bitmapSize(pageNumber);
  if (!size) return nullptr;
  const auto [width, height] = *size;
  struct Deadline {
    std::chrono::steady_clock::time_point at;
    bool passed = false;
  } deadline{std::chrono::steady_clock::now() + drawLimit_};
  const auto overdue = [](void* data) {
    auto* state = static_cast<Deadline*>(data);
    state->passed = state->passed || std::chrono::steady_clock::now() >= state->at;
    return state->passed;
  };
  // A slice of exactly width x height device pixels: left alone, the device rounds the page's
  // size.
  document_.displayPageSlice(&device_->output, pageNumber, renderDPI, renderDPI, 0,
                             /*useMediaBox=*/true, /*crop=*/false, /*printing=*/false, 0, 0, width,
                             height, overdue, &deadline);
  if (deadline.passed) return nullptr;
  SplashBitmap* bitmap = device_->output.getBitmap();  // owned by the device until the next page
  if (bitmap == nullptr || bitmap->getWidth() != width || bitmap->getHeight() != height) {
    return nullptr;
  }
  PixPtr pix = pixFromInterleaved(bitmap->getDataPtr(), width, height,
                                  static_cast<std::size_t>(bitmap->getRowSize()), 3);
  if (pix && pixSetResolution(pix.get(), renderDPI, renderDPI) != 0) return nullptr;
  return pix;
}

}  // namespace quirna
