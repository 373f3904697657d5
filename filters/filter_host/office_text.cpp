#include "filters/filter_host/office_text.h"

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "filters/filter_host/part_text.h"
#include "filters/filter_host/xml_part.h"
#include "filters/filter_host/zip_archive.h"

namespace docfilter {
namespace {

constexpr HRESULT kBadFormat = HRESULT_FROM_WIN32(ERROR_BAD_FORMAT);

constexpr std::string_view kDcNs = "http://purl.org/dc/elements/1.1/";
constexpr std::string_view kOfficeNs = "urn:oasis:names:tc:opendocument:xmlns:office:1.0";
constexpr std::string_view kTextNs = "urn:oasis:names:tc:opendocument:xmlns:text:1.0";
constexpr const char* kManifestNs = "urn:oasis:names:tc:opendocument:xmlns:manifest:1.0";

// What an element means for the text around it.
enum class Role {
  kInline,     // nothing: "<span>W</span>ord" is one word
  kWordBreak,  // separates words
  kParagraph,  // separates paragraphs
  kLineBreak,
  kTab,
  kSpaces,  // spelt-out spaces, their count in the element's attribute "c"
  kText,    // its text is document text (where not all text is)
  kSkip,    // nothing inside is document text
};

struct NameRole {
  std::string_view ns;  // empty: any namespace
  std::string_view name;
  Role role;
};

struct PartRules {
  std::span<const NameRole> roles;
  Role other;               // the role of elements not named in `roles`
  bool all_text;            // false: only text inside kText elements counts
  std::string_view region;  // only the content of this element counts (empty: all)
  std::string_view region_ns;
};

// OpenDocument: all text of office:body; elements separate words unless
// they only mark or style a stretch of text.
constexpr NameRole kOdfRoles[] = {
    {kTextNs, "p", Role::kParagraph},
    {kTextNs, "h", Role::kParagraph},
    {kTextNs, "span", Role::kInline},
    {kTextNs, "a", Role::kInline},
    {kTextNs, "meta", Role::kInline},
    {kTextNs, "soft-page-break", Role::kInline},
    {kTextNs, "bookmark", Role::kInline},
    {kTextNs, "bookmark-start", Role::kInline},
    {kTextNs, "bookmark-end", Role::kInline},
    {kTextNs, "reference-mark", Role::kInline},
    {kTextNs, "reference-mark-start", Role::kInline},
    {kTextNs, "reference-mark-end", Role::kInline},
    {kTextNs, "s", Role::kSpaces},
    {kTextNs, "tab", Role::kTab},
    {kTextNs, "line-break", Role::kLineBreak},
    {kTextNs, "tracked-changes", Role::kSkip},  // deleted text
    {kDcNs, "creator", Role::kSkip},            // who wrote an annotation
    {kDcNs, "date", Role::kSkip},               // and when
};
constexpr PartRules kOdfContent{kOdfRoles, Role::kWordBreak, true, "body", kOfficeNs};

// Office Open XML: names are matched without their namespace, which differs
// between the transitional and strict forms. mc:Fallback repeats, for older
// readers, what mc:Choice holds.
constexpr NameRole kWordRoles[] = {
    {"", "t", Role::kText},       {"", "p", Role::kParagraph},   {"", "tc", Role::kParagraph},
    {"", "br", Role::kLineBreak}, {"", "cr", Role::kLineBreak},  {"", "tab", Role::kTab},
    {"", "ptab", Role::kTab},     {"", "Fallback", Role::kSkip},
};
constexpr PartRules kWordPart{kWordRoles, Role::kInline, false, "", ""};

constexpr NameRole kSlideRoles[] = {
    {"", "t", Role::kText},
    {"", "p", Role::kParagraph},
    {"", "br", Role::kLineBreak},
    {"", "Fallback", Role::kSkip},
};
constexpr PartRules kSlidePart{kSlideRoles, Role::kInline, false, "", ""};

// Shared strings: one paragraph per string; rPh holds phonetic readings.
constexpr NameRole kStringRoles[] = {
    {"", "t", Role::kText},
    {"", "si", Role::kParagraph},
    {"", "rPh", Role::kSkip},
};
constexpr PartRules kSharedStrings{kStringRoles, Role::kInline, false, "", ""};

Role RoleOf(const XmlPart& part, const PartRules& rules) {
  const std::string_view name = part.local_name();
  for (const NameRole& entry : rules.roles) {
    if (entry.name == name && (entry.ns.empty() || entry.ns == part.namespace_uri())) {
      return entry.role;
    }
  }
  return rules.other;
}

std::size_t SpaceCount(const XmlPart& part) {
  const std::string ns(part.namespace_uri());
  const std::string value = part.Attribute("c", ns.c_str());
  std::size_t count = 1;
  std::from_chars(value.data(), value.data() + value.size(), count);
  return count;
}

// An element starts (inside the region and outside skipped content).
// Returns true when it starts skipped content.
bool Start(const XmlPart& part, const PartRules& rules, int* text_depth, PartText* out) {
  switch (RoleOf(part, rules)) {
    case Role::kSkip:
      return true;
    case Role::kText:
      ++*text_depth;
      break;
    case Role::kParagraph:
      out->EndParagraph();
      break;
    case Role::kWordBreak:
      out->WordBreak();
      break;
    case Role::kLineBreak:
      out->LineBreak();
      break;
    case Role::kTab:
      out->Tab();
      break;
    case Role::kSpaces:
      out->Spaces(SpaceCount(part));
      break;
    case Role::kInline:
      break;
  }
  return false;
}

void End(const XmlPart& part, const PartRules& rules, int* text_depth, PartText* out) {
  switch (RoleOf(part, rules)) {
    case Role::kText:
      --*text_depth;
      break;
    case Role::kParagraph:
      out->EndParagraph();
      break;
    case Role::kWordBreak:
      out->WordBreak();
      break;
    default:
      break;
  }
}

// Gathers the text of one part by `rules`. S_OK at its end or once no more
// text is wanted; ERROR_BAD_FORMAT when the part breaks off (the text before
// the break is handed on).
HRESULT WalkPart(std::string_view bytes, const PartRules& rules, PartText* out) {
  XmlPart part(bytes);
  bool inside = rules.region.empty();
  int depth = 0;       // open elements inside the region
  int skipped = 0;     // open elements of skipped content
  int text_depth = 0;  // open kText elements
  while (!out->done() && part.Next()) {
    switch (part.event()) {
      case XmlPart::Event::kStart:
        if (!inside) {
          inside = part.Is(rules.region_ns, rules.region);
          break;
        }
        ++depth;
        if (skipped > 0) {
          ++skipped;
        } else if (Start(part, rules, &text_depth, out)) {
          skipped = 1;
        }
        break;
      case XmlPart::Event::kEnd:
        if (!inside) break;
        if (depth-- == 0) {
          inside = false;  // the region ends
        } else if (skipped > 0) {
          --skipped;
        } else {
          End(part, rules, &text_depth, out);
        }
        break;
      case XmlPart::Event::kText:
        if (inside && skipped == 0 && (rules.all_text || text_depth > 0)) out->Append(part.text());
        break;
    }
  }
  out->Flush();
  return part.failed() ? kBadFormat : S_OK;
}

// A worksheet: inline strings, numbers and the results of formulas, one row
// per line (shared strings come from their own part).
HRESULT WalkSheet(std::string_view bytes, PartText* out) {
  XmlPart part(bytes);
  std::string type;   // the current cell's "t"
  bool take = false;  // inside a value or string worth taking
  int phonetic = 0;   // inside rPh
  while (!out->done() && part.Next()) {
    const std::string_view name = part.local_name();
    if (part.event() == XmlPart::Event::kStart) {
      if (name == "row") out->EndParagraph();
      if (name == "c") type = part.Attribute("t");
      if (name == "rPh") ++phonetic;
      if (name == "v") take = type.empty() || type == "n" || type == "str" || type == "d";
      if (name == "t") take = type == "inlineStr" && phonetic == 0;
    } else if (part.event() == XmlPart::Event::kEnd) {
      if (name == "v" || name == "t") take = false;
      if (name == "c") out->WordBreak();
      if (name == "rPh") --phonetic;
    } else if (take) {
      out->Append(part.text());
    }
  }
  out->Flush();
  return part.failed() ? kBadFormat : S_OK;
}

// Hands on the dc:title of a metadata part as the title chunk. A missing or
// unreadable metadata part only costs the title.
void AddTitle(ZipArchive* zip, const std::string& name, ChunkSink* sink) {
  std::string bytes;
  if (FAILED(zip->Read(name, &bytes))) return;
  sink->AddUtf8(ChunkKind::kTitle, FirstElementText(bytes, kDcNs, "title"));
}

// --- OpenDocument ---

// The manifest lists encryption data for each encrypted part.
bool ContentIsEncrypted(ZipArchive* zip) {
  std::string bytes;
  if (FAILED(zip->Read("META-INF/manifest.xml", &bytes))) return false;
  XmlPart part(bytes);
  std::string path;  // of the current file-entry
  while (part.Next()) {
    if (part.event() != XmlPart::Event::kStart) continue;
    if (part.local_name() == "file-entry") path = part.Attribute("full-path", kManifestNs);
    if (part.local_name() == "encryption-data" && path == "content.xml") return true;
  }
  return false;
}

// An encrypted part is deflated ciphertext, which starts like no XML (an
// empty part is merely damaged).
bool LooksLikeXml(std::string_view bytes) {
  if (bytes.starts_with("\xEF\xBB\xBF")) bytes.remove_prefix(3);
  const std::size_t first = bytes.find_first_not_of(" \t\r\n");
  return first == std::string_view::npos || bytes[first] == '<';
}

}  // namespace

HRESULT ExtractOpenDocument(int fd, ChunkSink* sink) {
  ZipArchive zip;
  HRESULT hr = zip.Open(fd);
  if (FAILED(hr)) return hr;
  if (ContentIsEncrypted(&zip)) return FILTER_E_PASSWORD;
  std::string content;
  hr = zip.Read("content.xml", &content);
  if (hr == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)) return kBadFormat;
  if (FAILED(hr)) return hr;
  if (!LooksLikeXml(content)) return FILTER_E_PASSWORD;
  AddTitle(&zip, "meta.xml", sink);
  PartText out(sink);
  return WalkPart(content, kOdfContent, &out);
}

