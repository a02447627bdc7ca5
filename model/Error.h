#pragma once

#include <stdexcept>
#include <string>

namespace quirna {

// Everything the tool throws derives from Error; what() is the text printed under "error".
class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The tool's own refusals. A kind's position is the code its generic message shows; the domain is
// shared by all three.
class OCRError : public Error {
 public:
  enum class Kind { processingFailed = 0, fileNotFound = 1, unsupportedFormat = 2 };

  static constexpr const char* domain = "main.OCRError";

  static OCRError processingFailed(const std::string& message);
  static OCRError fileNotFound();
  static OCRError unsupportedFormat();

 private:
  explicit OCRError(const std::string& description);
};

// The recognition engine could not be set up or could not run; the message names what failed
// (a language model, a setting), as the engine itself reports none.
class EngineError : public Error {
 public:
  using Error::Error;
};

// The engine failed on one bitmap. The PDF source drops that page; everywhere else it ends the run.
class RecognitionError : public EngineError {
 public:
  using EngineError::EngineError;
};

// The result list could not be written as JSON (a number JSON cannot hold).
class EncodingError : public Error {
 public:
  using Error::Error;
};

}  // namespace quirna
