#include "recognition/ReadingOrder.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <functional>
#include <iterator>
#include <limits>
#include <utility>

namespace quirna {
namespace {

using Lines = std::vector<const Observation*>;

constexpr double infinity = std::numeric_limits<double>::infinity();

// The one expression for a line's centre, so that the value searched for gaps and the value
// tested against the boundary are the same to the last bit.
double centreOf(const Observation& line) { return line.x + line.width * 0.5; }

// Boxes are finite in practice; a NaN would break the sorts' ordering (undefined behaviour), so
// NaN centres sort last and NaN bottoms count as the lowest on the page.
bool centreBefore(double a, double b) { return a < b || (!std::isnan(a) && std::isnan(b)); }

double heightKey(double y) { return std::isnan(y) ? -std::numeric_limits<double>::infinity() : y; }

// How much of the lower of two lines' heights their vertical extents share (0 when apart).
double sharedHeight(const Observation& a, const Observation& b) {
  const double shared = std::min(a.y + a.height, b.y + b.height) - std::max(a.y, b.y);
  const double lower = std::min(a.height, b.height);
  return lower > 0 && shared > 0 ? shared / lower : 0.0;
}

// Their vertical extents overlap by more than half of each one's height.
bool shareARow(const Observation& a, const Observation& b) {
  const double shared = std::min(a.y + a.height, b.y + b.height) - std::max(a.y, b.y);
  return shared > 0.5 * a.height && shared > 0.5 * b.height;
}

bool sideBySide(const Observation& a, const Observation& b) {
  return a.x + a.width <= b.x || b.x + b.width <= a.x;
}

// How `left` stands to `right` at the same height: as the text of a column beside it (it ends
// before `right` begins, across a gutter narrower than itself), as a cell of the same table row
// or a label (across a wider gap, or under half the width of the text beside it), or not at all.
enum class Neighbour { none, column, cell };

// Which gap is tried: the page's first, a later one, or one found only once lines joined across
// a gutter were left out of the centres (where only the joined lines' rule may split).
enum class Gap { firstOfPage, later, underJoinedLines };

Neighbour neighbourOf(const Observation& left, const Observation& right) {
  const double gutter = right.x - (left.x + left.width);
  if (!(gutter >= 0) || !(sharedHeight(left, right) > 1.0 / 3)) return Neighbour::none;
  return gutter < left.width && left.width >= 0.5 * right.width ? Neighbour::column
                                                                : Neighbour::cell;
}

// Whether the lines right of `boundary` form a column of their own. When every one of them also
// begins right of it, they do (two lines far apart are two columns); at any gap but the page's
// first, that takes white down the whole boundary: lines left of it end before it too. Otherwise
// (full-width headings, an abstract) the lines beginning right of it must stand beside the text of
// a left column row by row: most of them, in at least two rows, and most lines left of the
// boundary in such rows. A right-aligned date or signature stands beside nothing, and table cells
// and labels are not text of a column, so a letter or prose with a table stays one column.
bool columnRightOf(const Lines& lines, double boundary, Gap gap) {
  Lines left;
  Lines beginning;
  std::size_t across = 0;      // right of the boundary, but beginning left of it
  std::size_t leftAcross = 0;  // left of the boundary, but ending right of it
  for (const Observation* line : lines) {
    if (centreOf(*line) < boundary) {
      left.push_back(line);
      if (line->x + line->width > boundary) ++leftAcross;
    } else if (line->x >= boundary) {
      beginning.push_back(line);
    } else {
      ++across;
    }
  }
  if (beginning.empty()) return false;
  if (across == 0 && (gap == Gap::firstOfPage || leftAcross == 0)) return true;
  std::vector<bool> paired(left.size(), false);
  std::size_t besideColumn = 0;
  std::size_t besideAny = 0;  // text of a column or a cell
  for (const Observation* right : beginning) {
    // What stands nearest on its left in its row tells: text of a column, or a cell of a row.
    std::size_t nearest = left.size();
    for (std::size_t i = 0; i < left.size(); ++i) {
      if (neighbourOf(*left[i], *right) == Neighbour::none) continue;
      if (nearest == left.size() ||
          left[i]->x + left[i]->width > left[nearest]->x + left[nearest]->width) {
        nearest = i;
      }
    }
    if (nearest == left.size()) continue;
    ++besideAny;
    if (neighbourOf(*left[nearest], *right) == Neighbour::column) {
      ++besideColumn;
      paired[nearest] = true;
    }
  }
  const auto pairedLeft = static_cast<std::size_t>(std::count(paired.begin(), paired.end(), true));
  if (gap != Gap::underJoinedLines && besideColumn >= 2 && 2 * besideColumn > beginning.size() &&
      2 * pairedLeft > left.size()) {
    return true;
  }
  // A column may have a few lines that the engine joined across the gutter (a reference card's):
  // at most one in ten, with most lines beginning right of the boundary beside text, unlike a
  // letter's date, signature or sender block. Inside a side (a card's second gutter), lines from
  // the left joined across count too, so that prose running over a table's cells keeps them rows.
  return 10 * across <= beginning.size() && 2 * besideAny > beginning.size() &&
         (gap == Gap::firstOfPage || 10 * (across + leftAcross) <= lines.size());
}

// Top down; lines side by side that share most of their height are a row, read left to right
// (table cells, whose bottoms differ by a descender). Other lines at the same height keep the
// engine's order.
void readRows(Lines column, Lines& order) {
  std::vector<bool> taken(column.size(), false);
  for (std::size_t i = 0; i < column.size(); ++i) {
    if (taken[i]) continue;
    Lines row{column[i]};
    for (std::size_t j = i + 1; j < column.size(); ++j) {
      if (taken[j]) continue;
      const Observation& line = *column[j];
      const bool fits = std::all_of(row.begin(), row.end(), [&](const Observation* member) {
        return sideBySide(*member, line) && shareARow(*member, line);
      });
      if (!fits) continue;
      row.push_back(&line);
      taken[j] = true;
    }
    std::stable_sort(row.begin(), row.end(), [](const Observation* a, const Observation* b) {
      return centreBefore(a->x, b->x);
    });
    order.insert(order.end(), row.begin(), row.end());
  }
}

// The widest white between `lines` (sorted by `x`) taken together, across the page: where it
// begins and ends (empty when they overlap throughout).
std::pair<double, double> widestGap(const Lines& lines) {
  std::pair<double, double> widest{0.0, 0.0};
  double reach = -infinity;
  for (const Observation* line : lines) {
    if (line->x > reach && reach > -infinity && line->x - reach > widest.second - widest.first) {
      widest = {reach, line->x};
    }
    reach = std::max(reach, line->x + line->width);
  }
  return widest;
}

// White at least this wide between two blocks side by side (a fraction of the page's width): wider
// than a word space of the largest type a column holds.
constexpr double blockGutter = 0.02;
// Lines in a stretch at most: a listing beside its result is shorter than a page; the bound keeps
// a crafted page of thousands of lines from costing the cube of their number.
constexpr std::size_t maxStretch = 64;

// Whether `lines`, top down, follow one another with no more white between two of them than the
// taller one's height: one block of text, not a sender's address above a date.
bool closeSet(const Lines& lines) {
  for (std::size_t i = 1; i < lines.size(); ++i) {
    const Observation& above = *lines[i - 1];
    const Observation& below = *lines[i];
    if (!(above.y - (below.y + below.height) <= std::max(above.height, below.height))) return false;
  }
  return true;
}

// Whether the engine read `left` and `right` as blocks: in its order (lines are kept in it, so
// their addresses follow it), turning from one to the other twice at most.
bool readAsBlocks(const Lines& left, const Lines& right) {
  std::vector<std::pair<const Observation*, bool>> sides;  // a line, and whether it is left
  for (const Observation* line : left) sides.emplace_back(line, true);
  for (const Observation* line : right) sides.emplace_back(line, false);
  std::sort(sides.begin(), sides.end(), [](const auto& a, const auto& b) {
    return std::less<const Observation*>()(a.first, b.first);
  });
  int turns = 0;
  for (std::size_t i = 1; i < sides.size(); ++i) turns += sides[i - 1].second != sides[i].second;
  return turns <= 2;
}

// Between lines that reach over it, a stretch of lines in two close-set blocks side by side (a
// source listing beside what it typesets) is read a block at a time, each top down, where the
// engine read them so; a card's terms beside their explanations, which it reads by turns, and
// blocks whose lines share rows (a table) are read row by row. Two lines at least a side, so that
// a right-aligned date or signature stays where it stands.
void readColumn(Lines column, Lines& order) {
  std::stable_sort(column.begin(), column.end(), [](const Observation* a, const Observation* b) {
    return heightKey(a->y) > heightKey(b->y);
  });
  Lines plain;  // read row by row
  Lines stretch;
  std::size_t begin = 0;
  while (begin < column.size()) {
    // The longest stretch from `begin` with white down between its lines, set close: it ends at
    // white across wider than a line is high.
    std::size_t end = begin + 1;
    std::pair<double, double> gap{0.0, 0.0};
    double bottom = column[begin]->y;
    stretch.assign(1, column[begin]);
    for (; end < column.size() && end - begin < maxStretch; ++end) {
      const Observation* next = column[end];
      if (!(bottom - (next->y + next->height) <= next->height)) break;
      bottom = std::min(bottom, next->y);
      stretch.insert(std::upper_bound(stretch.begin(), stretch.end(), next,
                                      [](const Observation* a, const Observation* b) {
                                        return centreBefore(a->x, b->x);
                                      }),
                     next);
      const auto wider = widestGap(stretch);
      if (!(wider.second - wider.first > blockGutter)) break;
      gap = wider;
    }
    Lines left;
    Lines right;
    for (std::size_t i = begin; i < end; ++i) {
      (column[i]->x < gap.first ? left : right).push_back(column[i]);
    }
    const auto inRows = std::count_if(left.begin(), left.end(), [&](const Observation* l) {
      return std::any_of(right.begin(), right.end(),
                         [&](const Observation* r) { return shareARow(*l, *r); });
    });
    if (left.size() < 2 || right.size() < 2 || !closeSet(left) || !closeSet(right) ||
        2 * static_cast<std::size_t>(inRows) >= std::min(left.size(), right.size()) ||
        !readAsBlocks(left, right)) {
      plain.push_back(column[begin++]);
      continue;
    }
    readRows(plain, order);
    plain.clear();
    readRows(left, order);
    readRows(right, order);
    begin = end;
  }
  readRows(plain, order);
}

// What lies above the columns' first row, left of where the right column begins: read before the
// columns when two lines or more of it reach over the gutter (an abstract, a title with its
// subtitle, and the names centred under them); a single title over both keeps to its side.
struct Head {
  double bottom = infinity;  // the top of the columns' first row; infinity: no head
  double rightBegins = infinity;
  bool holds(const Observation& line) const { return line.y >= bottom && line.x < rightBegins; }
};

Head headOf(const Lines& lines, double boundary) {
  Head head;
  double bodyTop = -infinity;
  for (const Observation* right : lines) {
    if (!(right->x >= boundary)) continue;
    for (const Observation* left : lines) {
      if (centreOf(*left) < boundary && left->x + left->width <= right->x &&
          sharedHeight(*left, *right) > 1.0 / 3) {
        bodyTop = std::max(bodyTop, right->y + right->height);
        head.rightBegins = std::min(head.rightBegins, right->x);
      }
    }
  }
  const auto spanning = std::count_if(lines.begin(), lines.end(), [&](const Observation* line) {
    return line->x < boundary && line->x + line->width > head.rightBegins && line->y >= bodyTop;
  });
  if (spanning >= 2) head.bottom = bodyTop;
  return head;
}

void readColumns(const Lines& lines, bool wholePage, Lines& order);

// Type under this share of the page's common line height is small: a footnote's.
constexpr double smallType = 0.85;

double medianHeight(const Lines& lines) {
  std::vector<double> heights;
  for (const Observation* line : lines) {
    if (!std::isnan(line->height)) heights.push_back(line->height);
  }
  return medianOf(std::move(heights));
}

// A column's footnotes: its lowest lines, in type smaller than the page's text, under more white
// than a line is high (the footnote rule's), and below every other line of the columns. They are
// read after the last column, so that text running on from one column into the next is not cut
// by them. Moves them from the sides to `notes`.
void takeFootnotes(const std::vector<Lines*>& sides, double textHeight, Lines& notes) {
  std::vector<Lines> sorted;      // each side top down
  std::vector<std::size_t> body;  // how many of them are text, above the notes
  for (const Lines* side : sides) {
    Lines down = *side;
    std::stable_sort(down.begin(), down.end(), [](const Observation* a, const Observation* b) {
      return heightKey(a->y) > heightKey(b->y);
    });
    // Up from the bottom through small type; the notes begin under its highest white wider than a
    // line is high (the rule's, or that between the notes and a page number).
    std::size_t first = down.size();
    std::size_t notesBegin = down.size();
    while (first > 0 && down[first - 1]->height < smallType * textHeight) {
      --first;
      if (first > 0 && down[first - 1]->y - (down[first]->y + down[first]->height) > textHeight) {
        notesBegin = first;
      }
    }
    body.push_back(notesBegin);
    sorted.push_back(std::move(down));
  }
  // Once a side's notes are refused, its lowest lines are text, so the others are looked at again.
  for (bool changed = true; changed;) {
    changed = false;
    double textBottom = infinity;
    for (std::size_t s = 0; s < sorted.size(); ++s) {
      if (body[s] > 0) textBottom = std::min(textBottom, sorted[s][body[s] - 1]->y);
    }
    for (std::size_t s = 0; s < sorted.size(); ++s) {
      const Lines& down = sorted[s];
      if (body[s] < down.size() && !(down[body[s]]->y + down[body[s]]->height < textBottom)) {
        body[s] = down.size();
        changed = true;
      }
    }
  }
  for (std::size_t s = 0; s < sorted.size(); ++s) {
    Lines taken(sorted[s].begin() + static_cast<std::ptrdiff_t>(body[s]), sorted[s].end());
    if (taken.empty()) continue;
    std::sort(taken.begin(), taken.end(), std::less<const Observation*>());
    const auto isNote = [&](const Observation* line) {
      return std::binary_search(taken.begin(), taken.end(), line, std::less<const Observation*>());
    };
    Lines& side = *sides[s];
    std::copy_if(side.begin(), side.end(), std::back_inserter(notes), isNote);
    side.erase(std::remove_if(side.begin(), side.end(), isNote), side.end());
  }
}

// Splits at the first wide gap between the given centres that a column lies right of, and reads
// each side the same way, so no two columns are ever interleaved (three columns read one after the
// other). False when no gap splits.
bool splitAtAGap(const Lines& lines, std::vector<double> centres, Gap first, bool wholePage,
                 Lines& order) {
  std::sort(centres.begin(), centres.end(), centreBefore);
  bool firstGap = true;
  for (std::size_t k = 0; k + 1 < centres.size(); ++k) {
    if (!(centres[k + 1] - centres[k] > columnGapThreshold)) continue;
    const double boundary = (centres[k] + centres[k + 1]) * 0.5;
    const Gap gap = first == Gap::firstOfPage && !firstGap ? Gap::later : first;
    const bool split = columnRightOf(lines, boundary, gap);
    firstGap = false;
    if (!split) continue;
    // Both columns must keep lines below the head, or it is not above them.
    const Head above = gap == Gap::firstOfPage ? headOf(lines, boundary) : Head{};
    Lines head;
    Lines left;
    Lines right;
    for (const bool withHead : {above.bottom < infinity, false}) {
      head.clear();
      left.clear();
      right.clear();
      for (const Observation* line : lines) {
        if (withHead && above.holds(*line)) {
          head.push_back(line);
        } else {
          (centreOf(*line) < boundary ? left : right).push_back(line);
        }
      }
      if (head.empty() || (!left.empty() && !right.empty())) break;
    }
    Lines notes;
    if (wholePage) takeFootnotes({&left, &right}, medianHeight(lines), notes);
    if (!head.empty()) readColumns(head, false, order);
    readColumns(left, false, order);
    readColumns(right, false, order);
    if (!notes.empty()) readColumns(notes, false, order);
    return true;
  }
  return false;
}

// A line the engine joined across a gutter can fill the gap between two columns' centres, and so
// can a chain of short pieces (a card's commands beside their explanations); when no gap splits,
// the gaps are looked for again among the lines from half to twice the median width.
void readColumns(const Lines& lines, bool wholePage, Lines& order) {
  std::vector<double> centres;
  std::vector<double> widths;
  for (const Observation* line : lines) {
    centres.push_back(centreOf(*line));
    if (!std::isnan(line->width)) widths.push_back(line->width);
  }
  if (splitAtAGap(lines, centres, wholePage ? Gap::firstOfPage : Gap::later, wholePage, order)) {
    return;
  }
  if (!widths.empty()) {
    const double median = medianOf(std::move(widths));
    centres.clear();
    for (const Observation* line : lines) {
      if (line->width >= 0.5 * median && line->width <= 2 * median) {
        centres.push_back(centreOf(*line));
      }
    }
    if (centres.size() < lines.size() &&
        splitAtAGap(lines, centres, Gap::underJoinedLines, wholePage, order)) {
      return;
    }
  }
  readColumn(lines, order);
}

}  // namespace

PageText reorderByColumns(const std::vector<Observation>& lines) {
  if (lines.empty()) return PageText{"", {}, 0.0};

  Lines collected;
  collected.reserve(lines.size());
  for (const Observation& line : lines) collected.push_back(&line);
  Lines order;
  order.reserve(lines.size());
  readColumns(collected, true, order);

  PageText page;
  page.lines.reserve(order.size());
  for (std::size_t i = 0; i < order.size(); ++i) {
    const Observation& line = *order[i];
    if (i > 0) page.text += '\n';
    page.text += line.text;
    page.lines.push_back(TextLine{line.text, line.x, line.y, line.width, line.height});
  }
  // Summed in single precision and in collection order, whatever the reading order.
  float sum = 0.0f;
  for (const Observation& line : lines) sum += line.confidence;
  page.confidence = static_cast<double>(sum) / static_cast<double>(lines.size());
  return page;
}

}  // namespace quirna
