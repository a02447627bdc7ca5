// The PDF loader and page drawing on arbitrary bytes: no crash, leak, hang or output (the drawing
// checks its own bitmap cap). Recognition is left out, so that the fuzzer spends its time in the
// loaders.
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
    renderer.renderPage(page);
  }
  return 0;
}
