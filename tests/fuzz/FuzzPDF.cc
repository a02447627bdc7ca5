// The PDF loader and page drawing on arbitrary bytes; recognition is left out, so that the fuzzer
// spends its time in the loaders.
#include <leptonica/allheaders.h>
#include <poppler/PDFDoc.h>

#include "sources/PageRenderer.h"
#include "tests/fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const quirna::PDFDocPtr document =
      quirna::openDocument(quirna::fuzz::scratchFile(data, size, "pdf"));
  if (!document) return 0;
  quirna::PageRenderer renderer(*document);
  // Enough pages to reach shared resources and page-tree oddities without drawing whole books.
  for (int page = 1; page <= document->getNumPages() && page <= 4; ++page) {
    const quirna::PixPtr pix = renderer.renderPage(page);
    if (pix && !quirna::withinBitmapCap(pixGetWidth(pix.get()), pixGetHeight(pix.get()))) {
      quirna::fuzz::fail("page bitmap outside the cap");
    }
  }
  return 0;
}
