// The plain-text content filter: IFilter and IPersistFile over a text file
// read in blocks, so that a file of any size costs a few blocks of memory.
//
// States of an object:
//  1. Empty: no file loaded. Init, GetChunk and GetText answer E_UNEXPECTED.
//  2. Loaded: Load opened a regular file. GetChunk answers E_UNEXPECTED
//     until Init.
//  3. Reading: Init went back to the start of the file. Each GetChunk reads
//     the next block of kBlockSize bytes and makes the text decoded from it
//     the current chunk; GetText hands out that text piece by piece.
//  4. Ended: the file is read to its end (or a read failed); GetChunk
//     answers FILTER_E_END_OF_CHUNKS and GetText FILTER_E_NO_MORE_TEXT.
// Init returns to 3 from 3 or 4; Load returns to 2 from any state.
//
// A chunk ends after the last line break, else the last white space, in the
// second half of its text, and the rest opens the next chunk: a word is not
// split between two chunks unless it runs for half a block. Neither chunks
// nor pieces split a surrogate pair.
//
// Threads: an object belongs to one thread at a time (readers create one
// filter per file and never share it), so it takes no locks.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "filters/filter_object.h"
#include "filters/text_decoder.h"

namespace txtfilter {

// Bytes of the file behind one chunk (the last chunk may have fewer).
inline constexpr std::size_t kBlockSize = 64 * 1024;

class TextFilter final : public trovix::filters::FilterObject {
 public:
  // A new object with one reference, or null when memory runs out.
  // `module_objects` counts the module's live objects (see ComObject).
  [[nodiscard]] static TextFilter* Create(std::atomic<long>* module_objects);

  // IPersist and IPersistFile. Load accepts only reading access modes
  // (E_INVALIDARG otherwise), opens the file without waiting on FIFOs and
  // refuses a directory (HRESULT of EISDIR) and every other file that is
  // not a regular file (FILTER_E_ACCESS); open failures give the HRESULT of
  // their errno.
  HRESULT Load(const WCHAR* pszFileName, DWORD dwMode) override;

  // IFilter. The only chunks are text chunks of the body text
  // (PSGUID_STORAGE, PID_STG_CONTENTS), numbered from 1; an attribute list
  // without that property gives no chunks. A failed read ends the chunks
  // with its HRESULT.
  HRESULT Init(ULONG grfFlags, ULONG cAttributes, const FULLPROPSPEC* aAttributes,
               ULONG* pFlags) override;
  HRESULT GetChunk(STAT_CHUNK* pStat) override;
  HRESULT GetText(ULONG* pcwcBuffer, WCHAR* awcBuffer) override;

 private:
  explicit TextFilter(std::atomic<long>* module_objects);
  ~TextFilter() override;

  void CloseFile();
  // Reads one block, fewer bytes only where the file ends (`*at_end`).
  [[nodiscard]] HRESULT ReadBlock(std::size_t* size, bool* at_end);
  // Makes the next chunk's text current; FILTER_E_END_OF_CHUNKS at the end.
  [[nodiscard]] HRESULT NextChunkText();
  // Moves the text after the chunk's cut to `carry_`.
  void CutChunk();

  int fd_ = -1;
  bool initialised_ = false;  // Init called since Load
  bool ended_ = false;        // no more chunks
  bool end_of_file_ = false;  // every byte has been read and decoded
  TextDecoder decoder_;
  std::vector<BYTE> block_;    // read buffer, kBlockSize bytes once a file is read
  std::u16string text_;        // the current chunk's text
  std::size_t delivered_ = 0;  // units of text_ handed out by GetText
  std::u16string carry_;       // decoded text that opens the next chunk
  ULONG chunk_id_ = 0;         // id of the current chunk, 0 before the first
  CHUNK_BREAKTYPE next_break_ = CHUNK_NO_BREAK;  // break before the next chunk
};

}  // namespace txtfilter
