// The tokens of an RTF file, read a block at a time: group braces, control
// words with their optional numeric parameter, control symbols, \'hh bytes
// and plain text bytes. Line breaks in the file are not text and give no
// token.
#pragma once

#include <cstdint>
#include <string>

#include "filters/filter_host/block_reader.h"

namespace docfilter {

enum class RtfTokenType { kEnd, kGroupOpen, kGroupClose, kWord, kSymbol, kByte };

struct RtfToken {
  RtfTokenType type = RtfTokenType::kEnd;
  // kWord: the name (at most 32 letters are kept; longer names are cut).
  std::string word;
  bool has_param = false;
  // kWord: the parameter, clamped to the range of int32_t.
  std::int32_t param = 0;
  // kSymbol: the character after the backslash ('\n' for a backslash ending
  // a line). kByte: the byte, from a \'hh escape or the text itself.
  unsigned char ch = 0;
};

class RtfTokenizer {
 public:
  explicit RtfTokenizer(BlockReader* reader) : reader_(reader) {}

  // Fills `*token` with the next token; kEnd at the end of the file.
  void Next(RtfToken* token);
  // Passes over the raw bytes of a \binN.
  void SkipBytes(std::uint64_t count);

 private:
  int Get();
  void Unget(int c);
  void ReadWord(int first, RtfToken* token);
  void ReadParam(RtfToken* token);
  bool ReadHexByte(RtfToken* token);

  BlockReader* reader_;
  // Bytes given back, last first: a parameter's sign needs two of look-ahead.
  int pushed_[2] = {};
  int pushed_count_ = 0;
};

}  // namespace docfilter
