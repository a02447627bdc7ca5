#include "recognition/TextRecognizer.h"

#include "model/Error.h"

namespace quirna {

struct TextRecognizer::Engine {};

TextRecognizer::TextRecognizer(const std::string&) { throw LibraryError("not built yet"); }
TextRecognizer::~TextRecognizer() = default;
std::vector<Observation> TextRecognizer::recognizeText(const Pix*, int) { return {}; }

}  // namespace quirna
