#include "filters/filter_host/formats.h"

#include <algorithm>
#include <string_view>

#include "filters/filter_host/epub_text.h"
#include "filters/filter_host/mail_text.h"
#include "filters/filter_host/markup_text.h"
#include "filters/filter_host/office_text.h"
#include "filters/filter_host/pdf_text.h"
#include "filters/filter_host/rtf_text.h"

namespace docfilter {
namespace {

struct Format {
  std::string_view extension;  // lower case, without the dot
  Extractor extract;
};

constexpr Format kFormats[] = {
    {"html", ExtractHtml},
    {"htm", ExtractHtml},
    {"xhtml", ExtractXml},
    {"xml", ExtractXml},
    {"pdf", ExtractPdf},
    {"odt", ExtractOpenDocument},
    {"ods", ExtractOpenDocument},
    {"odp", ExtractOpenDocument},
    {"odg", ExtractOpenDocument},
    {"docx", ExtractOfficeOpenXml},
    {"xlsx", ExtractOfficeOpenXml},
    {"pptx", ExtractOfficeOpenXml},
    {"epub", ExtractEpub},
    {"rtf", ExtractRtf},
    {"eml", ExtractMail},
};

}  // namespace

Extractor ExtractorForPath(const std::string& path) {
  const std::size_t dot = path.find_last_of("./");
  if (dot == std::string::npos || path[dot] != '.') return nullptr;
  std::string extension = path.substr(dot + 1);
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return std::tolower(c); });
  for (const Format& format : kFormats) {
    if (format.extension == extension) return format.extract;
  }
  return nullptr;
}

}  // namespace docfilter
