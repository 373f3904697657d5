#include "query/file_kinds.h"

#include <algorithm>
#include <array>
#include <utility>

namespace trovix::query {
namespace {

struct Kind {
  std::string_view name;
  std::vector<std::string_view> extensions;
};

const std::vector<Kind>& Kinds() {
  static const std::vector<Kind> kinds = {
      {"pdf", {"pdf"}},
      {"text", {"txt", "text", "md", "markdown", "rst", "log", "org", "tex", "srt", "nfo", "asc"}},
      {"web", {"html", "htm", "xhtml", "mht", "mhtml", "xml", "svg"}},
      {"mail", {"eml", "msg", "mbox", "emlx"}},
      {"ebook", {"epub", "mobi", "azw", "azw3", "fb2", "djvu"}},
      {"spreadsheet", {"ods", "xlsx", "xls", "xlsm", "csv", "tsv", "numbers", "fods"}},
      {"presentation", {"odp", "pptx", "ppt", "key", "fodp"}},
      {"image",
       {"jpg", "jpeg", "png", "gif", "bmp", "tif", "tiff", "webp", "heic", "heif", "avif", "raw",
        "cr2", "nef", "dng", "ico", "xcf", "psd", "odg"}},
      {"audio", {"mp3", "ogg", "oga", "opus", "flac", "wav", "m4a", "aac", "wma", "aiff", "mid"}},
      {"video",
       {"mp4", "mkv", "webm", "avi", "mov", "m4v", "mpg", "mpeg", "wmv", "flv", "ogv", "3gp"}},
      {"archive",
       {"zip", "tar", "gz", "tgz", "bz2", "xz", "zst", "7z", "rar", "deb", "rpm", "iso", "jar",
        "cab", "lz", "lzma"}},
  };
  return kinds;
}

// Word processing formats, which with PDF, e-books, text and web pages
// make up "document".
constexpr std::array<std::string_view, 9> kWordProcessing = {"odt", "docx", "doc",   "rtf", "fodt",
                                                             "abw", "wpd",  "pages", "dotx"};

bool InKind(std::string_view extension, std::string_view name) {
  for (const Kind& kind : Kinds()) {
    if (kind.name != name) continue;
    return std::find(kind.extensions.begin(), kind.extensions.end(), extension) !=
           kind.extensions.end();
  }
  return false;
}

}  // namespace

const std::vector<std::string>& FileKindNames() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> all = {"document"};
    for (const Kind& kind : Kinds()) all.emplace_back(kind.name);
    return all;
  }();
  return names;
}

std::string ExtensionOf(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0 || dot + 1 == name.size()) return {};
  std::string extension(name.substr(dot + 1));
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c); });
  return extension;
}

bool IsOfKind(std::string_view extension, std::string_view kind) {
  if (extension.empty()) return false;
  if (kind == "document") {
    return std::find(kWordProcessing.begin(), kWordProcessing.end(), extension) !=
               kWordProcessing.end() ||
           InKind(extension, "pdf") || InKind(extension, "ebook") || InKind(extension, "text") ||
           InKind(extension, "web");
  }
  return InKind(extension, kind);
}

}  // namespace trovix::query
