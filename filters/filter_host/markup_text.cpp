#include "filters/filter_host/markup_text.h"

#include <libxml/HTMLparser.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <string_view>

#include "platform/wstring.h"

namespace docfilter {
namespace {

constexpr const char* kXhtmlNamespace = "http://www.w3.org/1999/xhtml";

// Elements that do not end a word: "<b>W</b>ord" is one word.
constexpr const char* kInlineElements[] = {
    "a",      "abbr",   "b",   "bdi", "bdo",  "big", "cite", "code", "data",  "dfn",
    "em",     "font",   "i",   "kbd", "mark", "q",   "s",    "samp", "small", "span",
    "strike", "strong", "sub", "sup", "time", "tt",  "u",    "var",  "wbr"};
// Elements whose content is not text of the document.
constexpr const char* kSkippedElements[] = {"script", "style", "head", "template"};

bool IsOneOf(const xmlChar* name, const auto& names) {
  const char* n = reinterpret_cast<const char*>(name);
  return std::any_of(std::begin(names), std::end(names),
                     [n](const char* candidate) { return std::strcmp(n, candidate) == 0; });
}

bool IsHtmlElement(const xmlNode* node) {
  if (node->doc != nullptr && node->doc->type == XML_HTML_DOCUMENT_NODE) return true;
  return node->ns != nullptr && node->ns->href != nullptr &&
         std::strcmp(reinterpret_cast<const char*>(node->ns->href), kXhtmlNamespace) == 0;
}

// Every XML element separates words; HTML's inline elements do not.
bool EndsWords(const xmlNode* node) {
  return !IsHtmlElement(node) || !IsOneOf(node->name, kInlineElements);
}

bool IsAsciiSpace(unsigned char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

// Gathers UTF-8 text with white-space runs folded into one space, up to a
// byte limit that always covers the unit cap (one UTF-16 unit never takes
// more than three UTF-8 bytes), cut only between characters.
class Collector {
 public:
  explicit Collector(std::size_t max_units) : limit_(max_units * 3 + 3) {}

  void Append(const char* text) {
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p) {
      if (IsAsciiSpace(*p)) {
        space_ = true;
        continue;
      }
      const bool starts_character = (*p & 0xC0) != 0x80;
      if (starts_character && utf8_.size() >= limit_) {
        full_ = true;
        return;
      }
      if (space_ && starts_character && !utf8_.empty()) utf8_.push_back(' ');
      space_ = false;
      utf8_.push_back(static_cast<char>(*p));
    }
  }
  void Break() { space_ = true; }
  bool full() const { return full_; }
  const std::string& utf8() const { return utf8_; }

 private:
  const std::size_t limit_;
  std::string utf8_;
  bool space_ = false;
  bool full_ = false;
};

// An entity reference is never followed into the entity's content: that is
// what keeps expansion bombs and external entities out. A reference to an
// undeclared entity with an HTML name (XHTML read without its DTD) gives
// that character.
void AppendEntityReference(const xmlNode* node, Collector* out) {
  if (node->children != nullptr || node->name == nullptr) return;
  const htmlEntityDesc* entity = htmlEntityLookup(node->name);
  if (entity == nullptr) return;
  const std::u16string unit =
      entity->value > 0xFFFF
          ? std::u16string{static_cast<char16_t>(0xD7C0 + (entity->value >> 10)),
                           static_cast<char16_t>(0xDC00 | (entity->value & 0x3FF))}
          : std::u16string(1, static_cast<char16_t>(entity->value));
  out->Append(Utf16ToUtf8(unit).c_str());
}

// Takes in the node itself; true when its children are to be visited.
bool Enter(const xmlNode* node, Collector* out) {
  switch (node->type) {
    case XML_TEXT_NODE:
    case XML_CDATA_SECTION_NODE:
      if (node->content != nullptr) out->Append(reinterpret_cast<const char*>(node->content));
      return false;
    case XML_ENTITY_REF_NODE:
      AppendEntityReference(node, out);
      return false;
    case XML_ELEMENT_NODE:
      if (IsHtmlElement(node) && IsOneOf(node->name, kSkippedElements)) return false;
      if (EndsWords(node)) out->Break();
      return true;
    default:
      return false;  // comments, processing instructions, document type
  }
}

void Leave(const xmlNode* node, Collector* out) {
  if (node->type == XML_ELEMENT_NODE && EndsWords(node)) out->Break();
}

// Visits `first`, its following siblings and everything below them, without
// recursion: nesting depth must not cost stack.
void Walk(const xmlNode* first, Collector* out) {
  const xmlNode* stop = first != nullptr ? first->parent : nullptr;
  const xmlNode* node = first;
  while (node != nullptr && !out->full()) {
    if (Enter(node, out) && node->children != nullptr) {
      node = node->children;
      continue;
    }
    Leave(node, out);
    while (node->next == nullptr) {
      node = node->parent;
      if (node == stop || node == nullptr) return;
      Leave(node, out);
    }
    node = node->next;
  }
}

const xmlNode* ChildElement(const xmlNode* parent, const char* name) {
  for (const xmlNode* n = parent != nullptr ? parent->children : nullptr; n != nullptr;
       n = n->next) {
    if (n->type == XML_ELEMENT_NODE && IsHtmlElement(n) &&
        std::strcmp(reinterpret_cast<const char*>(n->name), name) == 0) {
      return n;
    }
  }
  return nullptr;
}

// The html/head/title element of an HTML or XHTML document, else null.
const xmlNode* TitleElement(xmlDoc* doc) {
  const xmlNode* root = xmlDocGetRootElement(doc);
  if (root == nullptr || !IsHtmlElement(root) ||
      std::strcmp(reinterpret_cast<const char*>(root->name), "html") != 0) {
    return nullptr;
  }
  return ChildElement(ChildElement(root, "head"), "title");
}

// No external resource is ever loaded: no DTD, no external entity, whatever
// the document asks for.
xmlParserInputPtr RefuseExternalEntity(const char*, const char*, xmlParserCtxtPtr) {
  return nullptr;
}

struct DocDeleter {
  void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};
using DocPtr = std::unique_ptr<xmlDoc, DocDeleter>;

bool IsUtf8(const unsigned char* p, std::size_t size) {
  std::size_t i = 0;
  while (i < size) {
    const unsigned char c = p[i];
    const std::size_t extra = c < 0x80             ? 0
                              : (c & 0xE0) == 0xC0 ? 1
                              : (c & 0xF0) == 0xE0 ? 2
                              : (c & 0xF8) == 0xF0 ? 3
                                                   : 4;
    if (extra == 4 || (extra == 1 && c < 0xC2)) return false;
    if (i + extra >= size) return true;  // a character cut by the sample's end
    for (std::size_t k = 1; k <= extra; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) return false;
    }
    i += extra + 1;
  }
  return true;
}

// libxml2 reads HTML that names no character set as ISO-8859-1. Today's
// pages without one are nearly always UTF-8, so a start that declares
// nothing and is valid UTF-8 is read as UTF-8 (libxml2 falls back to
// ISO-8859-1 by itself where later bytes are not UTF-8).
const char* HtmlEncoding(std::string_view head) {
  std::string lower(head);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return std::tolower(c); });
  if (lower.find("charset") != std::string::npos || lower.find("encoding=") != std::string::npos) {
    return nullptr;
  }
  return IsUtf8(reinterpret_cast<const unsigned char*>(head.data()), head.size()) ? "UTF-8"
                                                                                  : nullptr;
}

