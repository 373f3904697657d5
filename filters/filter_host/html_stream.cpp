#include "filters/filter_host/html_stream.h"

#include <libxml/HTMLparser.h>
#include <libxml/parserInternals.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "filters/filter_host/markup_elements.h"
#include "filters/filter_host/text_collector.h"

namespace docfilter {
namespace {

// Text is handed on once this much has gathered and a word has ended.
constexpr std::size_t kChunkBytes = 64 * 1024;
constexpr std::size_t kReadBytes = 64 * 1024;

const char* Name(const xmlChar* name) { return reinterpret_cast<const char*>(name); }

// The parse's state, reached from libxml2's callbacks through user data.
// Invariants: skip_depth counts the open skipped elements (text inside any
// of them is dropped); the title chunk is handed on at most once.
struct PageState {
  PageState(ChunkSink* s, bool want_title)
      : sink(s), with_title(want_title), title(s->left()), body(s->left()) {}

  ChunkSink* sink;
  htmlParserCtxtPtr parser = nullptr;
  bool with_title;
  bool title_done = false;
  bool in_head = false;
  int title_depth = 0;
  int skip_depth = 0;
  Collector title;
  Collector body;

  void Stop() {
    if (parser != nullptr) xmlStopParser(parser);
  }
  void HandOnTitle() {
    if (title_done) return;
    title_done = true;
    if (with_title && !sink->AddUtf8(ChunkKind::kTitle, title.utf8())) Stop();
  }
  void HandOnBody(std::size_t min_bytes) {
    const std::string text = min_bytes == 0 ? body.utf8() : body.TakeAtWordEnd(min_bytes);
    if (!text.empty() && !sink->AddUtf8(ChunkKind::kText, text)) Stop();
  }
};

PageState& State(void* context) { return *static_cast<PageState*>(context); }

void StartElement(void* context, const xmlChar* name, const xmlChar**) {
  PageState& s = State(context);
  const char* n = Name(name);
  if (std::strcmp(n, "head") == 0) s.in_head = true;
  if (std::strcmp(n, "title") == 0 && s.in_head && !s.title_done) ++s.title_depth;
  if (IsOneOf(n, kSkippedElements)) {
    ++s.skip_depth;
  } else if (!IsOneOf(n, kInlineElements)) {
    s.body.Break();
  }
}

void EndElement(void* context, const xmlChar* name) {
  PageState& s = State(context);
  const char* n = Name(name);
  if (std::strcmp(n, "title") == 0 && s.title_depth > 0 && --s.title_depth == 0) s.HandOnTitle();
  if (std::strcmp(n, "head") == 0) s.in_head = false;
  if (IsOneOf(n, kSkippedElements)) {
    if (s.skip_depth > 0) --s.skip_depth;
  } else if (!IsOneOf(n, kInlineElements)) {
    s.body.Break();
    s.HandOnBody(kChunkBytes);
  }
}

void Characters(void* context, const xmlChar* text, int length) {
  PageState& s = State(context);
  const std::string_view piece(Name(text), static_cast<std::size_t>(length));
  if (s.title_depth > 0) {
    s.title.Append(piece);
  } else if (s.skip_depth == 0) {
    s.body.Append(piece);
    if (s.body.full()) s.Stop();
  }
}

// Whether `head` is valid UTF-8 (a character cut by its end counts as
// valid).
bool IsUtf8(std::string_view head) {
  const auto* p = reinterpret_cast<const unsigned char*>(head.data());
  const std::size_t size = head.size();
  std::size_t i = 0;
  while (i < size) {
    const unsigned char c = p[i];
    const std::size_t extra = c < 0x80             ? 0
                              : (c & 0xE0) == 0xC0 ? 1
                              : (c & 0xF0) == 0xE0 ? 2
                              : (c & 0xF8) == 0xF0 ? 3
                                                   : 4;
    if (extra == 4 || (extra == 1 && c < 0xC2)) return false;
    if (i + extra >= size) return true;
    for (std::size_t k = 1; k <= extra; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) return false;
    }
    i += extra + 1;
  }
  return true;
}

// A byte-order mark names the encoding. libxml2 reads HTML that names no
// character set as ISO-8859-1; today's pages without one are nearly always
// UTF-8, so a start that declares nothing and is valid UTF-8 is read as
// UTF-8 (libxml2 falls back to ISO-8859-1 by itself where later bytes are
// not UTF-8).
xmlCharEncoding EncodingOf(std::string_view head) {
  if (head.size() >= 2 && head[0] == '\xFF' && head[1] == '\xFE') return XML_CHAR_ENCODING_UTF16LE;
  if (head.size() >= 2 && head[0] == '\xFE' && head[1] == '\xFF') return XML_CHAR_ENCODING_UTF16BE;
  std::string lower(head);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return std::tolower(c); });
  if (lower.find("charset") != std::string::npos || lower.find("encoding=") != std::string::npos) {
    return XML_CHAR_ENCODING_NONE;
  }
  return IsUtf8(head) ? XML_CHAR_ENCODING_UTF8 : XML_CHAR_ENCODING_NONE;
}

struct ParserDeleter {
  void operator()(htmlParserCtxt* parser) const { htmlFreeParserCtxt(parser); }
};

}  // namespace

HRESULT StreamHtml(std::string_view head, const ReadMore& read, bool with_title, ChunkSink* sink) {
  htmlSAXHandler handler{};
  handler.startElement = StartElement;
  handler.endElement = EndElement;
  handler.characters = Characters;
  handler.ignorableWhitespace = Characters;
  handler.cdataBlock = Characters;
  PageState state(sink, with_title);
  const std::unique_ptr<htmlParserCtxt, ParserDeleter> parser(
      htmlCreatePushParserCtxt(&handler, &state, nullptr, 0, nullptr, EncodingOf(head)));
  if (parser == nullptr) return E_OUTOFMEMORY;
  htmlCtxtUseOptions(parser.get(), HTML_PARSE_NONET | HTML_PARSE_NOERROR | HTML_PARSE_NOWARNING |
                                       HTML_PARSE_RECOVER);
  state.parser = parser.get();
  HRESULT hr = S_OK;
  std::string buffer(head);
  for (;;) {
    const bool last = buffer.empty();
    htmlParseChunk(parser.get(), buffer.data(), static_cast<int>(buffer.size()), last ? 1 : 0);
    if (last || parser->disableSAX != 0 || parser->instate == XML_PARSER_EOF) break;
    buffer.resize(kReadBytes);
    const long n = read(buffer.data(), buffer.size());
    if (n < 0) {
      hr = HresultFromErrno(EIO);
      break;
    }
    buffer.resize(static_cast<std::size_t>(n));
  }
  if (parser->errNo == XML_ERR_NO_MEMORY) return E_OUTOFMEMORY;
  state.HandOnTitle();
  state.HandOnBody(0);
  return hr;
}

}  // namespace docfilter
