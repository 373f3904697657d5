// The index store's read-only counts for ranking search results. Objects of
// class TrovixDB hand it out through QueryInterface(IID_ITrovixRelevance); a
// caller that never asks for it sees ITrovixDB exactly as before.
//
// Threads: used on the thread that created the TrovixDB object, like
// ITrovixDB. A call holds the module's critical section for its run and
// takes no write lock, like SearchOpenFileType.
#pragma once

#include "platform/guid.h"
#include "platform/unknwn.h"

inline constexpr IID IID_ITrovixRelevance = MakeGuid("{7E3F1A52-9C4B-4D28-B6A1-5F0D2C8E9B17}");

// CountWord reads at most this many files per call...
inline constexpr UINT kRelevanceMaxFiles = 100000;
// ...and counts the files holding a word up to this many: beyond it every
// word is equally common, and counting stays cheap for the most common ones.
inline constexpr UINT kRelevanceFrequencyCap = 20000;
// A prefix stands for at most this many words (the first in word order).
inline constexpr UINT kRelevancePrefixWords = 2000;

struct ITrovixRelevance : IUnknown {
  // The words `sWord` stands for: itself (compared without regard to case,
  // as the word search compares), or with `bPrefix` every word that begins
  // with it (at most kRelevancePrefixWords). For each of the `cFiles` files
  // of `pFileIDs`, pCounts[i] receives how often those words occur in it (0
  // when none does or the file is not catalogued); `*pcFilesWithWord` the
  // number of files holding one of them, counted per word and capped at
  // kRelevanceFrequencyCap.
  // S_OK; S_FALSE when no word matches (every count 0); E_INVALIDARG for a
  // null or empty word, null arrays when cFiles > 0, or cFiles above
  // kRelevanceMaxFiles; E_POINTER for a null pcFilesWithWord; E_UNEXPECTED
  // before Init, after Cleanup or during a compaction; an engine failure
  // after a record in the diagnostic log. The outputs are written only on
  // success.
  [[nodiscard]] virtual HRESULT CountWord(const WCHAR* sWord, BOOL bPrefix, const INT* pFileIDs,
                                          UINT cFiles, UINT* pCounts, UINT* pcFilesWithWord) = 0;
};
