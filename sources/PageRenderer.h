#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "recognition/Bitmap.h"
#include "sources/SourceFile.h"

class GooFile;
class PDFDoc;

namespace quirna {

// Pages are drawn at two device pixels per PDF unit (144 DPI); type too small to read there is
// read from a second drawing at twice that.
constexpr int renderDPI = 144;
constexpr int secondDrawingDPI = 288;

// Drawing work a page may take, in units of about a microsecond of drawing (see PageRenderer): 160
// times what the costliest born-digital page measured takes at 288 DPI, 6 times a 600-DPI colour
// A4 scan.
constexpr long long drawingBudget = 5'000'000;

struct PDFDocDeleter {
  std::shared_ptr<GooFile> file;  // what the document reads from; outlives it
  void operator()(PDFDoc* document) const noexcept;
};
using PDFDocPtr = std::unique_ptr<PDFDoc, PDFDocDeleter>;

// The document read from `file` (which it takes) with Poppler's messages silenced, or null when
// none is open or it cannot be opened as a PDF (not one, damaged beyond repair, or locked by a
// user password).
PDFDocPtr openDocument(SourceFile file);
// The same for the file at `path`.
PDFDocPtr openDocument(const std::string& path);

// Draws pages of one open document onto opaque white bitmaps, from their media box. Borrows the
// document, which must outlive it. Poppler documents are not thread-safe: one thread at a time
// draws.
class PageRenderer {
 public:
  // A page whose drawing passes `budget` units of work is abandoned and declined, so that a file
  // built to take forever cannot hold the run. The work is counted where the drawing is done
  // (paths by their points and the pixels they may touch, glyphs and images by their area, images
  // also by their samples, judged before any is decoded), so the same page is declined on every
  // machine; `drawLimit` of wall time is only a backstop far above any page within the budget.
  explicit PageRenderer(PDFDoc& document,
                        std::chrono::milliseconds drawLimit = std::chrono::minutes(3),
                        long long budget = drawingBudget);
  ~PageRenderer();
  PageRenderer(const PageRenderer&) = delete;
  PageRenderer& operator=(const PageRenderer&) = delete;

  // The page (1-based) as a 32-bit RGB bitmap of trunc(2 x media width) by trunc(2 x media
  // height) pixels at renderDPI, sides swapped for a page turned by 90 or 270 degrees; in 8-bit
  // grey when it is too large to keep in colour (readInGrey). Null when
  // the page cannot be drawn: no such page, an empty or absurd box, over the pixel cap, or over
  // the budget.
  PixPtr renderPage(int pageNumber);

  // The page as renderPage draws it but at secondDrawingDPI, in 8-bit grey (a quarter of the memory
  // of colour, which the engine would turn to grey anyway); null as renderPage declines.
  PixPtr renderSecondDrawing(int pageNumber);

 private:
  struct Device;
  // trunc(dpi / 72 x the media box) in pixels, turned with the page; empty when it cannot be
  // drawn.
  std::optional<std::pair<int, int>> bitmapSize(int pageNumber, int dpi) const;
  PixPtr draw(int pageNumber, int dpi, Device& device);
  PixPtr drawInGrey(int pageNumber, int dpi);

  PDFDoc& document_;
  std::chrono::milliseconds drawLimit_;
  long long budget_;
  std::unique_ptr<Device> colour_;
  std::unique_ptr<Device> grey_;  // made when first needed
};

}  // namespace quirna
