#include <algorithm>
#include <cstddef>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "recognition/ReadingOrder.h"

namespace quirna {
namespace {

LineInfo line(const std::string& text, double x, double width, double y, float confidence = 1.0f) {
  return LineInfo{text, x, y, width, 0.02, confidence};
}

Observation observation(std::optional<std::string> text, double x, double width, double y,
                        float confidence) {
  return Observation{std::move(text), x, y, width, 0.02, confidence};
}

std::vector<std::string> textsOf(const PageText& page) {
  std::vector<std::string> texts;
  for (const TextLine& textLine : page.lines) texts.push_back(textLine.text);
  return texts;
}

using Texts = std::vector<std::string>;

TEST(ReadingOrder, ReadsLeftColumnThenRightColumnOfWorkedExample) {
  const std::vector<Observation> observations{
      observation("Title", 0.10, 0.80, 0.90, 1.0f),      observation("L1", 0.10, 0.35, 0.80, 0.5f),
      observation(std::nullopt, 0.60, 0.10, 0.95, 0.9f), observation("R1", 0.55, 0.35, 0.80, 0.75f),
      observation("L2", 0.10, 0.30, 0.75, 0.5f),         observation("R2", 0.55, 0.30, 0.75, 0.25f),
  };
  const PageText page = reorderByColumns(observations);

  EXPECT_EQ(textsOf(page), (Texts{"L1", "L2", "Title", "R1", "R2"}));
  EXPECT_EQ(page.text, "L1\nL2\nTitle\nR1\nR2");
  // Only lines with a candidate count, summed in single precision, then divided in double.
  EXPECT_EQ(page.confidence, 0.6);
  ASSERT_EQ(page.lines.size(), 5u);
  EXPECT_EQ(page.lines[2], (TextLine{"Title", 0.10, 0.90, 0.80, 0.02}));
}

TEST(ReadingOrder, SplitsOnlyWhenCentreGapExceedsThreshold) {
  // Zero-width boxes make the centres exactly the x values, so the cases sit on the double
  // difference: 0.18 - 0.1 falls just short of 0.08, 0.28 - 0.2 just beyond it. The right-hand
  // line is the higher one, so one column reads it first and a split reads it second.
  struct Case {
    double leftX;
    double rightX;
    bool splits;
  };
  const Case cases[] = {
      {0.0, 0.08, false},
      {0.1, 0.18, false},
      {0.2, 0.28, true},
      {0.1, 0.5, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.leftX << " and " << c.rightX);
    const PageText page =
        orderLines({line("left", c.leftX, 0.0, 0.5), line("right", c.rightX, 0.0, 0.6)});
    EXPECT_EQ(textsOf(page), c.splits ? (Texts{"left", "right"}) : (Texts{"right", "left"}));
  }
}

TEST(ReadingOrder, ThirdColumnIsInterleavedWithSecond) {
  const PageText page = orderLines({
      line("A1", 0.10, 0.10, 0.90),
      line("B1", 0.45, 0.10, 0.85),
      line("C1", 0.80, 0.10, 0.88),
      line("A2", 0.10, 0.10, 0.80),
      line("B2", 0.45, 0.10, 0.75),
      line("C2", 0.80, 0.10, 0.70),
  });
  EXPECT_EQ(textsOf(page), (Texts{"A1", "A2", "C1", "B1", "B2", "C2"}));
}

TEST(ReadingOrder, EqualHeightsKeepCollectionOrder) {
  const PageText page = orderLines({
      line("right b", 0.60, 0.30, 0.50),
      line("left b", 0.10, 0.30, 0.50),
      line("right a", 0.60, 0.30, 0.50),
      line("left a", 0.10, 0.30, 0.50),
      line("left c", 0.10, 0.30, 0.50),
  });
  EXPECT_EQ(textsOf(page), (Texts{"left b", "left a", "left c", "right b", "right a"}));
}

TEST(ReadingOrder, EmptyCandidateIsStillALine) {
  const PageText page = reorderByColumns({
      observation("first", 0.1, 0.5, 0.9, 0.5f),
      observation("", 0.1, 0.5, 0.8, 1.0f),
      observation(std::nullopt, 0.1, 0.5, 0.75, 1.0f),
      observation("third", 0.1, 0.5, 0.7, 0.0f),
  });
  EXPECT_EQ(page.text, "first\n\nthird");
  EXPECT_EQ(page.lines.size(), 3u);
  EXPECT_EQ(page.confidence, 0.5);
}

TEST(ReadingOrder, NoCandidatesGiveEmptyPage) {
  const std::vector<std::vector<Observation>> inputs{
      {},
      {observation(std::nullopt, 0.1, 0.5, 0.5, 0.9f)},
  };
  for (const auto& observations : inputs) {
    SCOPED_TRACE(observations.size());
    const PageText page = reorderByColumns(observations);
    EXPECT_EQ(page.text, "");
    EXPECT_TRUE(page.lines.empty());
    EXPECT_EQ(page.confidence, 0.0);
  }
}

TEST(ReadingOrder, SmallCentreStepsNeverSplitHoweverWideTheSpread) {
  // Centres climb across the whole page in steps no wider than the threshold, and each line sits
  // higher than the one to its left: one column reads them right to left.
  std::mt19937 random(11);
  std::uniform_real_distribution<double> step(0.0, 0.079);
  std::vector<LineInfo> lines;
  double centre = 0.0;
  for (int i = 0; centre < 0.95; ++i) {
    lines.push_back(line(std::to_string(i), centre, 0.0, 0.01 * i));
    centre += step(random);
  }
  ASSERT_GT(lines.back().x, 0.85);

  const PageText page = orderLines(lines);
  std::vector<std::string> expected;
  for (auto it = lines.rbegin(); it != lines.rend(); ++it) expected.push_back(it->text);
  EXPECT_EQ(textsOf(page), expected);
}

}  // namespace
}  // namespace quirna
