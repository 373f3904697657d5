#include "filters/filter_host/epub_text.h"

#include <algorithm>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "filters/filter_host/markup_text.h"
#include "filters/filter_host/xml_part.h"
#include "filters/filter_host/zip_archive.h"

namespace docfilter {
namespace {

constexpr HRESULT kBadFormat = HRESULT_FROM_WIN32(ERROR_BAD_FORMAT);
constexpr std::string_view kDcNs = "http://purl.org/dc/elements/1.1/";

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// "%20" becomes a space; a '%' not followed by two hex digits stays.
std::string PercentDecoded(std::string_view text) {
  std::string decoded;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool escape = text[i] == '%' && i + 2 < text.size();
    const int high = escape ? HexValue(text[i + 1]) : -1;
    const int low = high >= 0 ? HexValue(text[i + 2]) : -1;
    if (low >= 0) {
      decoded.push_back(static_cast<char>(high * 16 + low));
      i += 2;
    } else {
      decoded.push_back(text[i]);
    }
  }
  return decoded;
}

// The archive entry an href names, resolved against `folder` (empty or
// ending in '/'); empty when it names nothing inside the archive: another
// scheme, or a path that climbs above the archive's root. Decoding comes
// before resolving, so "%2E%2E" climbs like "..".
std::string ResolveHref(std::string_view folder, std::string_view href) {
  href = href.substr(0, href.find('#'));
  const std::size_t colon = href.find(':');
  if (colon != std::string_view::npos && href.find('/') > colon) return "";
  const std::string decoded = PercentDecoded(href);
  const std::string path = decoded.starts_with('/') ? decoded : std::string(folder) + decoded;
  std::vector<std::string_view> segments;
  for (std::size_t start = 0; start <= path.size();) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    const std::string_view segment(path.data() + start, end - start);
    if (segment == "..") {
      if (segments.empty()) return "";
      segments.pop_back();
    } else if (!segment.empty() && segment != ".") {
      segments.push_back(segment);
    }
    start = end + 1;
  }
  std::string name;
  for (const std::string_view segment : segments) {
    if (!name.empty()) name.push_back('/');
    name += segment;
  }
  return name;
}

struct Book {
  std::string title;
  std::vector<std::string> documents;  // entry names in reading order, each once
};

// The package document named by META-INF/container.xml; empty when none.
std::string PackagePath(ZipArchive* zip) {
  std::string bytes;
  if (FAILED(zip->Read("META-INF/container.xml", &bytes))) return "";
  XmlPart part(bytes);
  while (part.Next()) {
    if (part.event() != XmlPart::Event::kStart || part.local_name() != "rootfile") continue;
    const std::string type = part.Attribute("media-type");
    if (type.empty() || type == "application/oebps-package+xml") {
      return ResolveHref("", part.Attribute("full-path"));
    }
  }
  return "";
}

// Title and reading order from the package document. Spine entries that
// name no entry of the archive, or one already listed, are left out: each
// document is read once however often the spine names it.
void ReadPackage(ZipArchive* zip, Book* book) {
  const std::string package = PackagePath(zip);
  std::string bytes;
  if (package.empty() || FAILED(zip->Read(package, &bytes))) return;
  const std::string folder = package.substr(0, package.rfind('/') + 1);
  std::unordered_map<std::string, std::string> entries;  // manifest id -> entry name
  std::vector<std::string> spine;                        // manifest ids
  XmlPart part(bytes);
  while (part.Next()) {
    if (part.event() != XmlPart::Event::kStart) continue;
    if (book->title.empty() && part.Is(kDcNs, "title")) {
      book->title = ElementText(&part);
    } else if (part.local_name() == "item") {
      entries.emplace(part.Attribute("id"), ResolveHref(folder, part.Attribute("href")));
    } else if (part.local_name() == "itemref") {
      spine.push_back(part.Attribute("idref"));
    }
  }
  std::unordered_set<std::string> listed;
  for (const std::string& id : spine) {
    const auto entry = entries.find(id);
    if (entry == entries.end() || entry->second.empty() || !zip->Contains(entry->second) ||
        !listed.insert(entry->second).second) {
      continue;
    }
    book->documents.push_back(entry->second);
  }
}

bool EndsWithNoCase(std::string_view name, std::string_view suffix) {
  return name.size() >= suffix.size() &&
         std::equal(suffix.begin(), suffix.end(), name.end() - suffix.size(), [](char a, char b) {
           return a == std::tolower(static_cast<unsigned char>(b));
         });
}

// Without a usable package document: every web page of the archive, in
// archive order.
std::vector<std::string> MarkupEntries(const ZipArchive& zip) {
  std::vector<std::string> names;
  for (std::uint64_t i = 0; i < zip.size(); ++i) {
    std::string name = zip.Name(i);
    if (EndsWithNoCase(name, ".xhtml") || EndsWithNoCase(name, ".html") ||
        EndsWithNoCase(name, ".htm")) {
      names.push_back(std::move(name));
    }
  }
  return names;
}

// Entries that META-INF/encryption.xml lists as encrypted (fonts that are
// only obfuscated are listed too; they are never content documents).
std::unordered_set<std::string> EncryptedEntries(ZipArchive* zip) {
  std::unordered_set<std::string> names;
  std::string bytes;
  if (FAILED(zip->Read("META-INF/encryption.xml", &bytes))) return names;
  XmlPart part(bytes);
  while (part.Next()) {
    if (part.event() == XmlPart::Event::kStart && part.local_name() == "CipherReference") {
      names.insert(ResolveHref("", part.Attribute("URI")));
    }
  }
  return names;
}

}  // namespace

HRESULT ExtractEpub(int fd, ChunkSink* sink) {
  ZipArchive zip;
  HRESULT hr = zip.Open(fd);
  if (FAILED(hr)) return hr;
  Book book;
  ReadPackage(&zip, &book);
  if (book.documents.empty()) book.documents = MarkupEntries(zip);
  if (book.documents.empty()) return kBadFormat;
  const std::unordered_set<std::string> encrypted = EncryptedEntries(&zip);
  for (const std::string& name : book.documents) {
    if (encrypted.contains(name)) return FILTER_E_PASSWORD;
  }
  sink->AddUtf8(ChunkKind::kTitle, book.title);
  std::string bytes;
  for (const std::string& name : book.documents) {
    if (sink->stopped()) break;
    hr = zip.Read(name, &bytes);
    if (FAILED(hr)) return hr;
    hr = ExtractMarkupBuffer(bytes, MarkupKind::kXml, sink);
    if (hr == kBadFormat) continue;  // an image or other binary named as a document
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

}  // namespace docfilter
