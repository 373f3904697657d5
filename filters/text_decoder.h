// Decoding of plain-text files, handed over block by block, into UTF-16.
//
// Invariants:
//  1. The encoding is settled by the first bytes of the file: the byte order
//     mark FF FE or FE FF selects UTF-16 LE or BE; anything else (with or
//     without the UTF-8 mark EF BB BF) is read as UTF-8. A byte order mark
//     is not part of the text.
//  2. In UTF-8 text every byte that does not belong to a well-formed UTF-8
//     sequence is read as a Windows-1252 character, so text saved in either
//     encoding, or pieced together from both, decodes without loss and
//     decoding never stops.
//  3. Where a block ends inside a sequence that may still be completed (at
//     most three bytes of UTF-8, one byte of a UTF-16 unit), those bytes are
//     held back and decoded with the next block; so the text does not depend
//     on where blocks end. Finish decodes what is held back as it stands.
//  4. U+0000 becomes a space: readers treat text as terminated strings.
//
// Threads: one decoder belongs to one thread at a time.
#pragma once

#include <cstddef>
#include <span>
#include <string>

#include "platform/types.h"

namespace txtfilter {

enum class TextEncoding { kUnknown, kUtf8, kUtf16Le, kUtf16Be };

class TextDecoder {
 public:
  // Appends the text of `bytes` (the next bytes of the file) to `*out`.
  void Decode(std::span<const BYTE> bytes, std::u16string* out);
  // The file has ended: appends the text of the bytes still held back.
  void Finish(std::u16string* out);
  // Back to the start of a file.
  void Reset();

  // kUnknown until the first bytes have been seen.
  [[nodiscard]] TextEncoding encoding() const { return encoding_; }

 private:
  // Decodes `pending_` as far as it can; `final` decodes every byte.
  void Drain(bool final, std::u16string* out);
  // Settles the encoding from the start of `pending_` and drops the byte
  // order mark; false while too few bytes are known to tell.
  bool DetectEncoding(bool final);

  TextEncoding encoding_ = TextEncoding::kUnknown;
  std::string pending_;  // bytes not yet decoded; at most 3 between calls once settled
};

}  // namespace txtfilter
