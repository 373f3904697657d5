#include "filters/filter_host/part_text.h"

#include <algorithm>

namespace docfilter {
namespace {

// Paragraphs are gathered into chunks of about this size.
constexpr std::size_t kChunkBytes = 64 * 1024;
// A longer run of spelt-out spaces carries no more meaning.
constexpr std::size_t kMaxSpaces = 64;

// One UTF-16 unit never takes more than three UTF-8 bytes.
std::size_t ByteLimit(const ChunkSink* sink) { return sink->left() * 3 + 3; }

bool IsAsciiSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

int Strength(char separator) {
  switch (separator) {
    case '\n':
      return 3;
    case '\t':
      return 2;
    case ' ':
      return 1;
    default:
      return 0;
  }
}

}  // namespace

PartText::PartText(ChunkSink* sink) : sink_(sink), limit_(ByteLimit(sink)) {}

void PartText::Separate(char separator) {
  if (Strength(separator) > Strength(pending_)) pending_ = separator;
}

void PartText::StartCharacter() {
  if (utf8_.size() >= limit_) {
    full_ = true;
    return;
  }
  if (pending_ != 0 && !utf8_.empty()) utf8_.push_back(pending_);
  pending_ = 0;
}

void PartText::Append(std::string_view utf8) {
  for (const char c : utf8) {
    if (full_) return;
    if (IsAsciiSpace(c)) {
      WordBreak();
      continue;
    }
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) StartCharacter();
    if (!full_) utf8_.push_back(c);
  }
}

void PartText::Spaces(std::size_t count) {
  if (utf8_.empty() || full_) return;  // leading spaces separate nothing
  StartCharacter();
  if (!full_) utf8_.append(std::min(count, kMaxSpaces), ' ');
}

void PartText::EndParagraph() {
  LineBreak();
  if (utf8_.size() >= kChunkBytes) Flush();
}

bool PartText::Flush() {
  if (!utf8_.empty()) sink_->AddUtf8(ChunkKind::kText, utf8_);
  utf8_.clear();
  pending_ = 0;
  limit_ = ByteLimit(sink_);
  return !done();
}

}  // namespace docfilter
