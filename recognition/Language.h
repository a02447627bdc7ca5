#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "recognition/Gutters.h"

namespace quirna {

// The recognition model ("eng", "deu", "fra", "nld") of the one language these lines are plainly
// written in, told by its commonest short words (articles, conjunctions, prepositions), which any
// of the four models reads right whichever language it expects. Empty when the lines hold too few
// of them or two languages come close: code, tables, a few words, a mixed page, another language.
std::optional<std::string_view> plainLanguage(const std::vector<RecognizedLine>& lines);

// Whether `line`, read with the model `model` alone, holds at least two of another language's
// commonest short words and more of them than of its own: a line of a quotation or a summary in a
// second language, which one model reads without that language's accents.
bool showsAnotherLanguage(const RecognizedLine& line, std::string_view model);

// `text` with a web or file address made whole where the engine split it after the scheme
// ("https: //www.debian.org"): in monospaced type the colon's space reads as a word gap, and an
// address never has one there. Only the common schemes, so that prose ("Note: //") is left alone.
std::string withAddressesJoined(std::string text);

// `text` with a web host's "www" made whole where a model read it as three or four of "u" and "w"
// ("wuw.debian.org", "//uww.", "(wwuw."): no host begins so, and the Dutch and French models (now
// and then the German one) read "www" so in some fonts.
std::string withWebHostsMended(std::string text);

}  // namespace quirna
