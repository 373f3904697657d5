#include "filters/filter_host/markup_text.h"

#include <libxml/HTMLparser.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <string_view>

#include "filters/filter_host/html_stream.h"
#include "filters/filter_host/markup_elements.h"
#include "filters/filter_host/text_collector.h"
#include "platform/wstring.h"

namespace docfilter {
namespace {

constexpr const char* kXhtmlNamespace = "http://www.w3.org/1999/xhtml";

bool IsNamed(const xmlChar* name, const auto& names) {
  return IsOneOf(reinterpret_cast<const char*>(name), names);
}

bool IsHtmlElement(const xmlNode* node) {
  if (node->doc != nullptr && node->doc->type == XML_HTML_DOCUMENT_NODE) return true;
  return node->ns != nullptr && node->ns->href != nullptr &&
         std::strcmp(reinterpret_cast<const char*>(node->ns->href), kXhtmlNamespace) == 0;
}

// Every XML element separates words; HTML's inline elements do not.
bool EndsWords(const xmlNode* node) {
  return !IsHtmlElement(node) || !IsNamed(node->name, kInlineElements);
}

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
  out->Append(Utf16ToUtf8(unit));
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
      if (IsHtmlElement(node) && IsNamed(node->name, kSkippedElements)) return false;
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

// A NUL byte near the start without a UTF-16 byte-order mark: an image,
// archive or other binary file under a markup name.
bool LooksBinary(std::string_view head) {
  if (head.size() >= 2 &&
      ((head[0] == '\xFF' && head[1] == '\xFE') || (head[0] == '\xFE' && head[1] == '\xFF'))) {
    return false;
  }
  return head.find('\0') != std::string_view::npos;
}

// Entities stay references (no XML_PARSE_NOENT), no DTD is loaded (no
// XML_PARSE_DTDLOAD), and libxml2's own limits on nesting and entity
// amplification stay on (no XML_PARSE_HUGE).
constexpr int kXmlOptions = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;

// The text of a parsed XML document: the XHTML title as a title chunk when
// `with_title`, then the rest as one chunk.
void HandOnTree(xmlDoc* doc, bool with_title, ChunkSink* sink) {
  if (with_title) {
    Collector title(sink->left());
    if (const xmlNode* element = TitleElement(doc)) Walk(element->children, &title);
    sink->AddUtf8(ChunkKind::kTitle, title.utf8());
  }
  Collector body(sink->left());
  Walk(doc->children, &body);
  sink->AddUtf8(ChunkKind::kText, body.utf8());
}

// Reads on from the descriptor's current offset.
ReadMore FromDescriptor(int fd) {
  return [fd](char* buffer, std::size_t size) -> long {
    for (;;) {
      const ssize_t n = read(fd, buffer, size);
      if (n >= 0 || errno != EINTR) return static_cast<long>(n);
    }
  };
}

// Reads on from `*at` in `bytes`.
ReadMore FromMemory(std::string_view bytes, std::size_t* at) {
  return [bytes, at](char* buffer, std::size_t size) -> long {
    const std::size_t n = std::min(size, bytes.size() - *at);
    std::memcpy(buffer, bytes.data() + *at, n);
    *at += n;
    return static_cast<long>(n);
  };
}

// The first 4 KiB of the file, read from its start; the offset is left
// just after them.
HRESULT ReadHead(int fd, std::string* head) {
  if (lseek(fd, 0, SEEK_SET) != 0) return HresultFromErrno(errno);
  head->resize(4096);
  std::size_t got = 0;
  while (got < head->size()) {
    const ssize_t n = read(fd, head->data() + got, head->size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return HresultFromErrno(errno);
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  head->resize(got);
  return S_OK;
}

HRESULT StreamFile(int fd, bool with_title, ChunkSink* sink) {
  std::string head;
  HRESULT hr = ReadHead(fd, &head);
  if (FAILED(hr)) return hr;
  if (LooksBinary(head)) return HRESULT_FROM_WIN32(ERROR_BAD_FORMAT);
  return StreamHtml(head, FromDescriptor(fd), with_title, sink);
}

HRESULT StreamBuffer(std::string_view bytes, ChunkSink* sink) {
  const std::string_view head = bytes.substr(0, 4096);
  if (LooksBinary(head)) return HRESULT_FROM_WIN32(ERROR_BAD_FORMAT);
  std::size_t at = head.size();
  return StreamHtml(head, FromMemory(bytes, &at), /*with_title=*/false, sink);
}

bool HasRoot(const DocPtr& doc) { return doc != nullptr && xmlDocGetRootElement(doc.get()); }

}  // namespace

HRESULT ExtractHtml(int fd, ChunkSink* sink) { return StreamFile(fd, /*with_title=*/true, sink); }

HRESULT ExtractXml(int fd, ChunkSink* sink) {
  std::string head;
  const HRESULT hr = ReadHead(fd, &head);
  if (FAILED(hr)) return hr;
  if (LooksBinary(head)) return HRESULT_FROM_WIN32(ERROR_BAD_FORMAT);
  if (lseek(fd, 0, SEEK_SET) != 0) return HresultFromErrno(errno);
  xmlSetExternalEntityLoader(RefuseExternalEntity);
  const DocPtr doc(xmlReadFd(fd, nullptr, nullptr, kXmlOptions));
  if (HasRoot(doc)) {
    HandOnTree(doc.get(), /*with_title=*/true, sink);
    return S_OK;
  }
  return StreamFile(fd, /*with_title=*/true, sink);
}

HRESULT ExtractMarkupBuffer(std::string_view bytes, MarkupKind kind, ChunkSink* sink) {
  if (kind == MarkupKind::kXml) {
    xmlSetExternalEntityLoader(RefuseExternalEntity);
    const DocPtr doc(xmlReadMemory(bytes.data(),
                                   static_cast<int>(std::min<std::size_t>(bytes.size(), INT_MAX)),
                                   nullptr, nullptr, kXmlOptions));
    if (HasRoot(doc)) {
      HandOnTree(doc.get(), /*with_title=*/false, sink);
      return S_OK;
    }
  }
  return StreamBuffer(bytes, sink);
}

}  // namespace docfilter
