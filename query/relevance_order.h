// Best matches first: the order of a result by relevance to its query.
//
// The score of a file, compared field by field (the first difference wins):
//   1. name hit — every term of one of the query words is a term of its
//      file name (a prefix word: begins one). Files with a hit come first.
//   2. weight — for each query term t: count(t, file) · ln(1 + N / df(t)),
//      summed, larger first. count is how often t (a prefix: every term
//      beginning with it) occurs in the file's text; df the number of files
//      holding it, capped at kRelevanceFrequencyCap; N the number of files
//      with words. A term in few files weighs more than one in most of them.
//   3. written — the later modification time first.
//   4. name, then the full path, then the file identifier, ascending: a
//      stable order for files alike in all the above.
// Name hits and weights come from the store's term search (ITrovixTerms::
// RankFiles). An older store without it is asked word by word through
// ITrovixRelevance, with the words QueryCleanup leaves and a name hit when
// the name contains a word; without either every weight is 0.
#pragma once

#include <string_view>
#include <vector>

#include "platform/types.h"

struct ITrovixDB;

namespace trovix::query {

// A word of the query as the ranking reads it.
struct QueryWord {
  WString text;         // without "*"
  bool prefix = false;  // stands for every word beginning with `text`
};

// The words of a cleaned query: each token up to its first "*" (a token with
// "*" is a prefix word); the whole-index tokens "*", "+" and "-" and tokens
// starting with "*" carry no word and are left out.
[[nodiscard]] std::vector<QueryWord> RankingWords(const WString& cleaned);

// One file of a result, with what the order reads.
struct RankedFile {
  INT id = 0;
  WString path;
  WString name;        // the last path component
  double written = 0;  // modification time, any monotonic unit
  bool name_hit = false;
  double weight = 0;
};

// Fills name_hit and weight of every file for the query `text` (searched
// with the term search `flags`) and sorts `files` best first. S_OK; the
// store's failure (the order is then untouched).
[[nodiscard]] HRESULT RankByRelevance(ITrovixDB* store, std::u16string_view text, UINT flags,
                                      std::vector<RankedFile>* files);

// True when `name` contains `word`, ignoring case.
[[nodiscard]] bool NameContains(const WString& name, const WString& word);

}  // namespace trovix::query
