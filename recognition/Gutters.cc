#include "recognition/Gutters.h"

#include <algorithm>

namespace quirna {
namespace {

// Measured on generated two-column pages (gutters 2 % to 12 % of the page, ragged and justified,
// two fonts) and table pages; see the README's section on reading order.
constexpr int minWordsPerSide = 3;
constexpr double minGapToSpacing = 2.0;   // a gutter against the line's median word gap
constexpr double minGapToHeight = 0.5;    // and against the line's height
constexpr double minStripToHeight = 0.4;  // the white strip shared with the neighbouring lines
constexpr double neighbourhood = 2.5;     // line heights above and below that count as neighbours

int height(const PixelBox& box) { return box.bottom - box.top; }

int medianGap(const std::vector<RecognizedWord>& words) {
  std::vector<int> gaps;
  for (std::size_t i = 0; i + 1 < words.size(); ++i) {
    gaps.push_back(words[i + 1].box.left - words[i].box.right);
  }
  std::nth_element(gaps.begin(), gaps.begin() + static_cast<std::ptrdiff_t>(gaps.size() / 2),
                   gaps.end());
  return std::max(gaps[gaps.size() / 2], 1);
}

// True when the columns from `left` to `right` hold a run of at least `minWidth` columns that no
// word of the neighbouring lines covers, with neighbouring words wholly left and wholly right of
// that run: a white strip through text.
bool whiteStripThrough(const std::vector<const RecognizedWord*>& neighbours, int left, int right,
                       int minWidth) {
  if (right - left < minWidth) return false;
  std::vector<bool> covered(static_cast<std::size_t>(right - left), false);
  for (const RecognizedWord* word : neighbours) {
    for (int x = std::max(word->box.left, left); x < std::min(word->box.right, right); ++x) {
      covered[static_cast<std::size_t>(x - left)] = true;
    }
  }
  int runStart = left;
  for (int x = left; x <= right; ++x) {
    if (x < right && !covered[static_cast<std::size_t>(x - left)]) continue;
    if (x - runStart >= minWidth) {
      const auto leftOf = [&](const RecognizedWord* word) { return word->box.right <= runStart; };
      const auto rightOf = [&](const RecognizedWord* word) { return word->box.left >= x; };
      if (std::any_of(neighbours.begin(), neighbours.end(), leftOf) &&
          std::any_of(neighbours.begin(), neighbours.end(), rightOf)) {
        return true;
      }
    }
    runStart = x + 1;
  }
  return false;
}

// Whether the lines near a gap from `left` to `right` stand in columns on either side of it: at
// least two end before it and two begin after it, and fewer run over it than either.
bool betweenColumns(const std::vector<const RecognizedLine*>& nearLines, int left, int right) {
  std::size_t before = 0;
  std::size_t after = 0;
  std::size_t over = 0;
  for (const RecognizedLine* line : nearLines) {
    if (line->box.right <= right) {
      ++before;
    } else if (line->box.left >= left) {
      ++after;
    } else {
      ++over;
    }
  }
  return before >= 2 && after >= 2 && over < std::min(before, after);
}

RecognizedLine partOf(const std::vector<RecognizedWord>& words, std::size_t begin,
                      std::size_t end) {
  RecognizedLine part{"", words[begin].box, 0.0f, {}};
  float sum = 0.0f;
  for (std::size_t i = begin; i < end; ++i) {
    const RecognizedWord& word = words[i];
    if (i > begin) part.text += ' ';
    part.text += word.text;
    part.box.left = std::min(part.box.left, word.box.left);
    part.box.top = std::min(part.box.top, word.box.top);
    part.box.right = std::max(part.box.right, word.box.right);
    part.box.bottom = std::max(part.box.bottom, word.box.bottom);
    sum += word.confidence;
    part.words.push_back(word);
  }
  part.confidence = sum / static_cast<float>(end - begin);
  return part;
}

// Where `line` splits: the index of the first word of each part after the first.
std::vector<std::size_t> gutters(const RecognizedLine& line,
                                 const std::vector<RecognizedLine>& lines) {
  const std::vector<RecognizedWord>& words = line.words;
  if (words.size() < 2) return {};
  const int h = height(line.box);
  std::vector<const RecognizedWord*> neighbours;
  std::vector<const RecognizedLine*> nearLines;
  for (const RecognizedLine& other : lines) {
    if (&other == &line) continue;
    if (other.box.bottom < line.box.top - neighbourhood * h ||
        other.box.top > line.box.bottom + neighbourhood * h) {
      continue;
    }
    nearLines.push_back(&other);
    for (const RecognizedWord& word : other.words) neighbours.push_back(&word);
  }
  if (neighbours.empty()) return {};
  const int spacing = words.size() > 2 ? medianGap(words) : h;
  std::vector<std::size_t> splits;
  std::size_t partStart = 0;
  for (std::size_t i = 1; i < words.size(); ++i) {
    const int left = words[i - 1].box.right;
    const int right = words[i].box.left;
    const int gap = right - left;
    if (gap < minGapToSpacing * spacing || gap < minGapToHeight * h) continue;
    if (!whiteStripThrough(neighbours, left, right, static_cast<int>(minStripToHeight * h))) {
      continue;
    }
    // Fewer words a side where the neighbouring lines stop at the strip, as a page's columns do,
    // and do not run over it, as a table's rows that the engine read whole do.
    const std::size_t least =
        gap >= h && betweenColumns(nearLines, left, right) ? 1 : minWordsPerSide;
    if (i - partStart < least || words.size() - i < least) continue;
    splits.push_back(i);
    partStart = i;
  }
  return splits;
}

std::vector<RecognizedLine> splitOnce(const std::vector<RecognizedLine>& lines) {
  std::vector<RecognizedLine> result;
  for (const RecognizedLine& line : lines) {
    const std::vector<std::size_t> splits = gutters(line, lines);
    if (splits.empty()) {
      result.push_back(line);
      continue;
    }
    std::size_t begin = 0;
    for (const std::size_t split : splits) {
      result.push_back(partOf(line.words, begin, split));
      begin = split;
    }
    result.push_back(partOf(line.words, begin, line.words.size()));
  }
  return result;
}

}  // namespace

// Where the engine joined most lines near the top of two columns, the joined lines hide that the
// lines stand in columns; once the long ones are split, a heading or a paragraph's last word
// joined across the gutter is split too, and so on until nothing more splits. The bench's cards
// settle within seven rounds; the bound keeps a crafted page from taking a round per line.
std::vector<RecognizedLine> splitAtGutters(std::vector<RecognizedLine> lines) {
  constexpr int maxRounds = 16;
  for (int round = 1; round < maxRounds; ++round) {
    std::vector<RecognizedLine> split = splitOnce(lines);
    if (split.size() == lines.size()) return split;
    lines = std::move(split);
  }
  return splitOnce(lines);
}

}  // namespace quirna
