#pragma once

#include <vector>

#include "recognition/LineRecords.h"

namespace quirna {

// The engine sometimes joins the lines of two columns into one when the gutter is narrow or the
// columns short. Such a line is split where a gap between two words is a gutter: much wider than
// the line's word spacing, white in the neighbouring lines at the same x, with text on both sides
// there, and with at least three words on each side (a table row's short cells stay together).
// Each part gets its words' text joined by spaces, the hull of their boxes and the mean of their
// confidences; parts follow each other left to right. Lines without such a gap are left as they
// are.
std::vector<RecognizedLine> splitAtGutters(std::vector<RecognizedLine> lines);

}  // namespace quirna
