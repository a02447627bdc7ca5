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

// The image source's engine, made on first use (loading the language models takes a while) and
// kept for the process. PDF pages use engines of their own, one per worker. Throws the engine's
// EngineError when it cannot be made; the next call tries again. Not thread-safe, like the engine
// itself.
TextRecognizer& sharedRecognizer();

}  // namespace quirna
