// The index store's term search: files found by the terms of the text
// analysis (analysis/text_analyzer.h), which indexing and every query share.
// Objects of class TrovixDB hand it out through
// QueryInterface(IID_ITrovixTerms); ITrovixDB, with SearchOpenWord and the
// word index it reads, is unchanged beside it.
//
// The query text: words separated by spaces. A file matches a word when the
// word's terms occur in its text at consecutive positions (a word of one
// term: anywhere), or all in its name; it matches the query when it matches
// every word. Case never tells terms apart, accents do only with
// kTermsExactAccents. "*" at the end of a word makes its last term a prefix,
// "*" inside a word a pattern over single terms. A word that is only "*",
// "+" or "-" stands for every catalogued file, the files with words and the
// files without, as in SearchOpenWord. Text between double quotes is one
// word however many spaces it holds, a phrase: its terms must stand at
// consecutive positions, in the text or in the name ("annual report"); a
// quote without its closing one runs to the end of the text.
//
// While the term index is filled for an index of an earlier version, a file
// whose terms are not there yet is found by the rules of SearchOpenWord
// (words of three letters or more, case folded for A-Z only): the answer
// joins both. A query with a phrase is not asked that way: the word index
// keeps no positions.
//
// Phrases are exact. A word of one letter or digit is no term of the index,
// but it keeps its place: a phrase that holds one ("vitamin a deficiency",
// "type 2 diabetes") is matched by its other words and then checked in each
// such file's text, read through its filter as ITrovixSnippets reads it, so
// that "vitamin b deficiency" is not found. That check costs a read of each
// candidate's text (its first kSnippetTextUnits units).
//
// Threads: as ITrovixDB. A call holds the module's critical section and no
// write lock, like SearchOpenFileType.
#pragma once

#include "platform/guid.h"
#include "platform/unknwn.h"

inline constexpr IID IID_ITrovixTerms = MakeGuid("{C4E1F0A7-5B2D-4E83-9A6C-1D7F3B8E2A50}");

// Accents tell terms apart (café and cafe are two); case never does.
inline constexpr UINT kTermsExactAccents = 0x1;
// Only the terms of file names: the words must all occur in the name.
inline constexpr UINT kTermsNameOnly = 0x2;
// A set for ReadResultRows (shared/itrovixresultrows.h): it may also hold
// files that left the catalogue while their terms stay, which that reading
// skips; in exchange the search does not look each file up in the catalogue.
inline constexpr UINT kTermsCandidates = 0x4;
inline constexpr UINT kTermsAllFlags = 0x7;

// A file the term index does not hold yet, as ReadUnanalysedFiles reports
// it. `path` (UTF-16, absolute) is valid during the call only.
struct IUnanalysedFileSink {
  // S_OK goes on; any other answer ends the read and is the read's answer.
  [[nodiscard]] virtual HRESULT File(INT file_id, const WCHAR* path) = 0;

 protected:
  ~IUnanalysedFileSink() = default;
};

struct ITrovixTerms : IUnknown {
  // The files matching `sQuery` under `dwFlags`, ascending. S_OK and a new
  // handle (also for no file found); S_FALSE when the query holds no
  // searchable term (no handle is written); E_INVALIDARG for a null query
  // or handle pointer or unknown flags; E_UNEXPECTED while the connection is
  // closed or a compaction of this process runs; an engine failure (logged),
  // with no handle written.
  [[nodiscard]] virtual HRESULT SearchOpenTerms(const WCHAR* sQuery, UINT dwFlags,
                                                UINT* phSearch) = 0;

  // The number of words of `sQuery` that hold a searchable term (the "*",
  // "+" and "-" words among them). S_OK when there is one or more, S_FALSE
  // for none; E_POINTER for a null count, E_INVALIDARG for a null query.
  // Needs no database.
  [[nodiscard]] virtual HRESULT CountQueryWords(const WCHAR* sQuery, UINT* pcWords) = 0;

  // For ranking: for each of the `cFiles` files of `pFileIDs`, pWeights[i]
  // receives the sum over the query's terms of count · ln(1 + N / df),
  // where count is how often the term occurs in the file's text, df the
  // number of files holding it (capped at kRelevanceFrequencyCap) and N the
  // number of files with words; pNameHits[i] 1 when every term of some
  // query word is a term of the file's name. S_OK; E_INVALIDARG for a null
  // query, unknown flags, null arrays when cFiles > 0, or cFiles above
  // kRelevanceMaxFiles; E_UNEXPECTED and engine failures as SearchOpenTerms.
  // The outputs are written only on success.
  [[nodiscard]] virtual HRESULT RankFiles(const WCHAR* sQuery, UINT dwFlags, const INT* pFileIDs,
                                          UINT cFiles, double* pWeights, BOOL* pNameHits) = 0;

  // How far the term index is: `*pcPending` catalogued files it holds
  // nothing of yet, of `*pcFiles` catalogued files. S_OK; E_POINTER for a
  // null pointer; E_UNEXPECTED and engine failures as SearchOpenTerms. On a
  // file of an earlier version opened for reading, every file is pending.
  [[nodiscard]] virtual HRESULT GetAnalysisProgress(UINT* pcPending, UINT* pcFiles) = 0;

  // Reports up to `cMax` catalogued files that the term index holds nothing
  // of, with identifiers above `nAfterID`, ascending. S_OK after the last
  // (also when there is none), E_INVALIDARG for a null sink, the sink's
  // answer when it stopped; E_UNEXPECTED and engine failures as
  // SearchOpenTerms.
  [[nodiscard]] virtual HRESULT ReadUnanalysedFiles(INT nAfterID, UINT cMax,
                                                    IUnanalysedFileSink* sink) = 0;
};
