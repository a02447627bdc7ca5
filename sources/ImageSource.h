#pragma once

#include <memory>
#include <string>

#include "recognition/Bitmap.h"
#include "sources/DocumentPages.h"
#include "sources/SourceFile.h"

namespace quirna {

// The first image of `file` (which it takes), decoded as stored (no orientation applied), in
// whatever depth, colour map and alpha it has. The format is told by the content, not the name.
// Null when it cannot be decoded or is over the pixel cap (judged from the header, before the
// pixels are decoded). While it runs, the C `stderr` stream of the whole process points at
// /dev/null (the decoders' own messages have no other off switch); descriptor 2 is untouched.
PixPtr decodeFirstImage(SourceFile file);
// The same for the file at `path`.
PixPtr decodeFirstImage(const std::string& path);

// The first image as page 0, for recognizing elsewhere: at most one result. Throws
// OCRError::fileNotFound or OCRError::processingFailed("Could not load image"); the engine's
// failure on it ends the document with the engine's error unchanged.
std::unique_ptr<DocumentPages> openImagePages(const std::string& path);

}  // namespace quirna
