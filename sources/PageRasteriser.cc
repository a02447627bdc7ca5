#include "sources/PageRasteriser.h"

namespace quirna {

struct PageRasteriser::Device {};

PageRasteriser::PageRasteriser(PDFDoc& document) : document_(document) {}
PageRasteriser::~PageRasteriser() = default;
PixPtr PageRasteriser::cgImageRepresentation(int) { return nullptr; }

}  // namespace quirna
