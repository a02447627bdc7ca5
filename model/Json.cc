#include "model/Json.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>

#include "model/Error.h"

namespace quirna {

std::size_t utf8SequenceLength(std::string_view s, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char lead = byte(i);
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // overlong
    if (lead == 0xED) high = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // overlong
    if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
  } else {
    return 0;
  }
  if (i + length > s.size()) return 0;
  if (byte(i + 1) < low || byte(i + 1) > high) return 0;
  for (std::size_t k = 2; k < length; ++k) {
    if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
  }
  return length;
}

namespace {

void writeString(std::string& out, std::string_view s) {
  static constexpr char hex[] = "0123456789abcdef";
  out += '"';
  for (std::size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c >= 0x80) {
      // Library text is not guaranteed to be UTF-8; a stray byte must not make the line invalid.
      const std::size_t length = utf8SequenceLength(s, i);
      if (length == 0) {
        out += "\xEF\xBF\xBD";
        ++i;
      } else {
        out.append(s.substr(i, length));
        i += length;
      }
      continue;
    }
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '/':
        out += "\\/";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20) {
          out += "\\u00";
          out += hex[c >> 4];
          out += hex[c & 0xF];
        } else {
          out += static_cast<char>(c);
        }
    }
    ++i;
  }
  out += '"';
}

void writeInteger(std::string& out, std::int64_t value) {
  char buffer[24];
  const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, end);
}

// `where` is only built when the value fails, so the common path allocates nothing for it.
template <typename Where>
void writeDouble(std::string& out, double value, Where where) {
  if (!std::isfinite(value)) {
    char text[8];
    const auto [end, ec] = std::to_chars(text, text + sizeof text, value);
    // Appended rather than `"..." + std::string&&`: GCC 12 at -O3 warns falsely (-Wrestrict) on
    // the latter's insert at the front.
    std::string message = "Could not encode ";
    message.append(where()).append(": ").append(text, end).append(" is not a number JSON can hold");
    throw EncodingError(message);
  }
  if (value == 0.0 && std::signbit(value)) {
    out += "-0.0";  // "-0" reads back as the integer 0 in many readers, losing the sign
    return;
  }
  char buffer[32];
  const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, end);
}

// Members follow each other with a comma; the first of an object has none.
void writeKey(std::string& out, const char* key, bool first = false) {
  if (!first) out += ',';
  out += '"';
  out += key;
  out += "\":";
}

void writeLine(std::string& out, const TextLine& line, std::size_t page, std::size_t index) {
  const auto where = [&](const char* key) {
    return [=] {
      std::string path = "[";
      path.append(std::to_string(page)).append("].lines[").append(std::to_string(index));
      path.append("].").append(key);
      return path;
    };
  };
  writeKey(out, "height", true);
  writeDouble(out, line.height, where("height"));
  writeKey(out, "text");
  writeString(out, line.text);
  writeKey(out, "width");
  writeDouble(out, line.width, where("width"));
  writeKey(out, "x");
  writeDouble(out, line.x, where("x"));
  writeKey(out, "y");
  writeDouble(out, line.y, where("y"));
}

void writeResult(std::string& out, const OCRResult& result, std::size_t page) {
  writeKey(out, "confidence", true);
  writeDouble(out, result.confidence, [=] {
    std::string path = "[";
    path.append(std::to_string(page)).append("].confidence");
    return path;
  });
  writeKey(out, "imageHeight");
  writeInteger(out, result.imageHeight);
  writeKey(out, "imageWidth");
  writeInteger(out, result.imageWidth);
  writeKey(out, "lines");
  out += '[';
  for (std::size_t i = 0; i < result.lines.size(); ++i) {
    if (i > 0) out += ',';
    out += '{';
    writeLine(out, result.lines[i], page, i);
    out += '}';
  }
  out += ']';
  writeKey(out, "pageNumber");
  writeInteger(out, result.pageNumber);
  writeKey(out, "text");
  writeString(out, result.text);
}

}  // namespace

std::string encodeResults(const std::vector<OCRResult>& results) {
  std::string out = "[";
  for (std::size_t i = 0; i < results.size(); ++i) {
    if (i > 0) out += ',';
    out += '{';
    writeResult(out, results[i], i);
    out += '}';
  }
  out += ']';
  return out;
}

std::string encodeString(std::string_view text) {
  std::string out;
  writeString(out, text);
  return out;
}

std::string encodeErrorObject(std::string_view description) {
  std::string out = "{\"error\":";
  writeString(out, description);
  out += '}';
  return out;
}

}  // namespace quirna
