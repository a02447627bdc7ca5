#include "sources/PageRenderer.h"

#include <cmath>
#include <cstddef>
#include <mutex>
#include <vector>

#include <leptonica/allheaders.h>
#include <poppler/Error.h>
#include <poppler/GfxState.h>
#include <poppler/GlobalParams.h>
#include <poppler/PDFDoc.h>
#include <poppler/SplashOutputDev.h>
#include <poppler/Stream.h>
#include <poppler/goo/gfile.h>
#include <poppler/splash/SplashBitmap.h>

#include "sources/SourceFile.h"

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

PDFDocPtr openDocument(SourceFile file) {
  if (!file.isOpen()) return nullptr;
  setUpPoppler();
  std::shared_ptr<GooFile> reading(GooFile::open(file.release()));  // owns the descriptor now
  if (!reading) return nullptr;
  // The document owns the stream; the stream only borrows the file, which the deleter keeps.
  PDFDocPtr document(
      new PDFDoc(new FileStream(reading.get(), 0, false, reading->size(), Object(objNull))),
      PDFDocDeleter{reading});
  if (!document->isOk()) return nullptr;
  return document;
}

PDFDocPtr openDocument(const std::string& path) { return openDocument(SourceFile(path)); }

namespace {

// Splash drawing that keeps count of its work and, once past a budget, draws nothing more. Poppler
// offers no count of its own: its abort check runs only between groups of operators of one
// content stream, so forms of a few operators nested deep never reach it. The device is where
// every costly thing arrives: each unit is about a microsecond of drawing on one core, but it is a
// count, so the same page is declined on every machine.
class CountingDevice final : public SplashOutputDev {
 public:
  // Splash pads each row to this many bytes; the rows are copied out by their own stride, so any
  // padding would do, and 4 keeps rows word-aligned as Leptonica's are.
  static constexpr int rowPadding = 4;

  CountingDevice(SplashColorMode mode, SplashColorPtr paper)
      : SplashOutputDev(mode, rowPadding, false, paper) {}

  void startCounting(long long budget) {
    budget_ = budget;
    work_ = 0;
    masksSet_.clear();
    groups_.clear();
    groupPixels_ = 0;
  }
  bool over() const { return work_ > budget_; }
  // A long run of operators that draw nothing still costs: charged from Poppler's abort check,
  // which is consulted after some ten operators; true once over the budget.
  bool overAfterOperators() { return !charge(10); }

  // Once over the budget, forms are handed to drawForm, which draws nothing, instead of walked.
  bool useDrawForm() override { return over(); }

