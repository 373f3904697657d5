// What HTML's elements mean for the text of a page: shared by the tree walk
// (XML, XHTML) and the streaming parse (HTML).
#pragma once

#include <algorithm>
#include <cstring>
#include <iterator>

namespace docfilter {

// Elements that do not end a word: "<b>W</b>ord" is one word.
inline constexpr const char* kInlineElements[] = {
    "a",      "abbr",   "b",   "bdi", "bdo",  "big", "cite", "code", "data",  "dfn",
    "em",     "font",   "i",   "kbd", "mark", "q",   "s",    "samp", "small", "span",
    "strike", "strong", "sub", "sup", "time", "tt",  "u",    "var",  "wbr"};
// Elements whose content is not text of the document.
inline constexpr const char* kSkippedElements[] = {"script", "style", "head", "template"};

template <typename Names>
bool IsOneOf(const char* name, const Names& names) {
  return std::any_of(std::begin(names), std::end(names),
                     [name](const char* candidate) { return std::strcmp(name, candidate) == 0; });
}

}  // namespace docfilter
