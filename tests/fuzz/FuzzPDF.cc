// The PDF loader and page drawing on arbitrary bytes. Recognition is replaced by counting the
// bitmaps it would be given, so that the fuzzer spends its time in the loaders.
#include <leptonica/allheaders.h>
#include <poppler/PDFDoc.h>

#include "recognition/Bitmap.h"
#include "sources/PageRasteriser.h"
#include "tests/fuzz/FuzzTarget.h"

namespace {

// Enough pages to reach shared resources and page-tree oddities without drawing whole books.
constexpr int maxPagesDrawn = 4;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string path = quirna::fuzz::scratchFile(data, size, "pdf");
  const quirna::PDFDocPtr document = quirna::openDocument(path);
  if (!document) return 0;
  quirna::PageRasteriser rasteriser(*document);
  int recognised = 0;
  const int pages = document->getNumPages();
  for (int page = 1; page <= pages && page <= maxPagesDrawn; ++page) {
    const quirna::PixPtr pix = rasteriser.cgImageRepresentation(page);
    if (!pix) continue;
    if (static_cast<long long>(pixGetWidth(pix.get())) * pixGetHeight(pix.get()) >
        quirna::maxBitmapPixels) {
      quirna::fuzz::fail("page bitmap over the cap");
    }
    ++recognised;
  }
  return recognised >= 0 ? 0 : 1;
}