  void saveState(GfxState* state) override {
    charge(1);
    SplashOutputDev::saveState(state);
  }
  void stroke(GfxState* state) override {
    if (charge(pathCost(state))) SplashOutputDev::stroke(state);
  }
  void fill(GfxState* state) override {
    if (charge(pathCost(state))) SplashOutputDev::fill(state);
  }
  void eoFill(GfxState* state) override {
    if (charge(pathCost(state))) SplashOutputDev::eoFill(state);
  }
  void clip(GfxState* state) override {
    charge(pathPoints(state));
    SplashOutputDev::clip(state);  // always, so that the clip stays right for the count
  }
  void eoClip(GfxState* state) override {
    charge(pathPoints(state));
    SplashOutputDev::eoClip(state);
  }
  void clipToStrokePath(GfxState* state) override {
    if (charge(pathCost(state))) SplashOutputDev::clipToStrokePath(state);
  }
  bool tilingPatternFill(GfxState* state, Gfx* gfx, Catalog* catalog, GfxTilingPattern* tPat,
                         const double* mat, int x0, int y0, int x1, int y1, double xStep,
                         double yStep) override {
    // Every cell, judged before any is drawn; true (done) tells Poppler not to draw them itself.
    const double cells = (static_cast<double>(x1) - x0) * (static_cast<double>(y1) - y0);
    if (!charge(cells + clipPixels(state) / 256)) return true;
    return SplashOutputDev::tilingPatternFill(state, gfx, catalog, tPat, mat, x0, y0, x1, y1, xStep,
                                              yStep);
  }
  bool functionShadedFill(GfxState* state, GfxFunctionShading* shading) override {
    return !charge(clipPixels(state) / 256) || SplashOutputDev::functionShadedFill(state, shading);
  }
  bool axialShadedFill(GfxState* state, GfxAxialShading* shading, double tMin,
                       double tMax) override {
    return !charge(clipPixels(state) / 256) ||
           SplashOutputDev::axialShadedFill(state, shading, tMin, tMax);
  }
  bool radialShadedFill(GfxState* state, GfxRadialShading* shading, double tMin,
                        double tMax) override {
    return !charge(clipPixels(state) / 256) ||
           SplashOutputDev::radialShadedFill(state, shading, tMin, tMax);
  }
  bool gouraudTriangleShadedFill(GfxState* state, GfxGouraudTriangleShading* shading) override {
    return !charge(clipPixels(state) / 256 + shading->getNTriangles()) ||
           SplashOutputDev::gouraudTriangleShadedFill(state, shading);
  }
  void drawChar(GfxState* state, double x, double y, double dx, double dy, double originX,
                double originY, CharCode code, int nBytes, const Unicode* u, int uLen) override {
    if (charge(glyphCost(state, x, y))) {
      SplashOutputDev::drawChar(state, x, y, dx, dy, originX, originY, code, nBytes, u, uLen);
    }
  }
  bool beginType3Char(GfxState* state, double x, double y, double dx, double dy, CharCode code,
                      const Unicode* u, int uLen) override {
    // True: the glyph's procedure is not run.
    return !charge(glyphCost(state, x, y)) ||
           SplashOutputDev::beginType3Char(state, x, y, dx, dy, code, u, uLen);
  }
  void drawImageMask(GfxState* state, Object* ref, Stream* str, int width, int height, bool invert,
                     bool interpolate, bool inlineImg) override {
    if (charge(imageCost(state, width, height, 1))) {
      SplashOutputDev::drawImageMask(state, ref, str, width, height, invert, interpolate,
                                     inlineImg);
    }
  }
  // An image mask filled with a pattern: set, the pattern drawn through it, unset. A mask skipped
  // over the budget must not be unset, which would end a group it did not begin.
  void setSoftMaskFromImageMask(GfxState* state, Object* ref, Stream* str, int width, int height,
                                bool invert, bool inlineImg, double* baseMatrix) override {
    const bool drawn = charge(imageCost(state, width, height, 1));
    masksSet_.push_back(drawn);
    if (drawn) {
      SplashOutputDev::setSoftMaskFromImageMask(state, ref, str, width, height, invert, inlineImg,
                                                baseMatrix);
    }
  }
  void unsetSoftMaskFromImageMask(GfxState* state, double* baseMatrix) override {
    const bool drawn = masksSet_.empty() || masksSet_.back();
    if (!masksSet_.empty()) masksSet_.pop_back();
    if (drawn) SplashOutputDev::unsetSoftMaskFromImageMask(state, baseMatrix);
  }
  void drawImage(GfxState* state, Object* ref, Stream* str, int width, int height,
                 GfxImageColorMap* colorMap, bool interpolate, const int* maskColors,
                 bool inlineImg) override {
    if (charge(imageCost(state, width, height, colorMap->getNumPixelComps()))) {
      SplashOutputDev::drawImage(state, ref, str, width, height, colorMap, interpolate, maskColors,
                                 inlineImg);
    }
  }
  void drawMaskedImage(GfxState* state, Object* ref, Stream* str, int width, int height,
                       GfxImageColorMap* colorMap, bool interpolate, Stream* maskStr, int maskWidth,
                       int maskHeight, bool maskInvert, bool maskInterpolate) override {
    if (charge(imageCost(state, width, height, colorMap->getNumPixelComps()) +
               imageCost(state, maskWidth, maskHeight, 1))) {
      SplashOutputDev::drawMaskedImage(state, ref, str, width, height, colorMap, interpolate,
                                       maskStr, maskWidth, maskHeight, maskInvert, maskInterpolate);
    }
  }
  void drawSoftMaskedImage(GfxState* state, Object* ref, Stream* str, int width, int height,
                           GfxImageColorMap* colorMap, bool interpolate, Stream* maskStr,
                           int maskWidth, int maskHeight, GfxImageColorMap* maskColorMap,
                           bool maskInterpolate) override {
    if (charge(imageCost(state, width, height, colorMap->getNumPixelComps()) +
               imageCost(state, maskWidth, maskHeight, 1))) {
      SplashOutputDev::drawSoftMaskedImage(state, ref, str, width, height, colorMap, interpolate,
                                           maskStr, maskWidth, maskHeight, maskColorMap,
                                           maskInterpolate);
    }
  }
  bool checkTransparencyGroup(GfxState* state, bool knockout) override {
    // The group's bitmap and its compositing cost the clip's pixels; charged here, drawn or not,
    // as begin and end must pair.
    charge(clipPixels(state) / 256);
    return SplashOutputDev::checkTransparencyGroup(state, knockout);
  }
  // Each group open holds a bitmap of its clip, nested groups all at once: past maxGroupPixels
  // held, the page is over the budget, and a group not begun is neither ended nor painted.
  void beginTransparencyGroup(GfxState* state, const double* bbox, GfxColorSpace* colourSpace,
                              bool isolated, bool knockout, bool forSoftMask) override {
    const double pixels = clipPixels(state);
    const bool drawn = !over() && groupPixels_ + pixels <= maxGroupPixels;
    if (!drawn) work_ = budget_ + 1;
    groups_.push_back(drawn ? pixels : -1);
    if (!drawn) return;
    groupPixels_ += pixels;
    SplashOutputDev::beginTransparencyGroup(state, bbox, colourSpace, isolated, knockout,
                                            forSoftMask);
  }
  void endTransparencyGroup(GfxState* state) override {
    if (groups_.empty() || groups_.back() >= 0) SplashOutputDev::endTransparencyGroup(state);
  }
  void paintTransparencyGroup(GfxState* state, const double* bbox) override {
    if (groupEnded()) SplashOutputDev::paintTransparencyGroup(state, bbox);
  }
  void setSoftMask(GfxState* state, const double* bbox, bool alpha, Function* transfer,
                   GfxColor* backdrop) override {
    if (groupEnded()) SplashOutputDev::setSoftMask(state, bbox, alpha, transfer, backdrop);
  }

