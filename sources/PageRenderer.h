#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "recognition/Bitmap.h"

class PDFDoc;

namespace quirna {

// Pages are drawn at two device pixels per PDF unit (144 DPI); type too small to read there is
// read from a drawing at twice that.
constexpr int renderDPI = 144;
constexpr int sharperDPI = 288;

struct PDFDocDeleter {
  void operator()(PDFDoc* document) const noexcept;
};
using PDFDocPtr = std::unique_ptr<PDFDoc, PDFDocDeleter>;

// The document at `path` with Poppler's messages silenced, or null when it cannot be opened
// (not a PDF, damaged beyond repair, or locked by a user password).
PDFDocPtr openDocument(const std::string& path);

// Draws pages of one open document onto opaque white bitmaps, from their media box. Borrows the
// document, which must outlive it. Poppler documents are not thread-safe: one owner draws.
class PageRenderer {
 public:
  // A page still drawing after `drawLimit` is abandoned and declined, so that a file built to
  // take forever cannot hold the run.
  explicit PageRenderer(PDFDoc& document,
                        std::chrono::milliseconds drawLimit = std::chrono::seconds(60));
  ~PageRenderer();
  PageRenderer(const PageRenderer&) = delete;
  PageRenderer& operator=(const PageRenderer&) = delete;

  // The page (1-based) as a 32-bit RGB bitmap of trunc(2 x media width) by trunc(2 x media
  // height) pixels at renderDPI, sides swapped for a page turned by 90 or 270 degrees. Null when
  // the page cannot be drawn: no such page, an empty or absurd box, over the pixel cap, or too
  // slow.
  PixPtr renderPage(int pageNumber);

  // The page as renderPage draws it but at sharperDPI, in 8-bit grey (a quarter of the memory of
  // colour, which the engine would turn to grey anyway); null as renderPage declines.
  PixPtr renderSharper(int pageNumber);

 private:
  struct Device;
  // trunc(dpi / 72 x the media box) in pixels, turned with the page; empty when it cannot be
  // drawn.
  std::optional<std::pair<int, int>> bitmapSize(int pageNumber, int dpi) const;
  PixPtr draw(int pageNumber, int dpi, Device& device);

  PDFDoc& document_;
  std::chrono::milliseconds drawLimit_;
  std::unique_ptr<Device> colour_;
  std::unique_ptr<Device> grey_;  // made when first needed
};

}  // namespace quirna