// --- Office Open XML ---

namespace {

enum class OoxmlKind { kNone, kWord, kSheet, kSlides };

// A password-protected Office Open XML file is an OLE compound file that
// holds the encrypted package.
bool IsCompoundFile(int fd) {
  unsigned char head[4] = {};
  return pread(fd, head, sizeof head, 0) == sizeof head && head[0] == 0xD0 && head[1] == 0xCF &&
         head[2] == 0x11 && head[3] == 0xE0;
}

OoxmlKind KindOf(const ZipArchive& zip) {
  if (zip.Contains("word/document.xml")) return OoxmlKind::kWord;
  if (zip.Contains("xl/workbook.xml")) return OoxmlKind::kSheet;
  if (zip.Contains("ppt/presentation.xml")) return OoxmlKind::kSlides;
  return OoxmlKind::kNone;
}

// Entries named `prefix`N`suffix` (N a decimal number), by N.
std::vector<std::string> NumberedParts(const ZipArchive& zip, std::string_view prefix,
                                       std::string_view suffix) {
  std::vector<std::pair<unsigned long, std::string>> found;
  for (std::uint64_t i = 0; i < zip.size(); ++i) {
    std::string name = zip.Name(i);
    if (name.size() <= prefix.size() + suffix.size() || !name.starts_with(prefix) ||
        !name.ends_with(suffix)) {
      continue;
    }
    const char* first = name.data() + prefix.size();
    const char* last = name.data() + name.size() - suffix.size();
    unsigned long number = 0;
    const auto [end, error] = std::from_chars(first, last, number);
    if (error == std::errc() && end == last) found.emplace_back(number, std::move(name));
  }
  std::sort(found.begin(), found.end());
  std::vector<std::string> names;
  for (auto& [number, name] : found) names.push_back(std::move(name));
  return names;
}

struct Part {
  std::string name;
  const PartRules* rules;  // null: a worksheet
};

void AddParts(std::vector<Part>* parts, std::vector<std::string> names, const PartRules* rules) {
  for (std::string& name : names) parts->push_back(Part{std::move(name), rules});
}

// The parts that hold text, in reading order.
std::vector<Part> TextParts(const ZipArchive& zip, OoxmlKind kind) {
  std::vector<Part> parts;
  switch (kind) {
    case OoxmlKind::kWord:
      parts.push_back(Part{"word/document.xml", &kWordPart});
      AddParts(&parts, {"word/footnotes.xml", "word/endnotes.xml"}, &kWordPart);
      AddParts(&parts, NumberedParts(zip, "word/header", ".xml"), &kWordPart);
      AddParts(&parts, NumberedParts(zip, "word/footer", ".xml"), &kWordPart);
      break;
    case OoxmlKind::kSheet:
      parts.push_back(Part{"xl/sharedStrings.xml", &kSharedStrings});
      AddParts(&parts, NumberedParts(zip, "xl/worksheets/sheet", ".xml"), nullptr);
      break;
    case OoxmlKind::kSlides:
      AddParts(&parts, NumberedParts(zip, "ppt/slides/slide", ".xml"), &kSlidePart);
      AddParts(&parts, NumberedParts(zip, "ppt/notesSlides/notesSlide", ".xml"), &kSlidePart);
      break;
    case OoxmlKind::kNone:
      break;
  }
  return parts;
}

}  // namespace

HRESULT ExtractOfficeOpenXml(int fd, ChunkSink* sink) {
  if (IsCompoundFile(fd)) return FILTER_E_PASSWORD;
  ZipArchive zip;
  HRESULT hr = zip.Open(fd);
  if (FAILED(hr)) return hr;
  const OoxmlKind kind = KindOf(zip);
  if (kind == OoxmlKind::kNone) return kBadFormat;
  AddTitle(&zip, "docProps/core.xml", sink);
  PartText out(sink);
  std::string bytes;
  for (const Part& part : TextParts(zip, kind)) {
    if (out.done()) break;
    if (!zip.Contains(part.name)) continue;  // parts a document may do without
    hr = zip.Read(part.name, &bytes);
    if (FAILED(hr)) return hr;
    hr = part.rules != nullptr ? WalkPart(bytes, *part.rules, &out) : WalkSheet(bytes, &out);
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

}  // namespace docfilter
