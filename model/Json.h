#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "model/OCRResult.h"

namespace quirna {

// The tool's output form: compact, members in ascending key order, doubles in their shortest
// round-trip form, "/" escaped, non-ASCII as raw UTF-8. Throws EncodingError, naming the value,
// when a number is not finite; nothing is returned then.
std::string encodeResults(const std::vector<OCRResult>& results);

// Length of the well-formed UTF-8 sequence at text[i], or 0 when none starts there.
std::size_t utf8SequenceLength(std::string_view text, std::size_t i);

// A JSON string in the same form; a byte that is not part of valid UTF-8 becomes U+FFFD.
std::string encodeString(std::string_view text);

// {"error":"<description>"}.
std::string encodeErrorObject(std::string_view description);

}  // namespace quirna
