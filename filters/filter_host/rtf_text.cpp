#include "filters/filter_host/rtf_text.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "filters/filter_host/block_reader.h"
#include "filters/filter_host/charset_decoder.h"
#include "filters/filter_host/rtf_tokenizer.h"

namespace docfilter {
namespace {

// Groups nested deeper than this are read as skipped: nesting costs neither
// stack nor memory beyond one state per level.
constexpr std::size_t kMaxDepth = 1000;
// Text is handed on at the first word break after this many units...
constexpr std::size_t kChunkUnits = 64 * 1024;
// ...or here at the latest, inside an endless word.
constexpr std::size_t kMaxChunkUnits = 256 * 1024;
constexpr std::size_t kMaxTitleUnits = 4096;
// Raw bytes waiting to be decoded are cut at a byte below 0x40 once there
// are this many (no double-byte code page uses such a byte as the second
// of a pair), or here at the latest.
constexpr std::size_t kByteRun = 64 * 1024;
constexpr std::size_t kMaxByteRun = 1024 * 1024;
// Fonts and code pages a hostile font table may declare.
constexpr std::size_t kMaxFonts = 65536;
constexpr std::size_t kMaxDecoders = 16;

enum class Destination {
  kBody,       // document text
  kTitle,      // \info\title
  kInfo,       // document properties other than the title
  kFontTable,  // font names, their charsets and code pages
  kSkip,       // anything else that is not text
};

// Destinations that are data, settings or pictures, never text; each
// name between spaces.
constexpr std::string_view kSkippedDestinations =
    " colortbl stylesheet pict objdata objclass themedata colorschememapping datastore "
    "latentstyles listtable listoverridetable rsidtbl generator xmlnstbl fldinst filetbl revtbl "
    "pgdsctbl sp nonshppict userprops template bkmkstart bkmkend private ";

// Control words that stand for one character of text.
struct Special {
  const char* word;
  char16_t ch;
};
constexpr Special kSpecials[] = {
    {"par", u'\n'},     {"line", u'\n'},     {"sect", u'\n'},       {"page", u'\n'},
    {"row", u'\n'},     {"nestrow", u'\n'},  {"column", u'\n'},     {"tab", u'\t'},
    {"cell", u'\t'},    {"nestcell", u'\t'}, {"emdash", 0x2014},    {"endash", 0x2013},
    {"emspace", u' '},  {"enspace", u' '},   {"qmspace", u' '},     {"bullet", 0x2022},
    {"lquote", 0x2018}, {"rquote", 0x2019},  {"ldblquote", 0x201C}, {"rdblquote", 0x201D},
    {"zwj", 0x200D},    {"zwnj", 0x200C},
};

bool IsSkippedDestination(const std::string& word) {
  return kSkippedDestinations.find(" " + word + " ") != std::string_view::npos;
}

bool IsBreak(char16_t c) { return c == u'\n' || c == u'\t' || c == u' '; }

struct GroupState {
  Destination destination = Destination::kBody;
  int uc = 1;     // fallback characters after each \u
  int font = -1;  // \fN in force, -1 for none
};

class RtfParser {
 public:
  RtfParser(int fd, ChunkSink* sink) : reader_(fd), tokenizer_(&reader_), sink_(sink) {}
  HRESULT Run();

 private:
  void OnToken(const RtfToken& token);
  void OnGroupClose();
  void OnWord(const RtfToken& token);
  bool OnDestinationWord(const std::string& word);
  void OnBodyWord(const RtfToken& token);
  void OnFontTableWord(const RtfToken& token);
  void OnSymbol(unsigned char ch);
  void OnByte(unsigned char byte);
  bool TakesText() const {
    const Destination d = stack_.back().destination;
    return d == Destination::kBody || d == Destination::kTitle;
  }
  // Decodes the raw bytes collected so far in the code page in force.
  void FlushBytes();
  void AppendChar(char16_t ch);
  void AppendText(std::u16string_view text);
  void FlushBody();
  void EmitTitle();
  int CodePage() const;
  CharsetDecoder& Decoder(int code_page);

