// TextSource: the text of one file, read through the content filter its
// type is registered with (see filter_lookup.h), chunk by chunk and piece by
// piece.
//
// States:
//  1. Closed: no filter held. NextChunk and NextPiece answer E_UNEXPECTED.
//  2. Open: Open found, loaded and initialised a filter; no chunk current.
//  3. In a text chunk: NextChunk answered S_OK; NextPiece hands out its text.
// NextChunk moves from 2 or 3 to the next text chunk (3) or, at the end or
// on a failure, back to 2. Close, the destructor and a failed Open go to 1,
// releasing IPersistFile, IFilter and the object, in that order.
//
// Status codes of the filter are returned as they are and not logged.
//
// Threads: a TextSource belongs to the thread that opened it, which must be
// initialised for the component runtime; the filter is never shared.
#pragma once

#include <array>
#include <string_view>

#include "platform/com.h"
#include "platform/filter.h"

namespace ordalis {

class TextSource {
 public:
  // Units requested per piece; the buffer holds one more for the terminator.
  static constexpr ULONG kPieceUnits = 4095;

  TextSource() = default;
  ~TextSource() { Close(); }
  TextSource(const TextSource&) = delete;
  TextSource& operator=(const TextSource&) = delete;

  // Finds the filter for `path` (when none is registered but the type's
  // content type is text/plain, the filter of ".txt"), loads the file
  // read-only, shared with other programs, and initialises the filter.
  // E_NOINTERFACE when no filter serves the type; the ".txt" lookup's code
  // when a text/plain type finds none; else the first failure of the
  // object's QueryInterface, IPersistFile::Load or IFilter::Init. Closes
  // what was open before; on failure the source is closed.
  [[nodiscard]] HRESULT Open(const WCHAR* path);

  // Moves to the next text chunk, passing over chunks that hold no text:
  // S_OK, FILTER_E_END_OF_CHUNKS at the end, or the filter's failure code.
  [[nodiscard]] HRESULT NextChunk();

  // The next piece of the current text chunk: S_OK with 1 to kPieceUnits
  // units in `*piece`, terminated after its last unit; FILTER_E_NO_MORE_TEXT
  // or a failure code when the chunk has ended (`*piece` empty). The units
  // lie in a buffer of this source (PieceBuffer()), valid until the next
  // call; the caller may change them in place.
  [[nodiscard]] HRESULT NextPiece(std::u16string_view* piece);

  // The buffer of the current piece, for callers that cut it in place.
  [[nodiscard]] WCHAR* PieceBuffer() { return piece_.data(); }
  // The description of the current chunk (valid in state 3).
  [[nodiscard]] const STAT_CHUNK& chunk() const { return chunk_; }

  void Close();

 private:
  [[nodiscard]] HRESULT Attach(const WCHAR* path);

  // Declared so that destruction, too, releases in the required order.
  ComPtr<IUnknown> object_;
  ComPtr<IFilter> filter_;
  ComPtr<IPersistFile> persist_;
  STAT_CHUNK chunk_{};
  bool in_text_chunk_ = false;
  std::array<WCHAR, kPieceUnits + 1> piece_{};
};

}  // namespace ordalis
