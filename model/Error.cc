#include "model/Error.h"

namespace quirna {
namespace {

// The generic wording callers already see for the kinds that carry no message.
std::string genericDescription(int code) {
  return std::string("The operation couldn\u2019t be completed. (") + OCRError::domain + " error " +
         std::to_string(code) + ".)";
}

}  // namespace

OCRError::OCRError(Kind kind, const std::string& description) : Error(description), kind_(kind) {}

OCRError OCRError::processingFailed(const std::string& message) {
  return OCRError(Kind::processingFailed, message);
}

OCRError OCRError::fileNotFound() {
  return OCRError(Kind::fileNotFound, genericDescription(static_cast<int>(Kind::fileNotFound)));
}

OCRError OCRError::unsupportedFormat() {
  return OCRError(Kind::unsupportedFormat,
                  genericDescription(static_cast<int>(Kind::unsupportedFormat)));
}

}  // namespace quirna
