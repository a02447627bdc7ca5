#pragma once

#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quirna {

struct BatchInput {
  std::string path;  // to open: as listed, or a folder argument joined with the path inside it
  std::string name;  // relative to the input's root; the output is named after it
};

// The inputs of a batch, one at a time and always in the same order, so that separate runs agree
// on positions: the arguments in turn, each folder walked depth-first in byte order of names
// (links to folders are not followed, so no loop), then the manifest's entries. Only the current
// folder of each depth and one manifest entry are held.
//
// A folder argument is the root of the files in it, whatever else is given, so that an input's
// name depends on that input alone; a file argument or manifest entry is named as it stands.
class BatchInputs {
 public:
  // `manifest` (borrowed, may be null) holds paths ended by `separator`; empty entries are
  // skipped, and with line feeds also a final carriage return and lines of only white space.
  // Files in folders are kept when `wanted` accepts their name. `note` is told, in a sentence,
  // of each folder that cannot be listed (`failed`) and of each folder argument without inputs.
  BatchInputs(std::vector<std::string> arguments, std::FILE* manifest, char separator,
              std::function<bool(const std::string&)> wanted,
              std::function<void(const std::string& message, bool failed)> note);
  ~BatchInputs();
  BatchInputs(const BatchInputs&) = delete;
  BatchInputs& operator=(const BatchInputs&) = delete;

  // Empty when there are no more; a manifest that cannot be read further ends the list.
  std::optional<BatchInput> next();

 private:
  struct Folder {
    std::string path;
    std::string name;
    std::vector<std::pair<std::string, bool>> entries;  // name, is a folder (not a link to one)
    std::size_t next = 0;
  };
  void enter(std::string path, std::string name);

  const std::vector<std::string> arguments_;
  std::size_t argument_ = 0;
  std::FILE* manifest_;
  const char separator_;
  const std::function<bool(const std::string&)> wanted_;
  const std::function<void(const std::string&, bool)> note_;
  std::vector<Folder> folders_;  // the walk's current path, innermost last
  std::string argumentFolder_;   // the folder argument being walked, until it yields an input
  char* entry_ = nullptr;        // the manifest's read buffer, from getdelim
  std::size_t entrySize_ = 0;
};

// Where the output for an input named `name` goes, relative to the output folder: the name with
// ".json" added, so that every name gets its own file inside that folder. "." components and
// repeated slashes, which name the same file, are dropped; a leading "/" becomes a first folder
// "%2F", ".." becomes "%2E%2E", and "%", control bytes and bytes outside valid UTF-8 are written
// as "%" and two hex digits. A folder whose name would end in ".json", ".jsonl" or ".tmp" gets
// its last dot written as "%2E", so that no folder takes the name of an output, the index or a
// temporary file. A component longer than 200 bytes once escaped keeps its first 180 bytes (whole
// characters and escapes), then "~" and the 16 hex digits of its FNV-1a-64 hash: names stay within
// what file systems take, and stable and distinct.
std::string outputName(std::string_view name);

}  // namespace quirna
