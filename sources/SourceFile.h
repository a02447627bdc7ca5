#pragma once

#include <string>

namespace quirna {

class TextRecognizer;

// The first step of both sources: throws OCRError::fileNotFound when nothing exists at `path`
// (a broken symbolic link counts as nothing).
void requireExists(const std::string& path);

// True when `path` names a regular file (after links). Anything else, a directory, a FIFO or a
// device, is refused before it is opened: reading one could block or never end.
bool isRegularFile(const std::string& path);

// The process's one engine, made on first use (loading the language models takes about a second)
// and reused by every page and image. Throws the engine's LibraryError when it cannot be made;
// the next call tries again. Not thread-safe, like the engine itself.
TextRecognizer& sharedRecognizer();

}  // namespace quirna
