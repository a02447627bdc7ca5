#include <limits>

#include <gtest/gtest.h>

#include "model/Error.h"
#include "model/Json.h"

namespace quirna {
namespace {

TEST(JsonWriter, WritesCompactSortedKeysAtBothLevels) {
  const std::vector<OCRResult> results = {
      OCRResult{1, "12/05", 0.5, {TextLine{"12/05", 0.125, 0.6875, 0.25, 0.03125}}, 1224, 1584},
      OCRResult{0, "", 0.0, {}, 3, 2}};
  EXPECT_EQ(
      encodeResults(results),
      R"([{"confidence":0.5,"imageHeight":1584,"imageWidth":1224,"lines":[)"
      R"({"height":0.03125,"text":"12\/05","width":0.25,"x":0.125,"y":0.6875}],)"
      R"("pageNumber":1,"text":"12\/05"},)"
      R"({"confidence":0,"imageHeight":2,"imageWidth":3,"lines":[],"pageNumber":0,"text":""}])");
}

TEST(JsonWriter, WritesDoublesInTheirShortestRoundTripForm) {
  struct Case {
    double value;
    const char* json;
  };
  const Case cases[] = {
      {0.1, "0.1"},       {0.30000000000000004, "0.30000000000000004"},
      {1.0, "1"},         {-0.0, "-0.0"},
      {5e-324, "5e-324"}, {std::numeric_limits<double>::max(), "1.7976931348623157e+308"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.json);
    const std::string json = encodeResults({OCRResult{1, "", c.value, {}, 1, 1}});
    EXPECT_EQ(json, std::string(R"([{"confidence":)") + c.json +
                        R"(,"imageHeight":1,"imageWidth":1,"lines":[],"pageNumber":1,"text":""}])");
  }
}

TEST(JsonWriter, EscapesStrings) {
  struct Case {
    const char* text;
    const char* json;
  };
  const Case cases[] = {
      {"12/05", R"("12\/05")"},
      {"say \"hi\"\\\nb\rc\td", R"("say \"hi\"\\\nb\rc\td")"},
      {"\x01\x1f\x7f", "\"\\u0001\\u001f\x7f\""},
      {"Stra\xC3\x9F"
       "e \xE2\x82\xAC \xF0\x9F\x98\x80",
       "\"Stra\xC3\x9F"
       "e \xE2\x82\xAC \xF0\x9F\x98\x80\""},
      // Bytes that are not UTF-8 (a stray byte, a cut sequence, a surrogate) must not make the
      // output line invalid.
      {"a\xFF"
       "b\xC3",
       "\"a\xEF\xBF\xBD"
       "b\xEF\xBF\xBD\""},
      {"\xED\xA0\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(encodeErrorObject(c.text), std::string("{\"error\":") + c.json + "}");
  }
}

TEST(JsonWriter, NonFiniteNumberFailsTheWholeArrayNamingTheValue) {
  const double inf = std::numeric_limits<double>::infinity();
  const TextLine bad{"y", inf, 0, 0, 0};
  try {
    encodeResults({OCRResult{1, "", 0, {}, 1, 1}, OCRResult{2, "", 0, {bad, bad}, 1, 1}});
    FAIL() << "encoded a non-finite number";
  } catch (const EncodingError& error) {
    EXPECT_STREQ(error.what(),
                 "Could not encode [1].lines[0].x: inf is not a number JSON can hold");
  }
}

}  // namespace
}  // namespace quirna
