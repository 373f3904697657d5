// Bytes in a named character set or Windows code page, decoded to UTF-16
// with glibc's iconv.
//
// Invariants: decoding never stops and never drops a byte silently. A byte
// that is not part of a valid sequence of the character set (or ends the
// input inside one) is read as its Windows-1252 character: mislabelled
// Latin text keeps its words, and the rest continues to decode. A name that
// is unknown, unsafe or plain ASCII decodes as UTF-8 under that same rule.
//
// Each Decode call starts from the character set's initial state, so a
// caller hands over whole runs of text (stateful sets such as ISO-2022-JP
// announce their state within a run).
//
// Threads: one decoder belongs to one thread at a time.
#pragma once

#include <iconv.h>

#include <memory>
#include <string>
#include <string_view>

namespace docfilter {

class CharsetDecoder {
 public:
  // A decoder for a MIME or iconv character set name (case-insensitive).
  explicit CharsetDecoder(std::string_view charset);
  // A decoder for a Windows code page number (\ansicpg, \cpg).
  static CharsetDecoder ForCodePage(int code_page);

  // Appends the text of `bytes` to `*out`.
  void Decode(std::string_view bytes, std::u16string* out);

 private:
  struct Closer {
    void operator()(void* cd) const { iconv_close(static_cast<iconv_t>(cd)); }
  };
  std::unique_ptr<void, Closer> cd_;  // null only when iconv cannot open even UTF-8
};

// The code page a font's \fcharset number stands for; 0 when the charset
// means "the document's code page" or is not known.
int CodePageOfFontCharset(int charset);

}  // namespace docfilter
