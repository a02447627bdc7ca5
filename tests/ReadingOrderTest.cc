#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "recognition/Gutters.h"
#include "recognition/ReadingOrder.h"

namespace quirna {
namespace {

using Texts = std::vector<std::string>;

Observation line(const std::string& text, double x, double width, double y,
                 float confidence = 1.0f) {
  return Observation{text, x, y, width, 0.02, confidence};
}

Texts textsOf(const PageText& page) {
  Texts texts;
  for (const TextLine& textLine : page.lines) texts.push_back(textLine.text);
  return texts;
}

TEST(ReadingOrder, ReadsLeftColumnThenRightColumnOfWorkedExample) {
  const PageText page = reorderByColumns({
      line("Title", 0.10, 0.80, 0.90, 0.1f),
      line("L1", 0.10, 0.35, 0.80, 0.1f),
      line("R1", 0.55, 0.35, 0.80, 0.1f),
      line("L2", 0.10, 0.30, 0.75, 0.33f),
      line("R2", 0.55, 0.30, 0.75, 0.1f),
  });
  EXPECT_EQ(page.text, "L1\nL2\nTitle\nR1\nR2");
  ASSERT_EQ(page.lines.size(), 5u);
  EXPECT_EQ(page.lines[2], (TextLine{"Title", 0.10, 0.90, 0.80, 0.02}));
  // Summed in single precision in the engine's order; in reading order the sum would round to
  // 0.14600001573562621.
  EXPECT_EQ(page.confidence, 0.14600000381469727);
  EXPECT_EQ(reorderByColumns({}).confidence, 0.0);
}

TEST(ReadingOrder, OrdersPagesByTheirColumns) {
  struct Case {
    const char* what;
    std::vector<Observation> lines;
    Texts order;
  };
  const Case cases[] = {
      // Zero-width boxes make the centres the x values: 0.08 - 0.0 is the threshold itself,
      // 0.18 - 0.1 falls just short of it in doubles, 0.28 - 0.2 just beyond.
      {"gap of the threshold", {line("l", 0.0, 0, 0.5), line("r", 0.08, 0, 0.6)}, {"r", "l"}},
      {"gap just short", {line("l", 0.1, 0, 0.5), line("r", 0.18, 0, 0.6)}, {"r", "l"}},
      {"gap just wider", {line("l", 0.2, 0, 0.5), line("r", 0.28, 0, 0.6)}, {"l", "r"}},
      {"three columns, one after another",
       {line("A1", 0.1, 0.1, 0.9), line("B1", 0.45, 0.1, 0.85), line("C1", 0.8, 0.1, 0.88),
        line("A2", 0.1, 0.1, 0.8), line("B2", 0.45, 0.1, 0.75), line("C2", 0.8, 0.1, 0.7)},
       {"A1", "A2", "B1", "B2", "C1", "C2"}},
      // An abstract as long as the right column: the right column stands beside the left one,
      // and the abstract, under its title and over its date, is read first.
      {"two columns under a long abstract",
       {line("Abs 1", 0.1, 0.8, 0.95), line("Abs 2", 0.1, 0.8, 0.93), line("Abs 3", 0.1, 0.8, 0.91),
        line("L1", 0.1, 0.35, 0.85), line("R1", 0.55, 0.35, 0.85), line("L2", 0.1, 0.35, 0.8),
        line("R2", 0.55, 0.35, 0.8), line("L3", 0.1, 0.35, 0.75), line("Title", 0.3, 0.4, 0.97),
        line("Date", 0.45, 0.1, 0.885)},
       {"Title", "Abs 1", "Abs 2", "Abs 3", "Date", "L1", "L2", "L3", "R1", "R2"}},
      {"a letter with a right-aligned date and signature",
       {line("Dear Sir,", 0.1, 0.15, 0.9), line("Full line 1", 0.1, 0.8, 0.85),
        line("Full line 2", 0.1, 0.8, 0.8), line("7 December", 0.7, 0.2, 0.95),
        line("Yours", 0.1, 0.1, 0.75), line("A. Signer", 0.7, 0.2, 0.7)},
       {"7 December", "Dear Sir,", "Full line 1", "Full line 2", "Yours", "A. Signer"}},
      {"labels beside their text in prose",
       {line("Prose 1", 0.1, 0.8, 0.9), line("Name", 0.1, 0.1, 0.85),
        line("the text of a definition", 0.3, 0.6, 0.85), line("Size", 0.1, 0.08, 0.8),
        line("another text beside it", 0.3, 0.6, 0.8), line("Prose 2", 0.1, 0.8, 0.75)},
       {"Prose 1", "Name", "the text of a definition", "Size", "another text beside it",
        "Prose 2"}},
      // The cells' bottoms differ by a descender; the engine gives them in another order.
      {"rows of cells in prose",
       {line("Prose above the table", 0.1, 0.8, 0.9), line("see", 0.45, 0.06, 0.801),
        Observation{"\\seename", 0.1, 0.797, 0.15, 0.024, 1}, line("voir", 0.65, 0.06, 0.8),
        line("\\indexname", 0.1, 0.15, 0.75), line("index", 0.65, 0.06, 0.75),
        line("Index", 0.45, 0.06, 0.752), line("Prose below the table", 0.1, 0.8, 0.7)},
       {"Prose above the table", "\\seename", "see", "voir", "\\indexname", "Index", "index",
        "Prose below the table"}},
      // A tilted photo's hull boxes overlap their neighbours' heights, but not side by side.
      {"tilted lines of one column",
       {Observation{"first", 0.1, 0.80, 0.8, 0.05, 1},
        Observation{"second", 0.1, 0.77, 0.8, 0.05, 1},
        Observation{"third", 0.1, 0.74, 0.8, 0.05, 1}},
       {"first", "second", "third"}},
      // Short lines (a heading, a paragraph's last line, a closing) start at the margin of the
      // full ones: the first wide centre gap lies between them, yet the page is one column.
      {"one column with short lines",
       {line("Heading", 0.1, 0.3, 0.9), line("full 1", 0.1, 0.8, 0.85),
        line("end 1", 0.1, 0.2, 0.8), line("full 2", 0.1, 0.8, 0.75),
        line("full 3", 0.1, 0.79, 0.7), line("Regards", 0.1, 0.15, 0.65)},
       {"Heading", "full 1", "end 1", "full 2", "full 3", "Regards"}},
      {"two columns under full-width headings",
       {line("Head", 0.1, 0.8, 0.95), line("L1", 0.1, 0.35, 0.9), line("R1", 0.55, 0.35, 0.9),
        line("L2", 0.1, 0.3, 0.85), line("R2", 0.55, 0.35, 0.85), line("Head 2", 0.1, 0.8, 0.8),
        line("L3", 0.1, 0.35, 0.75), line("R3", 0.55, 0.3, 0.75), line("R4", 0.55, 0.35, 0.7)},
       {"L1", "L2", "L3", "Head", "R1", "R2", "Head 2", "R3", "R4"}},
      // Notes in smaller type under white at the columns' foot come after both columns, so that
      // text running on from one column into the next stays whole; a paragraph's last line in
      // smaller letters ("end.") stays in its column.
      {"footnotes under two columns",
       {line("L1", 0.1, 0.35, 0.9), line("R1", 0.55, 0.35, 0.9), line("L2", 0.1, 0.35, 0.85),
        line("R2", 0.55, 0.35, 0.85), line("L3", 0.1, 0.35, 0.8),
        Observation{"end.", 0.1, 0.78, 0.05, 0.014, 1}, line("R3", 0.55, 0.35, 0.8),
        Observation{"*note", 0.1, 0.1, 0.35, 0.014, 1},
        Observation{"-1-", 0.49, 0.05, 0.02, 0.012, 1},
        Observation{"+note", 0.55, 0.1, 0.35, 0.014, 1}},
       {"L1", "L2", "L3", "end.", "R1", "R2", "R3", "*note", "+note", "-1-"}},
      // Short pieces (a card's single words) whose centres chain across the gutter.
      {"two columns under a chain of short pieces",
       {line("L1", 0.05, 0.35, 0.9), line("R1", 0.55, 0.35, 0.9), line("L2", 0.05, 0.35, 0.85),
        line("R2", 0.55, 0.35, 0.85), line("L3", 0.05, 0.35, 0.8), line("R3", 0.55, 0.35, 0.8),
        line("p30", 0.29, 0.02, 0.5), line("p37", 0.36, 0.02, 0.49), line("p44", 0.43, 0.02, 0.48),
        line("p51", 0.5, 0.02, 0.47), line("p58", 0.57, 0.02, 0.46)},
       {"L1", "L2", "L3", "p30", "p37", "p44", "R1", "R2", "R3", "p51", "p58"}},
      // A listing beside what it typesets, at another line pitch, under a heading after white:
      // read a block at a time where the engine read it so, by turns where it read by turns (a
      // card's terms beside their explanations).
      {"a listing beside its result",
       {line("P1", 0.1, 0.8, 0.95), line("P2", 0.1, 0.8, 0.925), line("P3", 0.1, 0.8, 0.9),
        line("L1", 0.1, 0.3, 0.85), line("L2", 0.1, 0.3, 0.825), line("L3", 0.1, 0.3, 0.8),
        line("R1", 0.5, 0.35, 0.8375), line("R2", 0.5, 0.35, 0.8125),
        line("Heading", 0.1, 0.2, 0.74), line("P4", 0.1, 0.8, 0.7), line("P5", 0.1, 0.8, 0.675),
        line("P6", 0.1, 0.8, 0.65)},
       {"P1", "P2", "P3", "L1", "L2", "L3", "R1", "R2", "Heading", "P4", "P5", "P6"}},
      {"terms beside their explanations",
       {line("P1", 0.1, 0.8, 0.95), line("P2", 0.1, 0.8, 0.925), line("P3", 0.1, 0.8, 0.9),
        line("L1", 0.1, 0.3, 0.85), line("R1", 0.5, 0.35, 0.8375), line("L2", 0.1, 0.3, 0.825),
        line("R2", 0.5, 0.35, 0.8125), line("L3", 0.1, 0.3, 0.8), line("Heading", 0.1, 0.2, 0.74),
        line("P4", 0.1, 0.8, 0.7), line("P5", 0.1, 0.8, 0.675), line("P6", 0.1, 0.8, 0.65)},
       {"P1", "P2", "P3", "L1", "R1", "L2", "R2", "L3", "Heading", "P4", "P5", "P6"}},
      // Not a number sorts last and counts as the bottom of the page, rather than breaking the
      // sorts' ordering.
      {"a box not a number",
       {line("nan", std::nan(""), 0.1, std::nan("")), line("a", 0.1, 0.1, 0.5)},
       {"a", "nan"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(textsOf(reorderByColumns(c.lines)), c.order);
  }
  // Cards of three columns, one entry joined across the second gutter: the last two columns are
  // still not interleaved, whether the middle one holds only short entries or the joined entry
  // fills the gap between the columns' centres.
  struct Card {
    double middleWidth, lastX, joinedWidth;
    int joinedColumn;  // the side of the gutter its centre lies on
  };
  for (const Card& c : {Card{0.05, 0.7, 0.5, 2}, Card{0.12, 0.55, 0.25, 1}}) {
    std::vector<Observation> card;
    Texts order[3];
    for (int row = 0; row < 11; ++row) {
      const double y = 0.9 - 0.03 * row;
      const std::string n = std::to_string(row);
      card.push_back(line("A" + n, 0.05, 0.2, y));
      order[0].push_back("A" + n);
      if (row == 0) {
        card.push_back(line("B0 C0", 0.4, c.joinedWidth, y));
        order[c.joinedColumn].push_back("B0 C0");
        continue;
      }
      card.push_back(line("B" + n, 0.4, c.middleWidth, y));
      card.push_back(line("C" + n, c.lastX, 0.1, y));
      order[1].push_back("B" + n);
      order[2].push_back("C" + n);
    }
    for (const Texts& column : {order[1], order[2]}) {
      order[0].insert(order[0].end(), column.begin(), column.end());
    }
    SCOPED_TRACE(c.lastX);
    EXPECT_EQ(textsOf(reorderByColumns(card)), order[0]);
  }
}

TEST(ReadingOrder, EqualHeightsKeepTheEnginesOrder) {
  // More lines than an insertion sort handles alone, so an unstable sort would show.
  std::vector<Observation> lines;
  Texts high, low;  // the lines at each height, in the engine's order
  for (int i = 0; i < 40; ++i) {
    lines.push_back(line(std::to_string(i), 0.1, 0.3, i % 3 ? 0.4 : 0.5));
    (i % 3 ? low : high).push_back(std::to_string(i));
  }
  high.insert(high.end(), low.begin(), low.end());
  const Texts& expected = high;
  EXPECT_EQ(textsOf(reorderByColumns(lines)), expected);
}

// Lines of words given by their left and right edges, each line 20 px high, 30 px below the one
// before it; the texts the engine's lines become once split at gutters.
TEST(Gutters, SplitsLinesJoinedAcrossAColumnsGutterOnly) {
  using Words = std::vector<std::pair<int, int>>;
  const auto lineOf = [](const Words& words, int row) {
    RecognizedLine line{
        "", {words.front().first, 30 * row, words.back().second, 30 * row + 20}, 90, {}};
    for (const auto& [left, right] : words) {
      line.words.push_back({std::to_string(left), {left, 30 * row, right, 30 * row + 20}, 90});
      line.text += (line.text.empty() ? "" : " ") + std::to_string(left);
    }
    return line;
  };
  const Words left{{100, 150}, {160, 220}};
  const Words right{{400, 450}, {460, 520}};
  Words both = left;
  both.insert(both.end(), right.begin(), right.end());
  // Two columns, their second rows joined by the engine; then a table whose rows it read whole.
  std::vector<RecognizedLine> columns;
  std::vector<RecognizedLine> table;
  for (int row = 0; row < 4; ++row) {
    if (row == 1) {
      columns.push_back(lineOf(both, row));
    } else {
      columns.push_back(lineOf(left, row));
      columns.push_back(lineOf(right, row));
    }
    table.push_back(lineOf(both, row));
  }
  Texts texts;
  for (const RecognizedLine& line : splitAtGutters(columns)) texts.push_back(line.text);
  EXPECT_EQ(texts, (Texts{"100 160", "400 460", "100 160", "400 460", "100 160", "400 460",
                          "100 160", "400 460"}));
  EXPECT_EQ(splitAtGutters(table).size(), table.size());
  // All rows joined, the last a one-word heading beside the right column's text: once the other
  // rows are split, the heading stands between columns too.
  const Words left3{{100, 150}, {160, 220}, {230, 290}};
  const Words right3{{400, 450}, {460, 520}, {530, 590}};
  Words heading{{100, 150}};
  heading.insert(heading.end(), right3.begin(), right3.end());
  Words wide = left3;
  wide.insert(wide.end(), right3.begin(), right3.end());
  std::vector<RecognizedLine> joined{lineOf(wide, 0), lineOf(wide, 1), lineOf(wide, 2),
                                     lineOf(heading, 3)};
  EXPECT_EQ(splitAtGutters(joined).size(), 8u);
}

}  // namespace
}  // namespace quirna
