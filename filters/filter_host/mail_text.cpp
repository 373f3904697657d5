#include "filters/filter_host/mail_text.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <string>
#include <string_view>
#include <vector>

#include "filters/filter_host/block_reader.h"
#include "filters/filter_host/charset_decoder.h"
#include "filters/filter_host/markup_text.h"
#include "filters/filter_host/mime_decode.h"
#include "platform/wstring.h"

namespace docfilter {
namespace {

// Multiparts and attached messages nested deeper than this are skipped.
constexpr std::size_t kMaxDepth = 32;
// A longer line is read in pieces; no boundary or header is that long.
constexpr std::size_t kMaxLineBytes = 64 * 1024;
// Encoded part bodies held at once, over all parts; beyond it a part's
// text is cut.
constexpr std::size_t kMaxHeldBytes = 64 * 1024 * 1024;
// A kept header field is cut here.
constexpr std::size_t kMaxFieldBytes = 64 * 1024;
constexpr std::size_t kSniffBytes = 4096;

bool StartsWith(std::string_view s, std::string_view prefix) {
  return s.substr(0, prefix.size()) == prefix;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

bool IsBlank(std::string_view s) {
  return s.find_first_not_of(" \t\r\n") == std::string_view::npos;
}

// "Name: value", the name being printable ASCII without a colon or space.
std::size_t FieldNameLength(std::string_view line) {
  const std::size_t colon = line.find(':');
  if (colon == 0 || colon == std::string_view::npos) return 0;
  const bool printable = std::all_of(line.begin(), line.begin() + static_cast<long>(colon),
                                     [](unsigned char c) { return c > 32 && c < 127; });
  return printable ? colon : 0;
}

// The next line without its line break, or the next kMaxLineBytes of it.
// `*ended` tells whether the line break was reached. False at the end.
bool ReadLine(BlockReader* reader, std::string* line, bool* ended) {
  line->clear();
  *ended = false;
  for (int c = reader->Next(); c >= 0; c = reader->Next()) {
    if (c == '\n') {
      *ended = true;
      if (!line->empty() && line->back() == '\r') line->pop_back();
      return true;
    }
    line->push_back(static_cast<char>(c));
    if (line->size() >= kMaxLineBytes) return true;
  }
  return !line->empty();
}

// The fields of one entity's header that matter here.
struct Fields {
  std::string from;
  std::string to;
  std::string subject;
  std::string content_type;
  std::string transfer_encoding;
  std::string* last = nullptr;  // the kept field that folded lines extend
};

struct HtmlPart {
  std::string bytes;
  std::string charset;
};

// An open multipart: the parts between its delimiter lines.
struct Container {
  std::string delimiter;  // "--" and the boundary
  std::size_t part_depth = 0;
  bool digest = false;       // parts are messages unless they say otherwise
  bool alternative = false;  // parts are versions of one text
  bool started = false;      // a delimiter line was seen
  bool took_plain = false;   // an alternative gave plain text
  std::string preamble;      // held until the first delimiter, in case none comes
  std::vector<HtmlPart> html;
};

enum class Mode { kHeaders, kBody, kIgnore };
enum class PartKind { kPlain, kHtml };

class MailParser {
 public:
  MailParser(int fd, ChunkSink* sink) : reader_(fd), sink_(sink) {}
  HRESULT Run();

 private:
  void OnLine(std::string_view line, bool line_start, bool ended);
  bool OnDelimiter(std::string_view line);
  bool OnHeaderLine(std::string_view line);
  void StartEntity(std::size_t depth, bool message, bool digest);
  void EndHeaders();
  void StartMultipart(const ContentType& type);
  void StartPart(PartKind kind, std::string charset);
  void FinishPart();
  void CloseContainer();
  void EmitMessageFields();
  bool EmitPlain(std::string_view bytes, const std::string& charset);
  void EmitHtml(const HtmlPart& part);
  void Hold(std::string* into, std::string_view bytes, bool ended);
  void Release(std::string* held);
  Container* InnermostAlternative();

  BlockReader reader_;
  ChunkSink* sink_;
  Mode mode_ = Mode::kHeaders;
  // The entity being read.
  Fields fields_;
  std::size_t depth_ = 0;
  bool message_ = true;  // it is a message: its From, To and Subject are text
  bool digest_ = false;
  bool top_ = true;  // the outer message, whose subject is the title
  // The text part being collected.
  PartKind kind_ = PartKind::kPlain;
  std::string encoding_;
  std::string charset_;
  std::string raw_;
  std::vector<Container> containers_;
  std::size_t held_ = 0;  // bytes in raw_, preambles and html parts
};

HRESULT MailParser::Run() {
  std::string line;
  bool ended = false;
  bool line_start = true;
  bool first = true;
  while (!sink_->stopped() && ReadLine(&reader_, &line, &ended)) {
    // The separator line of an mbox file is no header field.
    if (!(first && StartsWith(line, "From "))) OnLine(line, line_start, ended);
    first = false;
    line_start = ended;
  }
  if (mode_ == Mode::kHeaders) EndHeaders();
  FinishPart();
  while (!containers_.empty()) CloseContainer();
  // A message cut short gives the text it has; only a read error fails.
  return reader_.status();
}

void MailParser::OnLine(std::string_view line, bool line_start, bool ended) {
  if (line_start && StartsWith(line, "--") && OnDelimiter(line)) return;
  // A line that is no header field starts the body, even without the
  // blank line that should come first.
  while (mode_ == Mode::kHeaders) {
    if (!line_start || OnHeaderLine(line)) return;
    EndHeaders();
  }
  if (mode_ == Mode::kBody) {
    Hold(&raw_, line, ended);
  } else if (!containers_.empty() && !containers_.back().started) {
    Hold(&containers_.back().preamble, line, ended);
  }
}

// True when `line` is a delimiter of an open multipart. An outer one also
// closes the inner ones whose own closing line never came.
bool MailParser::OnDelimiter(std::string_view line) {
  for (std::size_t k = containers_.size(); k-- > 0;) {
    const std::string& delimiter = containers_[k].delimiter;
    if (!StartsWith(line, delimiter)) continue;
    std::string_view rest = line.substr(delimiter.size());
    const bool closing = StartsWith(rest, "--");
    if (closing) rest.remove_prefix(2);
    if (!IsBlank(rest)) continue;
    FinishPart();
    while (containers_.size() > k + 1) CloseContainer();
    if (closing) {
      CloseContainer();
      mode_ = Mode::kIgnore;  // the epilogue
    } else {
      Container& container = containers_[k];
      container.started = true;
      Release(&container.preamble);
      StartEntity(container.part_depth, false, container.digest);
    }
    return true;
  }
  return false;
}

// Takes in one header line; false when it is not one.
bool MailParser::OnHeaderLine(std::string_view line) {
  if (line.empty()) {
    EndHeaders();
    return true;
  }
  if (line[0] == ' ' || line[0] == '\t') {
    if (fields_.last != nullptr && fields_.last->size() < kMaxFieldBytes) {
      fields_.last->append(line.substr(0, kMaxFieldBytes - fields_.last->size()));
    }
    return true;
  }
  const std::size_t name_length = FieldNameLength(line);
  if (name_length == 0) return false;
  const std::string_view name = line.substr(0, name_length);
  std::string* field = nullptr;
  if (EqualsIgnoringCase(name, "from")) field = &fields_.from;
  if (EqualsIgnoringCase(name, "to")) field = &fields_.to;
  if (EqualsIgnoringCase(name, "subject")) field = &fields_.subject;
  if (EqualsIgnoringCase(name, "content-type")) field = &fields_.content_type;
  if (EqualsIgnoringCase(name, "content-transfer-encoding")) field = &fields_.transfer_encoding;
  // The first of repeated fields counts.
  fields_.last = field != nullptr && field->empty() ? field : nullptr;
  if (fields_.last != nullptr) {
    std::string_view value = line.substr(name_length + 1);
    value.remove_prefix(std::min(value.find_first_not_of(" \t"), value.size()));
    fields_.last->assign(value.substr(0, kMaxFieldBytes));
  }
  return true;
}

void MailParser::StartEntity(std::size_t depth, bool message, bool digest) {
  fields_ = Fields{};
  depth_ = depth;
  message_ = message;
  digest_ = digest;
  mode_ = Mode::kHeaders;
}

void MailParser::EndHeaders() {
  if (message_) EmitMessageFields();
  top_ = false;
  const ContentType type = ParseContentType(fields_.content_type);
  std::string encoding = fields_.transfer_encoding;
  std::transform(encoding.begin(), encoding.end(), encoding.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  encoding_ = encoding.substr(0, encoding.find_first_of(" \t;("));
  const std::string media =
      !type.type.empty() ? type.type : (digest_ ? "message/rfc822" : "text/plain");
  mode_ = Mode::kIgnore;
  if (StartsWith(media, "multipart/") && !type.boundary.empty()) {
    if (depth_ + 1 < kMaxDepth) StartMultipart(type);
  } else if (media == "message/rfc822" || media == "message/global") {
    // An attached message is read as it stands; one wrapped in base64 or
    // quoted-printable would need a second pass and is skipped.
    const bool plain =
        encoding_.empty() || encoding_ == "7bit" || encoding_ == "8bit" || encoding_ == "binary";
    if (depth_ + 1 < kMaxDepth && plain) StartEntity(depth_ + 1, true, false);
  } else if (media == "text/html") {
    StartPart(PartKind::kHtml, type.charset);
  } else if (StartsWith(media, "text/") || StartsWith(media, "multipart/")) {
    // Other text types are read as plain text, and so is a multipart
    // without a boundary: its body cannot be divided.
    StartPart(PartKind::kPlain, type.charset);
  }
}

void MailParser::StartMultipart(const ContentType& type) {
  Container container;
  container.delimiter = "--" + type.boundary;
  container.part_depth = depth_ + 1;
  container.digest = type.type == "multipart/digest";
  container.alternative = type.type == "multipart/alternative";
  containers_.push_back(std::move(container));
}

void MailParser::StartPart(PartKind kind, std::string charset) {
  kind_ = kind;
  charset_ = std::move(charset);
  Release(&raw_);
  mode_ = Mode::kBody;
}

void MailParser::FinishPart() {
  if (mode_ != Mode::kBody) return;
  mode_ = Mode::kIgnore;
  std::string raw = std::move(raw_);
  Release(&raw_);
  held_ -= std::min(held_, raw.size());
  std::string bytes = encoding_ == "base64"             ? DecodeBase64(raw)
                      : encoding_ == "quoted-printable" ? DecodeQuotedPrintable(raw)
                                                        : std::move(raw);
  Container* alternative = InnermostAlternative();
  if (kind_ == PartKind::kPlain) {
    if (EmitPlain(bytes, charset_) && alternative != nullptr) alternative->took_plain = true;
  } else if (alternative != nullptr) {
    // Held until the alternative closes: wanted only if it has no plain
    // text, which may still come after the html.
    Hold(&alternative->html.emplace_back(HtmlPart{{}, charset_}).bytes, bytes, false);
  } else {
    EmitHtml(HtmlPart{std::move(bytes), charset_});
  }
}

void MailParser::CloseContainer() {
  Container& container = containers_.back();
  // A multipart whose boundary never appears: its body is all there is.
  if (!container.started) EmitPlain(container.preamble, "");
  for (HtmlPart& part : container.html) {
    if (!container.took_plain) EmitHtml(part);
    Release(&part.bytes);
  }
  Release(&container.preamble);
  containers_.pop_back();
}

Container* MailParser::InnermostAlternative() {
  for (std::size_t k = containers_.size(); k-- > 0;) {
    if (containers_[k].alternative) return &containers_[k];
  }
  return nullptr;
}

void MailParser::EmitMessageFields() {
  const std::string subject = DecodeHeaderText(fields_.subject);
  if (top_ && !IsBlank(subject)) sink_->AddUtf8(ChunkKind::kTitle, subject);
  std::string text;
  for (const std::string& value :
       {DecodeHeaderText(fields_.from), DecodeHeaderText(fields_.to), subject}) {
    if (IsBlank(value)) continue;
    if (!text.empty()) text.push_back('\n');
    text += value;
  }
  sink_->AddUtf8(ChunkKind::kText, text);
}

// True when the part had any text.
bool MailParser::EmitPlain(std::string_view bytes, const std::string& charset) {
  if (IsBlank(bytes)) return false;
  std::u16string text;
  CharsetDecoder(charset).Decode(bytes, &text);
  sink_->Add(ChunkKind::kText, text);
  return true;
}

void MailParser::EmitHtml(const HtmlPart& part) {
  // The part's own charset is used unless the page names one itself.
  std::string lower(part.bytes.substr(0, kSniffBytes));
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  HRESULT hr;
  if (part.charset.empty() || lower.find("charset") != std::string::npos) {
    hr = ExtractMarkupBuffer(part.bytes, MarkupKind::kHtml, sink_);
  } else {
    std::u16string text;
    CharsetDecoder(part.charset).Decode(part.bytes, &text);
    hr = ExtractMarkupBuffer(Utf16ToUtf8(text), MarkupKind::kHtml, sink_);
  }
  // One damaged part does not fail the message: the others still count.
  static_cast<void>(hr);
}

// Appends a line (and its line break) to held bytes, within kMaxHeldBytes.
void MailParser::Hold(std::string* into, std::string_view bytes, bool ended) {
  const std::size_t room = kMaxHeldBytes - held_;
  const std::size_t take = std::min(bytes.size(), room);
  into->append(bytes.substr(0, take));
  held_ += take;
  if (ended && take < room) {
    into->push_back('\n');
    ++held_;
  }
}

void MailParser::Release(std::string* held) {
  held_ -= std::min(held_, held->size());
  std::string().swap(*held);
}

// A NUL byte near the start: an image or other binary file, not a message.
[[nodiscard]] HRESULT CheckNotBinary(int fd) {
  char head[kSniffBytes];
  const long n = ReadAt(fd, head, sizeof head, 0);
  if (n < 0) return HresultFromErrno(errno);
  if (std::string_view(head, static_cast<std::size_t>(n)).find('\0') != std::string_view::npos) {
    return HRESULT_FROM_WIN32(ERROR_BAD_FORMAT);
  }
  return S_OK;
}

}  // namespace

HRESULT ExtractMail(int fd, ChunkSink* sink) {
  const HRESULT hr = CheckNotBinary(fd);
  if (FAILED(hr)) return hr;
  MailParser parser(fd, sink);
  return parser.Run();
}

}  // namespace docfilter
