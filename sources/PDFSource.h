#pragma once

#include <memory>
#include <string>
#include <vector>

#include "model/OCRResult.h"
#include "sources/DocumentPages.h"

namespace quirna {

// One result per page that yields text, in page order, numbered from 1. Pages that cannot be
// drawn or recognized, or that hold no text, are left out. Pages are recognized on up to `workers`
// threads (0 counts as 1); the result is the same for any number. Throws OCRError::fileNotFound,
// OCRError::processingFailed("Could not load PDF"), or EngineError when no engine can start.
std::vector<OCRResult> extractTextFromPDF(const std::string& path, unsigned workers);

// The document's pages, numbered from 1, for recognizing elsewhere; a page the engine fails on is
// left out. Throws as extractTextFromPDF does before its first page.
std::unique_ptr<DocumentPages> openPDFPages(const std::string& path);

}  // namespace quirna