 private:
  // False once over the budget: the caller then draws nothing.
  bool charge(double units) {
    if (over()) return false;
    const double capped = std::min(units, static_cast<double>(budget_) + 1);
    work_ += capped > 0 ? static_cast<long long>(capped) : 0;
    return !over();
  }

  static double clipPixels(const GfxState* state) {
    double xMin = 0, yMin = 0, xMax = 0, yMax = 0;
    state->getClipBBox(&xMin, &yMin, &xMax, &yMax);
    return std::max(0.0, xMax - xMin) * std::max(0.0, yMax - yMin);
  }

  // The device pixels of the box around `points` (device coordinates) that the clip lets through.
  static double boxPixels(const GfxState* state, double xMin, double yMin, double xMax,
                          double yMax) {
    double cxMin = 0, cyMin = 0, cxMax = 0, cyMax = 0;
    state->getClipBBox(&cxMin, &cyMin, &cxMax, &cyMax);
    const double width = std::min(xMax, cxMax) - std::max(xMin, cxMin);
    const double height = std::min(yMax, cyMax) - std::max(yMin, cyMin);
    return width > 0 && height > 0 ? width * height : 0;
  }

  static double pathPoints(const GfxState* state) {
    const GfxPath* path = state->getPath();
    double points = 1;
    for (int i = 0; i < path->getNumSubpaths(); ++i) points += path->getSubpath(i)->getNumPoints();
    return points;
  }

  static double pathCost(const GfxState* state) {
    const GfxPath* path = state->getPath();
    double xMin = INFINITY, yMin = INFINITY, xMax = -INFINITY, yMax = -INFINITY;
    for (int i = 0; i < path->getNumSubpaths(); ++i) {
      const GfxSubpath* subpath = path->getSubpath(i);
      for (int j = 0; j < subpath->getNumPoints(); ++j) {
        double x = 0, y = 0;
        state->transform(subpath->getX(j), subpath->getY(j), &x, &y);
        xMin = std::min(xMin, x);
        yMin = std::min(yMin, y);
        xMax = std::max(xMax, x);
        yMax = std::max(yMax, y);
      }
    }
    const double pad = state->getTransformedLineWidth() + 1;  // strokes reach past the points
    return pathPoints(state) +
           boxPixels(state, xMin - pad, yMin - pad, xMax + pad, yMax + pad) / 256;
  }

  // The pixels of the glyph's square (its em, either side of the origin, as the glyph's extent is
  // not known here) that the clip lets through; a glyph drawn off the clip costs little.
  static double glyphCost(const GfxState* state, double x, double y) {
    const double side = state->getTransformedFontSize();
    double deviceX = 0, deviceY = 0;
    state->transform(x, y, &deviceX, &deviceY);
    if (!std::isfinite(side)) return 1;
    return 1 +
           boxPixels(state, deviceX - side, deviceY - side, deviceX + side, deviceY + side) / 1024;
  }

