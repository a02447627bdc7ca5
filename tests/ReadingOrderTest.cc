#include <string>
#include <vector>

#include <gtest/gtest.h>

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
  EXPECT_EQ(textsOf(page), (Texts{"L1", "L2", "Title", "R1", "R2"}));
  EXPECT_EQ(page.text, "L1\nL2\nTitle\nR1\nR2");
  ASSERT_EQ(page.lines.size(), 5u);
  EXPECT_EQ(page.lines[2], (TextLine{"Title", 0.10, 0.90, 0.80, 0.02}));
  // Summed in single precision in the engine's order; in reading order the sum would round to
  // 0.14600001573562621.
  EXPECT_EQ(page.confidence, 0.14600000381469727);
  EXPECT_EQ(reorderByColumns({}).confidence, 0.0);
}

TEST(ReadingOrder, SplitsOnlyWhenCentreGapExceedsThreshold) {
  // Zero-width boxes make the centres exactly the x values: 0.08 - 0.0 is the threshold itself,
  // 0.18 - 0.1 falls just short of it in doubles, 0.28 - 0.2 just beyond. The right-hand line is
  // the higher one, so one column reads it first and a split reads it second.
  struct Case {
    double leftX;
    double rightX;
    bool splits;
  };
  const Case cases[] = {
      {0.0, 0.08, false}, {0.1, 0.18, false}, {0.2, 0.28, true}, {0.1, 0.5, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.leftX << " and " << c.rightX);
    const PageText page =
        reorderByColumns({line("left", c.leftX, 0.0, 0.5), line("right", c.rightX, 0.0, 0.6)});
    EXPECT_EQ(textsOf(page), c.splits ? (Texts{"left", "right"}) : (Texts{"right", "left"}));
  }
}

TEST(ReadingOrder, ThirdColumnIsInterleavedWithSecond) {
  const PageText page = reorderByColumns({
      line("A1", 0.10, 0.10, 0.90),
      line("B1", 0.45, 0.10, 0.85),
      line("C1", 0.80, 0.10, 0.88),
      line("A2", 0.10, 0.10, 0.80),
      line("B2", 0.45, 0.10, 0.75),
      line("C2", 0.80, 0.10, 0.70),
  });
  EXPECT_EQ(textsOf(page), (Texts{"A1", "A2", "C1", "B1", "B2", "C2"}));
}

TEST(ReadingOrder, EqualHeightsKeepTheEnginesOrder) {
  // More lines than an insertion sort handles alone, so an unstable sort would show.
  std::vector<Observation> lines;
  Texts expected;
  for (int i = 0; i < 40; ++i) {
    lines.push_back(line(std::to_string(i), 0.1, 0.3, i % 3 == 0 ? 0.5 : 0.4));
  }
  for (const int height : {0, 1}) {
    for (int i = 0; i < 40; ++i) {
      if ((i % 3 == 0) == (height == 0)) expected.push_back(std::to_string(i));
    }
  }
  EXPECT_EQ(textsOf(reorderByColumns(lines)), expected);
}

}  // namespace
}  // namespace quirna
