#pragma once

#include <string>

namespace quirna {

// The first step of both sources: throws OCRError::fileNotFound when nothing exists at `path`
// (a broken symbolic link counts as nothing).
void requireExists(const std::string& path);

// True when `path` names a regular file (after links). Anything else, a directory, a FIFO or a
// device, is refused before it is opened: reading one could block or never end.
bool isRegularFile(const std::string& path);

}  // namespace quirna
