// The index store's snippets: the passages of a file's text where the words
// of a query occur, with the words marked, so that a person can tell why a
// file was found without opening it. Objects of class TrovixDB hand it out
// through QueryInterface(IID_ITrovixSnippets).
//
// The text is the one indexing read: the file goes through the content
// filter its type is registered with (PDF, office documents, mail and the
// rest, as for the index), and the same text analysis finds the query's
// words in it, so a passage marks exactly the terms the index matched. The
// query is in the grammar of ITrovixTerms::SearchOpenTerms (words, "*"
// prefixes, quoted phrases); a phrase is marked only where its words stand
// together.
//
// Passages: up to `cPassages` stretches of about kSnippetPassageUnits units,
// cut at spaces, chosen for holding the most different query words, then
// the most matches, then coming first; reported in the order of the text,
// with runs of white space made one space. Only the first
// kSnippetTextUnits units of a text are read. The texts last read are kept
// (by path, size and modification time, within a bound of memory) so that
// the next keystroke of the same query costs no second extraction.
//
// Threads: any thread initialised for the component runtime. The text is
// read outside the module's critical section; the sink is called on the
// caller's thread after the reading.
#pragma once

#include "platform/guid.h"
#include "platform/unknwn.h"

inline constexpr IID IID_ITrovixSnippets = MakeGuid("{9E2B6C41-7D3A-4F58-B1E0-5A8C2D4F6B19}");

inline constexpr UINT kSnippetPassageUnits = 160;
inline constexpr UINT kSnippetMaxPassages = 4;
inline constexpr UINT kSnippetTextUnits = 4u << 20;

struct ISnippetSink {
  // One passage: `cUnits` units of `text` (not terminated), and `cMarks`
  // marked stretches, each a pair (first unit, unit after the last) in
  // `pMarks`, ascending and apart. Valid during the call only. S_OK goes
  // on; any other answer ends the call and is its answer.
  [[nodiscard]] virtual HRESULT Passage(const WCHAR* text, UINT cUnits, const UINT* pMarks,
                                        UINT cMarks) = 0;

 protected:
  ~ISnippetSink() = default;
};

struct ITrovixSnippets : IUnknown {
  // The passages of the text of the file `sPath` (absolute) for `sQuery`
  // under the term search flags `dwFlags` (kTermsExactAccents counts;
  // kTermsNameOnly finds no passage). S_OK after the passages (one or
  // more); S_FALSE when the text holds none of the query's words, or the
  // file has no text a filter reads (nothing reported); E_INVALIDARG for a
  // null query, path or sink, unknown flags, or cPassages outside 1 to
  // kSnippetMaxPassages; the file's or filter's failure code when it cannot
  // be read (HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) when it is gone); the
  // sink's answer when it stopped.
  [[nodiscard]] virtual HRESULT GetSnippets(const WCHAR* sQuery, UINT dwFlags, const WCHAR* sPath,
                                            UINT cPassages, ISnippetSink* sink) = 0;
};
