#include "filters/filter_host/xml_part.h"

#include <libxml/parser.h>

#include <climits>

namespace docfilter {
namespace {

// Entities stay references (no XML_PARSE_NOENT), no DTD is loaded (no
// XML_PARSE_DTDLOAD), and libxml2's own limits on nesting and entity
// amplification stay on (no XML_PARSE_HUGE).
constexpr int kOptions = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;

// No external resource is ever loaded, whatever the part asks for.
xmlParserInputPtr RefuseExternalEntity(const char*, const char*, xmlParserCtxtPtr) {
  return nullptr;
}

std::string_view View(const xmlChar* text) {
  return text != nullptr ? std::string_view(reinterpret_cast<const char*>(text)) : "";
}

bool IsAsciiSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

}  // namespace

XmlPart::XmlPart(std::string_view bytes) {
  xmlSetExternalEntityLoader(RefuseExternalEntity);
  if (bytes.size() <= INT_MAX) {
    reader_.reset(xmlReaderForMemory(bytes.data(), static_cast<int>(bytes.size()), nullptr, nullptr,
                                     kOptions));
  }
  failed_ = reader_ == nullptr;
}

bool XmlPart::Next() {
  if (failed_) return false;
  if (end_pending_) {
    end_pending_ = false;
    event_ = Event::kEnd;
    return true;
  }
  for (;;) {
    const int status = xmlTextReaderRead(reader_.get());
    if (status != 1) {
      failed_ = status < 0;
      return false;
    }
    switch (xmlTextReaderNodeType(reader_.get())) {
      case XML_READER_TYPE_ELEMENT:
        event_ = Event::kStart;
        end_pending_ = xmlTextReaderIsEmptyElement(reader_.get()) == 1;
        return true;
      case XML_READER_TYPE_END_ELEMENT:
        event_ = Event::kEnd;
        return true;
      case XML_READER_TYPE_TEXT:
      case XML_READER_TYPE_CDATA:
      case XML_READER_TYPE_WHITESPACE:
      case XML_READER_TYPE_SIGNIFICANT_WHITESPACE:
        event_ = Event::kText;
        return true;
      default:
        break;  // comments, processing instructions, entity references, DTD
    }
  }
}

std::string_view XmlPart::local_name() const {
  return View(xmlTextReaderConstLocalName(reader_.get()));
}

std::string_view XmlPart::namespace_uri() const {
  return View(xmlTextReaderConstNamespaceUri(reader_.get()));
}

std::string XmlPart::Attribute(const char* local, const char* ns) const {
  const auto* name = reinterpret_cast<const xmlChar*>(local);
  xmlChar* value = ns != nullptr ? xmlTextReaderGetAttributeNs(reader_.get(), name,
                                                               reinterpret_cast<const xmlChar*>(ns))
                                 : xmlTextReaderGetAttribute(reader_.get(), name);
  std::string result(View(value));
  xmlFree(value);
  return result;
}

std::string_view XmlPart::text() const { return View(xmlTextReaderConstValue(reader_.get())); }

std::string ElementText(XmlPart* part, std::size_t max_bytes) {
  std::string text;
  bool space = false;
  int depth = 0;
  while (part->Next()) {
    if (part->event() == XmlPart::Event::kStart) {
      ++depth;
    } else if (part->event() == XmlPart::Event::kEnd) {
      if (depth-- == 0) break;
    } else {
      for (const char c : part->text()) {
        const bool starts_character = (static_cast<unsigned char>(c) & 0xC0) != 0x80;
        if (IsAsciiSpace(c)) {
          space = !text.empty();
        } else if (starts_character && text.size() >= max_bytes) {
          return text;
        } else {
          if (space && starts_character) text.push_back(' ');
          space = false;
          text.push_back(c);
        }
      }
    }
  }
  return text;
}

std::string FirstElementText(std::string_view bytes, std::string_view ns, std::string_view local) {
  XmlPart part(bytes);
  while (part.Next()) {
    if (part.event() == XmlPart::Event::kStart && part.Is(ns, local)) return ElementText(&part);
  }
  return "";
}

}  // namespace docfilter
