#include <bit>
#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "model/Error.h"
#include "model/Json.h"

namespace quirna {
namespace {

OCRResult pageWithText(const std::string& text) {
  return OCRResult{1, text, 0.5, {TextLine{text, 0.125, 0.75, 0.5, 0.03125}}, 1224, 1584};
}

TEST(JsonWriter, WritesCompactSortedKeysAtBothLevels) {
  const std::vector<OCRResult> results = {
      OCRResult{1,
                "Hello\nWorld",
                0.5,
                {TextLine{"Hello", 0.125, 0.75, 0.5, 0.03125},
                 TextLine{"World", 0.125, 0.6875, 0.25, 0.03125}},
                1224,
                1584}};
  EXPECT_EQ(encodeResults(results),
            R"([{"confidence":0.5,"imageHeight":1584,"imageWidth":1224,"lines":[)"
            R"({"height":0.03125,"text":"Hello","width":0.5,"x":0.125,"y":0.75},)"
            R"({"height":0.03125,"text":"World","width":0.25,"x":0.125,"y":0.6875}],)"
            R"("pageNumber":1,"text":"Hello\nWorld"}])");
}

TEST(JsonWriter, WritesEmptyListsAndPages) {
  EXPECT_EQ(encodeResults({}), "[]");
  EXPECT_EQ(encodeResults({OCRResult{0, "", 0.0, {}, 3, 2}}),
            R"([{"confidence":0,"imageHeight":2,"imageWidth":3,"lines":[],"pageNumber":0,)"
            R"("text":""}])");
}

TEST(JsonWriter, EscapesStrings) {
  struct Case {
    const char* text;
    const char* json;
  };
  const Case cases[] = {
      {"12/05", R"("12\/05")"},
      {"say \"hi\"", R"("say \"hi\"")"},
      {"back\\slash", R"("back\\slash")"},
      {"a\nb\rc\td", R"("a\nb\rc\td")"},
      {"\x01\x1f\x7f", "\"\\u0001\\u001f\x7f\""},
      {"Stra\xC3\x9F"
       "e \xC3\xA9t\xC3\xA9 co\xC3\xB6peratie",
       "\"Stra\xC3\x9F"
       "e \xC3\xA9t\xC3\xA9 co\xC3\xB6peratie\""},
      {"\xE2\x82\xAC \xF0\x9F\x98\x80", "\"\xE2\x82\xAC \xF0\x9F\x98\x80\""},
      // Bytes that are not UTF-8 must not make the output line invalid.
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

TEST(JsonWriter, DoublesReadBackBitForBit) {
  const double values[] = {
      0.1,  1e-300, 5e-324, 0.30000000000000004, 1.0,
      -0.0, 1e300,  2.5,    1.0 / 3.0,           std::numeric_limits<double>::max()};
  for (const double value : values) {
    SCOPED_TRACE(value);
    const std::vector<OCRResult> results = {
        OCRResult{1, "t", value, {TextLine{"t", value, value, value, value}}, 1, 1}};
    const std::string json = encodeResults(results);
    const OCRResult back = decodeResults(json).at(0);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(back.confidence), std::bit_cast<std::uint64_t>(value));
    EXPECT_EQ(std::bit_cast<std::uint64_t>(back.lines.at(0).y),
              std::bit_cast<std::uint64_t>(value));
    EXPECT_EQ(json.find(' '), std::string::npos);
  }
}

TEST(JsonWriter, NonFiniteNumberFailsTheWholeArrayNamingTheValue) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  std::vector<OCRResult> results = {pageWithText("fine")};
  results.push_back(OCRResult{
      2, "x", 0.5, {TextLine{"x", 0.1, 0.2, 0.3, 0.4}, TextLine{"y", inf, 0, 0, 0}}, 1, 1});
  try {
    encodeResults(results);
    FAIL() << "encoded a non-finite number";
  } catch (const EncodingError& error) {
    EXPECT_STREQ(error.what(),
                 "Could not encode [1].lines[1].x: inf is not a number JSON can hold");
  }
  EXPECT_THROW(encodeResults({OCRResult{1, "", nan, {}, 1, 1}}), EncodingError);
}

TEST(JsonReader, ReadsBackWhatWasWritten) {
  const std::vector<OCRResult> results = {pageWithText("Caf\xC3\xA9 12/05 \"q\""),
                                          OCRResult{3, "", 0.0, {}, 1190, 1683}};
  EXPECT_EQ(decodeResults(encodeResults(results)), results);
}

TEST(JsonReader, IgnoresUnknownMembers) {
  const OCRResult result = decodeOCRResult(
      R"({"pageNumber":2,"text":"a","confidence":1,"lines":[{"text":"a","x":0,"y":0,"width":1,)"
      R"("height":1,"extra":[1]}],"imageWidth":10,"imageHeight":20,"source":"scan"})");
  EXPECT_EQ(result, (OCRResult{2, "a", 1.0, {TextLine{"a", 0, 0, 1, 1}}, 10, 20}));
}

TEST(JsonReader, RejectsMissingNullAndMistypedMembers) {
  const std::string valid =
      R"({"pageNumber":2,"text":"a","confidence":0.5,"lines":[],"imageWidth":10,"imageHeight":20})";
  ASSERT_NO_THROW(decodeOCRResult(valid));
  struct Case {
    std::string json;
    const char* message;
  };
  const Case cases[] = {
      {R"({"pageNumber":2,"text":"a","confidence":0.5,"lines":[],"imageWidth":10})",
       "Missing key \"imageHeight\""},
      {R"({"pageNumber":null,"text":"a","confidence":0.5,"lines":[],"imageWidth":10,"imageHeight":20})",
       "Null value for key \"pageNumber\""},
      {R"({"pageNumber":2,"text":"a","confidence":"0.5","lines":[],"imageWidth":10,"imageHeight":20})",
       "Expected a number for key \"confidence\""},
      {R"({"pageNumber":2,"text":"a","confidence":0.5,"lines":{},"imageWidth":10,"imageHeight":20})",
       "Expected an array for key \"lines\""},
      {R"({"pageNumber":2.5,"text":"a","confidence":0.5,"lines":[],"imageWidth":10,"imageHeight":20})",
       "Expected a 64-bit integer for key \"pageNumber\""},
      {R"({"pageNumber":2,"text":7,"confidence":0.5,"lines":[],"imageWidth":10,"imageHeight":20})",
       "Expected a string for key \"text\""},
      {R"({"pageNumber":2,"text":"a","confidence":0.5,"lines":[{"text":"a","x":0,"y":0,"width":1}],"imageWidth":10,"imageHeight":20})",
       "Missing key \"height\""},
      {R"([1])", "Expected an object for a page result"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.json);
    try {
      decodeOCRResult(c.json);
      ADD_FAILURE() << "read an invalid record";
    } catch (const DecodingError& error) {
      EXPECT_STREQ(error.what(), c.message);
    }
  }
  EXPECT_THROW(decodeResults("[{"), DecodingError);
  EXPECT_THROW(decodeResults("{}"), DecodingError);
}

TEST(OCRError, KindsHaveTheirCodesAndDescriptions) {
  EXPECT_STREQ(OCRError::processingFailed("Could not load PDF").what(), "Could not load PDF");
  EXPECT_EQ(OCRError::processingFailed("x").code(), 0);
  EXPECT_STREQ(OCRError::fileNotFound().what(),
               "The operation couldn\u2019t be completed. (main.OCRError error 1.)");
  EXPECT_EQ(OCRError::fileNotFound().code(), 1);
  EXPECT_STREQ(OCRError::unsupportedFormat().what(),
               "The operation couldn\u2019t be completed. (main.OCRError error 2.)");
  EXPECT_EQ(OCRError::unsupportedFormat().code(), 2);
}

}  // namespace
}  // namespace quirna
