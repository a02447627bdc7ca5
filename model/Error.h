#pragma once

#include <stdexcept>
#include <string>

namespace quirna {

// Everything the tool throws derives from Error; what() is the text printed under "error".
class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The tool's own refusals. Codes are the kinds' positions; the domain is shared by all three.
class OCRError : public Error {
 public:
  enum class Kind { processingFailed = 0, fileNotFound = 1, unsupportedFormat = 2 };

  static constexpr const char* domain = "main.OCRError";

  static OCRError processingFailed(const std::string& message);
  static OCRError fileNotFound();
  static OCRError unsupportedFormat();

  Kind kind() const noexcept { return kind_; }
  int code() const noexcept { return static_cast<int>(kind_); }

 private:
  OCRError(Kind kind, const std::string& description);
  Kind kind_;
};

// A C library's failure, carrying the library's own message unchanged.
class LibraryError : public Error {
 public:
  using Error::Error;
};

// The engine failed on one bitmap. The PDF source drops that page; everywhere else it ends the run.
class RecognitionError : public LibraryError {
 public:
  using LibraryError::LibraryError;
};

// The result list could not be written as JSON (a number JSON cannot hold).
class EncodingError : public Error {
 public:
  using Error::Error;
};

// A JSON record could not be read back.
class DecodingError : public Error {
 public:
  using Error::Error;
};

}  // namespace quirna
