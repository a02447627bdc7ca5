#include "model/Error.h"

namespace quirna {
namespace {

// The generic wording callers already see for the kinds that carry no message.
std::string genericDescription(OCRError::Kind kind) {
  return std::string("The operation couldn\u2019t be completed. (") + OCRError::domain + " error " +
         std::to_string(static_cast<int>(kind)) + ".)";
}

}  // namespace

OCRError::OCRError(const std::string& description) : Error(description) {}

OCRError OCRError::processingFailed(const std::string& message) { return OCRError(message); }

OCRError OCRError::fileNotFound() { return OCRError(genericDescription(Kind::fileNotFound)); }

OCRError OCRError::unsupportedFormat() {
  return OCRError(genericDescription(Kind::unsupportedFormat));
}

}  // namespace quirna
