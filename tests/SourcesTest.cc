#include <gtest/gtest.h>
#include <leptonica/allheaders.h>

#include "sources/PageRasteriser.h"
#include "tests/TestSupport.h"

namespace quirna {
namespace {

using test::PDFPage;

// Renders page 1 of a one-page document made from `page`.
PixPtr renderOnly(const PDFPage& page) {
  test::TempDir dir;
  test::writeFile(dir / "page.pdf", test::makePDF({page}));
  const PDFDocPtr document = openDocument((dir / "page.pdf").string());
  if (!document) throw std::runtime_error("generated PDF did not open");
  PageRasteriser rasteriser(*document);
  return rasteriser.cgImageRepresentation(1);
}

TEST(PageRasteriser, SizesTheBitmapFromTheMediaBoxTruncated) {
  struct Case {
    const char* what;
    PDFPage page;
    int width;
    int height;
  };
  const Case cases[] = {
      {"US Letter", {"[0 0 612 792]"}, 1224, 1584},
      {"A4", {"[0 0 595.276 841.89]"}, 1190, 1683},
      {"reversed corners", {"[612 792 0 0]"}, 1224, 1584},
      {"origin away from zero", {"[100 -50 712 742]"}, 1224, 1584},
      {"crop box smaller than media box",
       {"[0 0 612 792]", {}, "/CropBox [0 0 300 300]"},
       1224,
       1584},
      {"turned a quarter", {"[0 0 612 792]", {}, "/Rotate 90"}, 1584, 1224},
      {"turned three quarters", {"[0 0 595.276 841.89]", {}, "/Rotate 270"}, 1683, 1190},
      {"turned a half", {"[0 0 612 792]", {}, "/Rotate 180"}, 1224, 1584},
      {"one unit", {"[0 0 1 1]"}, 2, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const PixPtr pix = renderOnly(c.page);
    ASSERT_TRUE(pix);
    EXPECT_EQ(pixGetWidth(pix.get()), c.width);
    EXPECT_EQ(pixGetHeight(pix.get()), c.height);
    EXPECT_EQ(pixGetDepth(pix.get()), 32);
  }
}

TEST(PageRasteriser, DeclinesPagesWithoutAReasonableSize) {
  const char* boxes[] = {
      "[0 0 0.4 792]",                  // under one pixel wide
      "[0 0 612 0.2]",                  // under one pixel high
      "[0 0 20000 100]",                // a side over the engine's limit
      "[0 0 14400 14400]",              // over the pixel cap
      "[0 0 100000000000000000000 1]",  // absurd
  };
  for (const char* box : boxes) {
    SCOPED_TRACE(box);
    EXPECT_FALSE(renderOnly(PDFPage{box}));
  }
}

TEST(PageRasteriser, PaintsAnEmptyPageOpaqueWhite) {
  const PixPtr pix = renderOnly(PDFPage{"[0 0 100 50]"});
  ASSERT_TRUE(pix);
  l_uint32 count = 0;
  PixPtr grey(pixConvertRGBToLuminance(pix.get()));
  PixPtr dark(pixThresholdToBinary(grey.get(), 255));
  pixCountPixels(dark.get(), reinterpret_cast<l_int32*>(&count), nullptr);
  EXPECT_EQ(count, 0u);
}

TEST(PageRasteriser, DrawsTheTopOfThePageAtTheTop) {
  const PixPtr pix = renderOnly(PDFPage{"[0 0 200 200]", {{10, 170, 20, "HIGH"}}});
  ASSERT_TRUE(pix);
  PixPtr grey(pixConvertRGBToLuminance(pix.get()));
  PixPtr dark(pixThresholdToBinary(grey.get(), 128));
  BOX* box = nullptr;
  ASSERT_EQ(pixClipToForeground(dark.get(), nullptr, &box), 0);
  l_int32 x = 0, y = 0, w = 0, h = 0;
  boxGetGeometry(box, &x, &y, &w, &h);
  boxDestroy(&box);
  // Capitals standing on a baseline 30 units below the top edge: ink from about 16 to 30 units
  // down, twice that in pixels. Drawn upside down it would sit near the bottom.
  EXPECT_GT(y, 20);
  EXPECT_LT(y + h, 70);
  EXPECT_GT(x, 15);
}

TEST(PageRasteriser, RefusesWhatIsNotAPDF) {
  test::TempDir dir;
  test::writeFile(dir / "report.pdf", "Dear reader,\nthis is text.\n");
  EXPECT_FALSE(openDocument((dir / "report.pdf").string()));
  EXPECT_FALSE(openDocument((dir / "missing.pdf").string()));
}

}  // namespace
}  // namespace quirna
