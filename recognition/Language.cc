#include "recognition/Language.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstddef>
#include <iterator>
#include <string>

namespace quirna {
namespace {

// Words of one language only: those shared by two of them ("in", "de", "en", "die", "is", "als",
// "des", "du", "je", "on", "was") say nothing.
struct Language {
  std::string_view model;
  std::array<std::string_view, 26> words;
};

constexpr Language languages[] = {
    {"eng", {"the",  "and", "to",   "that", "for",  "it",  "with",  "as",   "be",
             "this", "are", "by",   "or",   "from", "not", "you",   "can",  "which",
             "have", "has", "will", "if",   "its",  "at",  "these", "there"}},
    {"deu", {"der",  "das", "und",  "ist",  "nicht", "ein",  "eine", "zu",   "den",
             "mit",  "von", "sich", "auf",  "für",   "dem",  "im",   "auch", "werden",
             "wird", "sie", "oder", "sind", "bei",   "kann", "wenn", "nach"}},
    {"fra", {"le",   "nous", "les", "et",  "un",   "une",   "est",  "pour", "être",
             "qui",  "dans", "sur", "pas", "par",  "au",    "avec", "ce",   "il",
             "vous", "sont", "aux", "ou",  "mais", "cette", "peut", "plus"}},
    {"nld", {"het",  "een",  "van", "dat", "niet", "voor",  "op",     "met", "te",
             "zijn", "er",   "ook", "aan", "om",   "wordt", "worden", "kan", "bij",
             "naar", "deze", "dan", "nog", "maar", "wat",   "uw",     "geen"}},
    // Spanish, which no model is for: "la" and "que", which it shares with French, count for
    // neither, so that it is not read with the French model alone, which loses its á, í, ó and ú;
    // the four models with English first keep them.
    {"eng+nld+deu+fra",
     {"el",   "los", "las",     "del",    "por",   "con",   "para", "una",  "como",
      "pero", "más", "también", "muy",    "sus",   "su",    "al",   "lo",   "esta",
      "este", "hay", "puede",   "cuando", "sobre", "entre", "sin",  "donde"}},
};

// Lower-cased (ASCII letters only: the listed words start with one) without the punctuation
// around it.
std::string bare(std::string_view word) {
  const auto isLetter = [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
           static_cast<unsigned char>(c) >= 0x80;
  };
  while (!word.empty() && !isLetter(word.front())) word.remove_prefix(1);
  while (!word.empty() && !isLetter(word.back())) word.remove_suffix(1);
  std::string lower(word);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

using Counts = std::array<int, std::size(languages)>;

// How many of each language's listed words `line` holds, added to `counts`.
void count(const RecognizedLine& line, Counts& counts) {
  for (const RecognizedWord& word : line.words) {
    const std::string text = bare(word.text);
    for (std::size_t i = 0; i < std::size(languages); ++i) {
      const auto& words = languages[i].words;
      if (std::find(words.begin(), words.end(), text) != words.end()) ++counts[i];
    }
  }
}

// What may begin an address's host or path: a letter or digit, "/" of a third slash ("file:///"),
// "[" of an IPv6 host, "~" or "." of a path, or any byte of a UTF-8 sequence.
bool isAddressCharacter(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return std::isalnum(byte) != 0 || byte >= 0x80 || c == '/' || c == '[' || c == '~' || c == '.';
}

}  // namespace

std::optional<std::string_view> plainLanguage(const std::vector<RecognizedLine>& lines) {
  // Measured on body text, 12 lines of a page give 10 to 60 of these words in its own language and
  // at most a fifth as many in any other. Asking for three times the runner-up, not five, keeps a
  // page whose quotation or summary is in a second language.
  constexpr int minWords = 6;
  constexpr int minLead = 3;
  Counts counts{};
  for (const RecognizedLine& line : lines) count(line, counts);
  const auto best = std::max_element(counts.begin(), counts.end());
  int runnerUp = 0;
  for (auto it = counts.begin(); it != counts.end(); ++it) {
    if (it != best) runnerUp = std::max(runnerUp, *it);
  }
  if (*best < minWords || *best < minLead * runnerUp) return std::nullopt;
  return languages[best - counts.begin()].model;
}

bool showsAnotherLanguage(const RecognizedLine& line, std::string_view model) {
  // One such word is often a name or a loan ("le" in "le Monde", "the" in a title).
  constexpr int minWords = 2;
  Counts counts{};
  count(line, counts);
  int own = 0;
  int other = 0;
  for (std::size_t i = 0; i < std::size(languages); ++i) {
    if (languages[i].model == model) {
      own = counts[i];
    } else {
      other = std::max(other, counts[i]);
    }
  }
  return other >= minWords && other > own;
}

std::string withAddressesJoined(std::string text) {
  constexpr std::string_view schemes[] = {"http", "https", "ftp",  "file",
                                          "git",  "ssh",   "sftp", "rsync"};
  constexpr std::string_view gap = ": //";
  for (std::size_t at = text.find(gap); at != std::string::npos; at = text.find(gap, at + 1)) {
    // Only an address the engine split: its host or path follows the slashes at once. Prose
    // ("file: // local paths") has a space there.
    const std::size_t next = at + gap.size();
    if (next >= text.size() || !isAddressCharacter(text[next])) continue;
    std::size_t start = at;
    while (start > 0 && std::isalpha(static_cast<unsigned char>(text[start - 1])) != 0) --start;
    std::string scheme(text, start, at - start);
    for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (std::find(std::begin(schemes), std::end(schemes), scheme) != std::end(schemes)) {
      text.erase(at + 1, 1);
    }
  }
  return text;
}

std::string withWebHostsMended(std::string text) {
  constexpr std::string_view before = " \t([<\"'";  // what a host may follow but "//"
  for (std::size_t at = 0; at < text.size(); ++at) {
    const bool starts = at == 0 || before.find(text[at - 1]) != std::string_view::npos ||
                        (at >= 2 && text[at - 1] == '/' && text[at - 2] == '/');
    if (!starts) continue;
    std::size_t end = at;
    while (end < text.size() && end - at < 5 && (text[end] == 'u' || text[end] == 'w')) ++end;
    const std::string_view label(text.data() + at, end - at);
    const bool host = end + 1 < text.size() && text[end] == '.' &&
                      std::isalnum(static_cast<unsigned char>(text[end + 1])) != 0;
    if (host && label.size() >= 3 && label.size() <= 4 && label != "www" &&
        label.find('w') != std::string_view::npos) {
      text.replace(at, label.size(), "www");
    }
  }
  return text;
}

}  // namespace quirna