  // The samples decoded (judged before any is) and the device pixels the image covers.
  static double imageCost(const GfxState* state, int width, int height, int components) {
    const double samples =
        static_cast<double>(std::max(width, 0)) * std::max(height, 0) * std::max(components, 1);
    double xMin = INFINITY, yMin = INFINITY, xMax = -INFINITY, yMax = -INFINITY;
    for (const auto& [u, v] : {std::pair{0.0, 0.0}, {1.0, 0.0}, {0.0, 1.0}, {1.0, 1.0}}) {
      double x = 0, y = 0;
      state->transform(u, v, &x, &y);
      xMin = std::min(xMin, x);
      yMin = std::min(yMin, y);
      xMax = std::max(xMax, x);
      yMax = std::max(yMax, y);
    }
    return 1 + samples / 128 + boxPixels(state, xMin, yMin, xMax, yMax) / 256;
  }

  // The group last ended is done with (painted, or made a soft mask): whether it was begun.
  bool groupEnded() {
    if (groups_.empty()) return true;
    const double pixels = groups_.back();
    groups_.pop_back();
    if (pixels < 0) return false;
    groupPixels_ -= pixels;
    return true;
  }

  // A quarter of the pixel cap: 128 MiB of group bitmaps, sixteen nested groups the size of an A4
  // page at 144 DPI.
  static constexpr double maxGroupPixels = maxBitmapPixels / 4.0;

  long long budget_ = 0;
  long long work_ = 0;
  std::vector<bool> masksSet_;  // for each image mask set and not yet unset: whether it was drawn
  std::vector<double> groups_;  // for each group begun and not yet done with: its pixels, or -1
                                // when it was not drawn
  double groupPixels_ = 0;      // of the groups drawn and not yet done with
};

}  // namespace

struct PageRenderer::Device {
  Device(PDFDoc& document, SplashColorMode mode, int bytesPerPixel)
      : output(mode, paper), channels(bytesPerPixel) {
    output.setFontAntialias(true);
    output.setVectorAntialias(true);
    output.startDoc(&document);
  }
  SplashColor paper = {0xFF, 0xFF, 0xFF, 0xFF};
  CountingDevice output;
  const int channels;
};

PageRenderer::PageRenderer(PDFDoc& document, std::chrono::milliseconds drawLimit, long long budget)
    : document_(document),
      drawLimit_(drawLimit),
      budget_(budget),
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

PixPtr PageRenderer::renderPage(int pageNumber) {
  // Drawn in colour, such a page would hold its 3-byte drawing and a grey copy at once.
  const std::optional<std::pair<int, int>> size = bitmapSize(pageNumber, renderDPI);
  if (size && readInGrey(size->first, size->second)) return drawInGrey(pageNumber, renderDPI);
  return draw(pageNumber, renderDPI, *colour_);
}

PixPtr PageRenderer::renderSecondDrawing(int pageNumber) {
  return drawInGrey(pageNumber, secondDrawingDPI);
}

PixPtr PageRenderer::drawInGrey(int pageNumber, int dpi) {
  if (!grey_) grey_ = std::make_unique<Device>(document_, splashModeMono8, 1);
  return draw(pageNumber, dpi, *grey_);
}

PixPtr PageRenderer::draw(int pageNumber, int dpi, Device& device) {
  const std::optional<std::pair<int, int>> size = bitmapSize(pageNumber, dpi);
  if (!size) return nullptr;
  const auto [width, height] = *size;
  struct Deadline {
    CountingDevice& device;
    std::chrono::steady_clock::time_point at;
    bool passed = false;
  } deadline{device.output, std::chrono::steady_clock::now() + drawLimit_};
  const auto overdue = [](void* data) {
    auto* state = static_cast<Deadline*>(data);
    state->passed = state->passed || std::chrono::steady_clock::now() >= state->at;
    return state->device.overAfterOperators() || state->passed;
  };
  device.output.startCounting(budget_);
  // A slice of exactly width x height device pixels: left alone, the device rounds the page's
  // size.
  document_.displayPageSlice(&device.output, pageNumber, dpi, dpi, 0,
                             /*useMediaBox=*/true, /*crop=*/false, /*printing=*/false, 0, 0, width,
                             height, overdue, &deadline);
  // Taken from the device even from a page declined, so that it does not stay in memory until the
  // next page.
  const std::unique_ptr<SplashBitmap> bitmap(device.output.takeBitmap());
  if (deadline.passed || device.output.over()) return nullptr;
  if (bitmap == nullptr || bitmap->getWidth() != width || bitmap->getHeight() != height) {
    return nullptr;
  }
  PixPtr pix = pixFromInterleaved(bitmap->getDataPtr(), width, height,
                                  static_cast<std::size_t>(bitmap->getRowSize()), device.channels);
  if (pix && pixSetResolution(pix.get(), dpi, dpi) != 0) return nullptr;
  return pix;
}

}  // namespace quirna
