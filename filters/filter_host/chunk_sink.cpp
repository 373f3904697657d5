#include "filters/filter_host/chunk_sink.h"

#include "platform/wstring.h"

namespace docfilter {

bool ChunkSink::Add(ChunkKind kind, std::u16string_view text) {
  if (stopped()) return false;
  if (text.empty()) return true;
  if (text.size() > left_) {
    std::size_t cut = left_;
    if (cut > 0 && text[cut - 1] >= 0xD800 && text[cut - 1] <= 0xDBFF) --cut;
    text = text.substr(0, cut);
    truncated_ = true;
  }
  if (text.empty()) return false;
  left_ -= text.size();
  // Readers join the text of consecutive chunks: a chunk that another may
  // follow ends with a line break, so its last word never runs into the
  // next chunk's first (not counted against the cap: one unit per chunk).
  const char16_t last = text.back();
  if (!truncated_ && last != u' ' && last != u'\n' && last != u'\t') {
    std::u16string ended(text);
    ended.push_back(u'\n');
    if (!Deliver(++last_id_, kind, ended)) failed_ = true;
  } else if (!Deliver(++last_id_, kind, text)) {
    failed_ = true;
  }
  return !stopped();
}

bool ChunkSink::AddUtf8(ChunkKind kind, std::string_view text) {
  if (stopped()) return false;
  // A chunk longer than the cap is cut anyway: convert no more than can
  // be kept (one UTF-16 unit never takes more than three UTF-8 bytes, and
  // the cut falls between characters because it is redone in UTF-16).
  if (text.size() / 3 > left_) {
    std::size_t cut = left_ * 3 + 3;
    while (cut < text.size() && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) ++cut;
    if (cut < text.size()) text = text.substr(0, cut);
  }
  return Add(kind, Utf8ToUtf16(text));
}

std::string CollectingSink::Text(ChunkKind kind) const {
  std::string joined;
  for (const Chunk& chunk : chunks_) {
    if (chunk.kind != kind) continue;
    if (!joined.empty()) joined.push_back('\n');
    joined += Utf16ToUtf8(chunk.text);
    if (!joined.empty() && joined.back() == '\n') joined.pop_back();
  }
  return joined;
}

bool CollectingSink::Deliver(std::uint32_t, ChunkKind kind, std::u16string_view text) {
  chunks_.push_back(Chunk{kind, std::u16string(text)});
  return true;
}

}  // namespace docfilter