  BlockReader reader_;
  RtfTokenizer tokenizer_;
  ChunkSink* sink_;
  std::vector<GroupState> stack_;
  std::size_t overflow_ = 0;  // open groups beyond kMaxDepth
  int skip_ = 0;              // fallback characters of a \u still to drop
  int code_page_ = 1252;      // \ansicpg
  int default_font_ = -1;     // \deff
  int defining_font_ = -1;    // the font table entry being read
  std::map<int, int> font_code_pages_;
  std::map<int, CharsetDecoder> decoders_;
  std::string bytes_;  // raw text bytes not yet decoded
  std::u16string body_;
  std::u16string title_;
  bool title_given_ = false;
  bool done_ = false;
};

HRESULT RtfParser::Run() {
  RtfToken token;
  while (!done_ && !sink_->stopped()) {
    tokenizer_.Next(&token);
    if (token.type == RtfTokenType::kEnd) break;
    OnToken(token);
  }
  FlushBytes();
  EmitTitle();
  FlushBody();
  // A file cut short gives the text it has; only a read error is a failure.
  return reader_.status();
}

void RtfParser::OnToken(const RtfToken& token) {
  if (overflow_ > 0) {
    if (token.type == RtfTokenType::kGroupOpen) ++overflow_;
    if (token.type == RtfTokenType::kGroupClose) --overflow_;
    if (token.type == RtfTokenType::kWord && token.word == "bin" && token.param > 0) {
      tokenizer_.SkipBytes(static_cast<std::uint64_t>(token.param));
    }
    return;
  }
  if (token.type == RtfTokenType::kGroupOpen || token.type == RtfTokenType::kGroupClose) {
    skip_ = 0;  // fallback text never reaches past its group
    FlushBytes();
    if (token.type == RtfTokenType::kGroupClose) {
      OnGroupClose();
    } else if (stack_.size() >= kMaxDepth) {
      overflow_ = 1;
    } else {
      stack_.push_back(stack_.empty() ? GroupState{} : stack_.back());
    }
    return;
  }
  if (stack_.empty()) return;  // nothing but groups belongs outside the document
  if (skip_ > 0) {
    --skip_;
    if (!(token.type == RtfTokenType::kWord && token.word == "bin")) return;
  }
  switch (token.type) {
    case RtfTokenType::kWord:
      FlushBytes();
      OnWord(token);
      break;
    case RtfTokenType::kSymbol:
      FlushBytes();
      OnSymbol(token.ch);
      break;
    case RtfTokenType::kByte:
      OnByte(token.ch);
      break;
    default:
      break;
  }
}

void RtfParser::OnGroupClose() {
  if (stack_.empty()) return;
  const bool was_title = stack_.back().destination == Destination::kTitle;
  stack_.pop_back();
  if (was_title && (stack_.empty() || stack_.back().destination != Destination::kTitle)) {
    EmitTitle();
  }
  // The document group has ended; anything after it is not RTF.
  if (stack_.empty()) done_ = true;
}

void RtfParser::OnWord(const RtfToken& token) {
  const std::string& word = token.word;
  if (word == "bin") {
    // Binary data is never text, whatever the destination.
    if (token.param > 0) tokenizer_.SkipBytes(static_cast<std::uint64_t>(token.param));
    return;
  }
  if (word == "ansicpg" && token.has_param) {
    code_page_ = token.param;
  } else if (word == "ansi") {
    code_page_ = 1252;
  } else if (word == "mac") {
    code_page_ = 10000;
  } else if (word == "pc") {
    code_page_ = 437;
  } else if (word == "pca") {
    code_page_ = 850;
  } else if (word == "deff" && token.has_param) {
    default_font_ = token.param;
    if (stack_.back().font < 0) stack_.back().font = token.param;
  } else if (word == "uc" && token.has_param) {
    stack_.back().uc = std::clamp(token.param, 0, 16);
  } else if (!OnDestinationWord(word)) {
    if (stack_.back().destination == Destination::kFontTable) {
      OnFontTableWord(token);
    } else {
      OnBodyWord(token);
    }
  }
}

// True when `word` names a destination; the group becomes that destination.
bool RtfParser::OnDestinationWord(const std::string& word) {
  Destination& destination = stack_.back().destination;
  if (word == "fonttbl") {
    destination = Destination::kFontTable;
  } else if (word == "info") {
    destination = Destination::kInfo;
  } else if (word == "title" && destination == Destination::kInfo) {
    destination = Destination::kTitle;
  } else if (IsSkippedDestination(word)) {
    destination = Destination::kSkip;
  } else {
    return false;
  }
  return true;
}

void RtfParser::OnFontTableWord(const RtfToken& token) {
  if (!token.has_param) return;
  if (token.word == "f") {
    defining_font_ = token.param;
    return;
  }
  int code_page = 0;
  if (token.word == "fcharset") {
    code_page = CodePageOfFontCharset(token.param);
  } else if (token.word == "cpg") {
    code_page = token.param;
  } else {
    return;
  }
  if (defining_font_ < 0 || font_code_pages_.size() >= kMaxFonts) return;
  if (code_page != 0) {
    font_code_pages_[defining_font_] = code_page;
  } else {
    font_code_pages_.erase(defining_font_);
  }
}

void RtfParser::OnBodyWord(const RtfToken& token) {
  const std::string& word = token.word;
  if (word == "f" && token.has_param) {
    stack_.back().font = token.param;
    return;
  }
  if (word == "plain") {
    stack_.back().font = default_font_;
    return;
  }
  if (!TakesText()) return;
  if (word == "u" && token.has_param) {
    // A negative parameter is the unit's value minus 65536. A character
    // beyond the BMP comes as two \u, one per surrogate.
    const std::int32_t n = token.param < 0 ? token.param + 65536 : token.param;
    if (n >= 0 && n <= 0xFFFF) AppendChar(static_cast<char16_t>(n));
    skip_ = stack_.back().uc;
    return;
  }
  for (const Special& special : kSpecials) {
    if (word == special.word) {
      AppendChar(special.ch);
      return;
    }
  }
}

void RtfParser::OnSymbol(unsigned char ch) {
  if (ch == '*') {
    // An optional destination: none of them is text.
    stack_.back().destination = Destination::kSkip;
    return;
  }
  if (!TakesText()) return;
  switch (ch) {
    case '{':
    case '}':
    case '\\':
      AppendChar(ch);
      break;
    case '~':
      AppendChar(0x00A0);
      break;
    case '_':
      AppendChar(0x2011);
      break;
    case '\n':
      AppendChar(u'\n');
      break;
    default:
      break;  // \- (optional hyphen), \| and \: give nothing
  }
}

void RtfParser::OnByte(unsigned char byte) {
  if (!TakesText() || byte == 0) return;
  bytes_.push_back(static_cast<char>(byte));
  if ((bytes_.size() >= kByteRun && byte < 0x40) || bytes_.size() >= kMaxByteRun) FlushBytes();
}

void RtfParser::FlushBytes() {
  if (bytes_.empty()) return;
  std::u16string text;
  Decoder(CodePage()).Decode(bytes_, &text);
  bytes_.clear();
  // Tabs in the file separate words like \tab.
  std::replace(text.begin(), text.end(), u'\t', u' ');
  AppendText(text);
}

int RtfParser::CodePage() const {
  const auto it = font_code_pages_.find(stack_.back().font);
  return it != font_code_pages_.end() ? it->second : code_page_;
}

CharsetDecoder& RtfParser::Decoder(int code_page) {
  auto it = decoders_.find(code_page);
  if (it == decoders_.end()) {
    if (decoders_.size() >= kMaxDecoders) decoders_.clear();
    it = decoders_.emplace(code_page, CharsetDecoder::ForCodePage(code_page)).first;
  }
  return it->second;
}

void RtfParser::AppendChar(char16_t ch) {
  FlushBytes();
  AppendText(std::u16string_view(&ch, 1));
}

void RtfParser::AppendText(std::u16string_view text) {
  if (stack_.back().destination == Destination::kTitle) {
    title_.append(text.substr(0, kMaxTitleUnits - std::min(kMaxTitleUnits, title_.size())));
    return;
  }
  body_.append(text);
  if ((body_.size() >= kChunkUnits && IsBreak(body_.back())) || body_.size() >= kMaxChunkUnits) {
    FlushBody();
  }
}

void RtfParser::FlushBody() {
  if (!body_.empty()) sink_->Add(ChunkKind::kText, body_);
  body_.clear();
}

void RtfParser::EmitTitle() {
  if (title_given_ || title_.empty()) return;
  title_given_ = true;
  const std::size_t end = title_.find_last_not_of(u" \t\n");
  if (end != std::u16string::npos) sink_->Add(ChunkKind::kTitle, title_.substr(0, end + 1));
  title_.clear();
}

[[nodiscard]] HRESULT CheckSignature(int fd) {
  char head[5];
  const long n = ReadAt(fd, head, sizeof head, 0);
  if (n < 0) return HresultFromErrno(errno);
  if (n != sizeof head || std::memcmp(head, "{\\rtf", sizeof head) != 0) {
    return HRESULT_FROM_WIN32(ERROR_BAD_FORMAT);
  }
  return S_OK;
}

}  // namespace

HRESULT ExtractRtf(int fd, ChunkSink* sink) {
  const HRESULT hr = CheckSignature(fd);
  if (FAILED(hr)) return hr;
  RtfParser parser(fd, sink);
  return parser.Run();
}

}  // namespace docfilter
