#pragma once

#include <string>
#include <vector>

#include "model/OCRResult.h"

namespace quirna {

// One result per page that yields text, in page order, numbered from 1. Throws
// OCRError::fileNotFound or OCRError::processingFailed("Could not load PDF").
std::vector<OCRResult> extractTextFromPDF(const std::string& path);

}  // namespace quirna
