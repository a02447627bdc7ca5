#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "recognition/Gutters.h"

namespace quirna {

// The recognition model ("eng", "deu", "fra", "nld") of the one language these lines are plainly
// written in, told by its commonest short words (articles, conjunctions, prepositions), which any
// of the four models reads right whichever language it expects. Empty when the lines hold too few
// of them or two languages come close: code, tables, a few words, a mixed page, another language.
std::optional<std::string_view> plainLanguage(const std::vector<RecognizedLine>& lines);

}  // namespace quirna