// A NUL byte near the start without a UTF-16 byte-order mark: an image,
// archive or other binary file under a markup name.
bool LooksBinary(std::string_view head) {
  if (head.size() >= 2 &&
      ((head[0] == '\xFF' && head[1] == '\xFE') || (head[0] == '\xFE' && head[1] == '\xFF'))) {
    return false;
  }
  return head.find('\0') != std::string_view::npos;
}

constexpr int kQuiet = XML_PARSE_NOERROR | XML_PARSE_NOWARNING;
// Entities stay references (no XML_PARSE_NOENT), no DTD is loaded (no
// XML_PARSE_DTDLOAD), and libxml2's own limits on nesting and entity
// amplification stay on (no XML_PARSE_HUGE).
constexpr int kXmlOptions = XML_PARSE_NONET | kQuiet;
constexpr int kHtmlOptions =
    HTML_PARSE_NONET | HTML_PARSE_NOERROR | HTML_PARSE_NOWARNING | HTML_PARSE_RECOVER;

bool HasRoot(const DocPtr& doc) { return doc != nullptr && xmlDocGetRootElement(doc.get()); }

// A document read either from a descriptor or from memory. XML that does
// not parse falls back to the forgiving HTML parser, so a mislabelled text
// or HTML file still gives its words.
class Source {
 public:
  virtual ~Source() = default;
  virtual std::string_view Head() = 0;  // up to 4 KiB from the start
  virtual DocPtr ReadXml() = 0;
  virtual DocPtr ReadHtml(const char* encoding) = 0;
  virtual bool Empty() = 0;

