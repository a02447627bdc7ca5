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

// trunc(scale x extent) as a pixel count, or 0 when the extent gives no drawable side.
long long pixelSide(double extent, double scale) {
  const double scaled = std::fabs(extent) * scale;
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
  Device(PDFDoc& document, SplashColorMode mode, int bytesPerPixel)
      : output(mode, 4, false, paper), channels(bytesPerPixel) {
    output.setFontAntialias(true);
    output.setVectorAntialias(true);
    output.startDoc(&document);
  }
  SplashColor paper = {0xFF, 0xFF, 0xFF, 0xFF};
  SplashOutputDev output;
  const int channels;
};

PageRenderer::PageRenderer(PDFDoc& document, std::chrono::milliseconds drawLimit)
    : document_(document),
      drawLimit_(drawLimit),
      colour_(std::make_unique<Device>(document, splashModeRGB8, 3)) {}

PageRenderer::~PageRenderer() = default;

std::optional<std::pair<int, int>> PageRenderer::bitmapSize(int pageNumber, int dpi) const {
  Page* page = document_.getPage(pageNumber);  // borrowed from the document
  if (page == nullptr) return std::nullopt;
  long long width = pixelSide(page->getMediaWidth(), dpi / 72.0);
  long long height = pixelSide(page->getMediaHeight(), dpi / 72.0);
  // The page is drawn turned by its /Rotate, so the bitmap takes the turned page's shape.
  if (page->getRotate() == 90 || page->getRotate() == 270) std::swap(width, height);
  if (!withinBitmapCap(width, height)) return std::nullopt;
  return std::pair{static_cast<int>(width), static_cast<int>(height)};
}

PixPtr PageRenderer::renderPage(int pageNumber) { return draw(pageNumber, renderDPI, *colour_); }

PixPtr PageRenderer::renderSharper(int pageNumber) {
  if (!grey_) grey_ = std::make_unique<Device>(document_, splashModeMono8, 1);
  return draw(pageNumber, sharperDPI, *grey_);
}

PixPtr PageRenderer::draw(int pageNumber, int dpi, Device& device) {
  const std::optional<std::pair<int, int>> size = bitmapSize(pageNumber, dpi);
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
  document_.displayPageSlice(&device.output, pageNumber, dpi, dpi, 0,
                             /*useMediaBox=*/true, /*crop=*/false, /*printing=*/false, 0, 0, width,
                             height, overdue, &deadline);
  if (deadline.passed) return nullptr;
  // Taken from the device, so that it does not stay in memory until the next page.
  const std::unique_ptr<SplashBitmap> bitmap(device.output.takeBitmap());
  if (bitmap == nullptr || bitmap->getWidth() != width || bitmap->getHeight() != height) {
    return nullptr;
  }
  PixPtr pix = pixFromInterleaved(bitmap->getDataPtr(), width, height,
                                  static_cast<std::size_t>(bitmap->getRowSize()), device.channels);
  if (pix && pixSetResolution(pix.get(), dpi, dpi) != 0) return nullptr;
  return pix;
}

}  // namespace quirna
