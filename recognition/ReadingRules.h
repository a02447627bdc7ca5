#pragma once

#include <cstdint>
#include <vector>

#include "recognition/Bitmap.h"
#include "recognition/LineRecords.h"

// Decisions of the recognizer that need no engine run, declared apart for their tests.

namespace quirna {

// A page is read in bands of about this much ink (about ten lines of body text at 144 DPI; a full
// page has 100,000 to 150,000); one with less than two bands' worth is read in one pass: neither a
// second engine nor a language model of its own would earn its start-up.
constexpr std::int32_t inkPerBand = 30'000;

// A thinner band would hold a sliver of a line at most (32 rows are 16 pt at 144 DPI: one line of
// body type with its leading); the engine fails outright on 3 to 6 rows.
constexpr int minBandHeight = 32;

// However dense the page: a full page of body text makes 3 to 5 bands, and more, thinner bands
// would each start the engine's layout pass again for fewer lines.
constexpr int maxBands = 8;

// Rows [top, bottom) of the bitmap.
struct Band {
  int top;
  int bottom;

  bool operator==(const Band&) const = default;
};

// The engine holds about three copies of the band it reads, and two engines read at once: a band of
// more pixels than this is cut again, so that memory stays within that of the largest page. Pages
// of up to an eighth of the pixel cap (A4 at 400 DPI) are never cut for it.
constexpr long long maxBandPixels = maxBitmapPixels / 8;

// The page (`width` pixels wide) cut across at white rows (no ink in `inkPerRow`) into bands of
// about equal ink, top to bottom, from the page's `ink` in all, which sets their number
// (inkPerBand each, at most maxBands). No line of text crosses a cut, so each band reads as the
// page would there; a page without such rows (a noisy photo) stays whole. A band over
// maxBandPixels is cut again at the lowest white row that keeps it within them, or straight across
// where there is none (noise).
std::vector<Band> cutIntoBands(const std::vector<std::int32_t>& inkPerRow, std::int32_t ink,
                               int width);

// Whether a first reading (`lines`, in pixels of a 144-DPI bitmap) shows type that reads better
// from a finer second drawing (see the .cc for the measurements).
bool isSmallType(const std::vector<RecognizedLine>& lines);

// Where a reading (`lines`, in pixels of `ink`, 1 bpp) left letters out: blobs of ink of a
// letter's size outside every line, when there are three or more, gathered into areas of letters
// within a line's height of each other. None when there are fewer, or more areas than
// maxLeftOutAreas (noise).
std::vector<PixelBox> leftOutAreas(const Pix* ink, const std::vector<RecognizedLine>& lines);
constexpr std::size_t maxLeftOutAreas = 16;

}  // namespace quirna