  DocPtr Parse(MarkupKind kind) {
    xmlSetExternalEntityLoader(RefuseExternalEntity);
    if (kind == MarkupKind::kXml) {
      DocPtr doc = ReadXml();
      if (HasRoot(doc)) return doc;
    }
    return ReadHtml(HtmlEncoding(Head()));
  }
};

class FdSource : public Source {
 public:
  explicit FdSource(int fd) : fd_(fd) {}
  std::string_view Head() override {
    if (!head_read_) {
      head_read_ = true;
      const ssize_t n = pread(fd_, head_, sizeof head_, 0);
      head_size_ = n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    return {head_, head_size_};
  }
  DocPtr ReadXml() override {
    if (lseek(fd_, 0, SEEK_SET) != 0) return nullptr;
    return DocPtr(xmlReadFd(fd_, nullptr, nullptr, kXmlOptions));
  }
  DocPtr ReadHtml(const char* encoding) override {
    if (lseek(fd_, 0, SEEK_SET) != 0) return nullptr;
    return DocPtr(htmlReadFd(fd_, nullptr, encoding, kHtmlOptions));
  }
  bool Empty() override {
    struct stat st {};
    return fstat(fd_, &st) == 0 && st.st_size == 0;
  }

 private:
  int fd_;
  char head_[4096];
  std::size_t head_size_ = 0;
  bool head_read_ = false;
};

class MemorySource : public Source {
 public:
  explicit MemorySource(std::string_view bytes) : bytes_(bytes) {}
  std::string_view Head() override { return bytes_.substr(0, 4096); }
  DocPtr ReadXml() override {
    return DocPtr(xmlReadMemory(bytes_.data(), Size(), nullptr, nullptr, kXmlOptions));
  }
  DocPtr ReadHtml(const char* encoding) override {
    return DocPtr(htmlReadMemory(bytes_.data(), Size(), nullptr, encoding, kHtmlOptions));
  }
  bool Empty() override { return bytes_.empty(); }

 private:
  // libxml2 takes an int size; larger buffers are cut (the text cap is far
  // below what 2 GiB of markup would give).
  int Size() const { return static_cast<int>(std::min<std::size_t>(bytes_.size(), INT_MAX)); }
  std::string_view bytes_;
};

HRESULT Extract(Source* source, MarkupKind kind, bool with_title, ChunkSink* sink) {
  if (LooksBinary(source->Head())) return HRESULT_FROM_WIN32(ERROR_BAD_FORMAT);
  const DocPtr doc = source->Parse(kind);
  // An empty document has no text; otherwise libxml2 ran out of memory or
  // could not read the file.
  if (doc == nullptr) return source->Empty() ? S_OK : E_FAIL;
  if (with_title) {
    Collector title(sink->left());
    if (const xmlNode* element = TitleElement(doc.get())) Walk(element->children, &title);
    sink->AddUtf8(ChunkKind::kTitle, title.utf8());
  }
  Collector body(sink->left());
  Walk(doc->children, &body);
  sink->AddUtf8(ChunkKind::kText, body.utf8());
  return S_OK;
}

}  // namespace

HRESULT ExtractHtml(int fd, ChunkSink* sink) {
  FdSource source(fd);
  return Extract(&source, MarkupKind::kHtml, true, sink);
}

HRESULT ExtractXml(int fd, ChunkSink* sink) {
  FdSource source(fd);
  return Extract(&source, MarkupKind::kXml, true, sink);
}

HRESULT ExtractMarkupBuffer(std::string_view bytes, MarkupKind kind, ChunkSink* sink) {
  MemorySource source(bytes);
  return Extract(&source, kind, false, sink);
}

}  // namespace docfilter
