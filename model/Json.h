#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "model/OCRResult.h"

namespace quirna {

// The tool's output form: compact, members in ascending key order, doubles in their shortest
// round-trip form, "/" escaped, non-ASCII as raw UTF-8. Throws EncodingError, naming the value,
// when a number is not finite; nothing is returned then.
std::string encodeResults(const std::vector<OCRResult>& results);

// A JSON string in the same form; a byte that is not part of valid UTF-8 becomes U+FFFD.
std::string encodeString(std::string_view text);

// {"error":"<description>"}.
std::string encodeErrorObject(std::string_view description);

}  // namespace quirna
