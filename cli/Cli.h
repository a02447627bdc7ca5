#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "model/OCRResult.h"
#include "sources/DocumentPages.h"

namespace quirna {

// A document source: the path as the user gave it in, the document opened as pages for a
// recognition pool (the tool's own, or the batch's shared one), or an exception.
using PageSource = std::function<std::unique_ptr<DocumentPages>(const std::string& filePath)>;

struct DispatchEntry {
  std::string_view extension;  // lower-case, without the dot
  PageSource pages;
};

// Ordered; the first equal extension decides.
using DispatchTable = std::vector<DispatchEntry>;

const DispatchTable& dispatchTable();

// The entry for `filePath`'s extension. Throws OCRError::unsupportedFormat when there is none.
const DispatchEntry& dispatch(const std::string& filePath, const DispatchTable& table);

// What follows the final dot of the last path component, ASCII lower-cased; trailing slashes are
// not a component. Empty when that component has no dot.
std::string pathExtension(std::string_view path);

// The cores this process may run on (its affinity mask), at least 1.
unsigned usableCores();

// Writes all of `bytes` to `fd`; false when the descriptor refuses them.
bool writeAll(int fd, std::string_view bytes);

// The text and one line feed, in one write to standard error.
void writeToStderr(std::string_view message);

struct Outcome {
  std::string line;  // the one stdout line, without its line feed
  int status;
  std::string error = "";  // the description in an error line; empty on success
};

// The line and status for a document: what `recognize` returns, or what it throws. Catches
// everything: this is the only place errors end up.
Outcome outcomeOf(const std::function<std::vector<OCRResult>()>& recognize);

// Dispatches `filePath` through `table` and turns what the source returns or throws into the
// output line and exit status.
Outcome runSource(const std::string& filePath, const DispatchTable& table);

// The whole process: argument test, dispatch, one line on stdout. Returns the exit status; a
// failed write to stdout makes it 1.
int runMain(int argc, const char* const* argv, const DispatchTable& table);

}  // namespace quirna
