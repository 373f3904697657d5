#include "tools/file_types.h"

#include "platform/reg_key.h"
#include "platform/registry.h"
#include "shared/filter_ids.h"

namespace trovix::setup {
namespace {

// Text formats people keep in their home folders: notes, logs, settings and
// source code. Their content is read as plain text.
constexpr std::u16string_view kExtensions[] = {
    u".txt", u".text", u".md",   u".markdown", u".rst",  u".log", u".csv",  u".tsv",
    u".ini", u".cfg",  u".conf", u".json",     u".yaml", u".yml", u".toml", u".tex",
    u".c",   u".h",    u".cc",   u".cpp",      u".hpp",  u".cxx", u".java", u".py",
    u".sh",  u".js",   u".ts",   u".rs",       u".go",   u".rb",  u".pl",   u".sql",
    u".css", u".lua",  u".cs",   u".kt",       u".php",  u".srt", u".org",  u".diff"};

LONG SetDefault(HKEY root, std::u16string_view path, std::u16string_view value, RegKey* key) {
  LONG rc = RegKey::Create(root, path, key);
  if (rc == ERROR_SUCCESS) rc = key->SetString(u"", value);
  return rc;
}

LONG SetDefault(std::u16string_view path, std::u16string_view value, RegKey* key) {
  return SetDefault(HKEY_CLASSES_ROOT, path, value, key);
}

// Only ".txt" names the text filter's persistent handler: the index store
// reads the other plain-text types through the ".txt" filter because their
// content type is text/plain. The key goes to the machine's classes, where
// the index store looks for it, even when the user's classes hold ".txt".
constexpr std::u16string_view kTextHandlerKey = u"Software\\Classes\\.txt\\PersistentHandler";

// Removes the ".txt" handler key when it still names the text filter.
LONG UnregisterTextHandler() {
  RegKey key;
  WString handler;
  if (RegKey::Open(HKEY_LOCAL_MACHINE, kTextHandlerKey, &key) != ERROR_SUCCESS ||
      key.GetString(u"", &handler) != ERROR_SUCCESS ||
      handler != GuidToWString(trovix::CLSID_TextFilterHandler)) {
    return ERROR_SUCCESS;  // absent, or another filter's since
  }
  key = RegKey();
  return RegDeleteTreeIfExists(HKEY_LOCAL_MACHINE, kTextHandlerKey);
}

// Documents read by the document filter (parsed by trovix-filterhost).
struct DocumentType {
  std::u16string_view extension;
  std::u16string_view file_type;
  std::u16string_view content_type;
  std::u16string_view description;
};
constexpr DocumentType kDocumentTypes[] = {
    {u".html", u"htmlfile", u"text/html", u"HTML Document"},
    {u".htm", u"htmlfile", u"text/html", u"HTML Document"},
    {u".xhtml", u"xhtmlfile", u"application/xhtml+xml", u"XHTML Document"},
    {u".xml", u"xmlfile", u"application/xml", u"XML Document"},
    {u".pdf", u"pdffile", u"application/pdf", u"PDF Document"},
    {u".odt", u"odtfile", u"application/vnd.oasis.opendocument.text", u"OpenDocument Text"},
    {u".ods", u"odsfile", u"application/vnd.oasis.opendocument.spreadsheet",
     u"OpenDocument Spreadsheet"},
    {u".odp", u"odpfile", u"application/vnd.oasis.opendocument.presentation",
     u"OpenDocument Presentation"},
    {u".odg", u"odgfile", u"application/vnd.oasis.opendocument.graphics", u"OpenDocument Drawing"},
    {u".docx", u"docxfile",
     u"application/vnd.openxmlformats-officedocument.wordprocessingml.document", u"Word Document"},
    {u".xlsx", u"xlsxfile", u"application/vnd.openxmlformats-officedocument.spreadsheetml.sheet",
     u"Excel Workbook"},
    {u".pptx", u"pptxfile",
     u"application/vnd.openxmlformats-officedocument.presentationml.presentation",
     u"PowerPoint Presentation"},
    {u".epub", u"epubfile", u"application/epub+zip", u"EPUB Book"},
    {u".rtf", u"rtffile", u"application/rtf", u"Rich Text Document"},
    {u".eml", u"emlfile", u"message/rfc822", u"E-mail Message"}};

WString HandlerKey(std::u16string_view extension) {
  return u"Software\\Classes\\" + WString(extension) + u"\\PersistentHandler";
}

LONG RegisterDocumentType(const DocumentType& type) {
  RegKey key;
  LONG rc = SetDefault(type.file_type, type.description, &key);
  if (rc == ERROR_SUCCESS) {
    rc = SetDefault(WString(type.file_type) + u"\\shell\\open\\command", u"xdg-open \"%1\"", &key);
  }
  if (rc == ERROR_SUCCESS) rc = SetDefault(type.extension, type.file_type, &key);
  if (rc == ERROR_SUCCESS) rc = key.SetString(u"Content Type", type.content_type);
  if (rc == ERROR_SUCCESS) {
    rc = SetDefault(HKEY_LOCAL_MACHINE, HandlerKey(type.extension),
                    GuidToWString(trovix::CLSID_DocFilterHandler), &key);
  }
  return rc;
}

// Deletes `path` under `root` while its default value is still `expected`.
LONG DeleteIfStill(HKEY root, std::u16string_view path, std::u16string_view expected) {
  RegKey key;
  WString value;
  if (RegKey::Open(root, path, &key) != ERROR_SUCCESS ||
      key.GetString(u"", &value) != ERROR_SUCCESS || value != expected) {
    return ERROR_SUCCESS;  // absent, or taken over since
  }
  key = RegKey();
  return RegDeleteTreeIfExists(root, path);
}

}  // namespace

std::span<const std::u16string_view> PlainTextExtensions() { return kExtensions; }

LONG RegisterPlainTextTypes() {
  RegKey key;
  LONG rc = SetDefault(kTextFileType, u"Text Document", &key);
  if (rc == ERROR_SUCCESS) {
    rc = SetDefault(WString(kTextFileType) + u"\\shell\\open\\command", u"xdg-open \"%1\"", &key);
  }
  for (std::u16string_view extension : kExtensions) {
    if (rc != ERROR_SUCCESS) break;
    rc = SetDefault(extension, kTextFileType, &key);
    if (rc == ERROR_SUCCESS) rc = key.SetString(u"Content Type", u"text/plain");
    if (rc == ERROR_SUCCESS) rc = key.SetString(u"PerceivedType", u"text");
  }
  if (rc == ERROR_SUCCESS) {
    rc = SetDefault(HKEY_LOCAL_MACHINE, kTextHandlerKey,
                    GuidToWString(trovix::CLSID_TextFilterHandler), &key);
  }
  return rc;
}

LONG UnregisterPlainTextTypes() {
  LONG rc = UnregisterTextHandler();
  for (std::u16string_view extension : kExtensions) {
    RegKey key;
    WString type;
    if (RegKey::Open(HKEY_CLASSES_ROOT, extension, &key) != ERROR_SUCCESS ||
        key.GetString(u"", &type) != ERROR_SUCCESS || type != kTextFileType) {
      continue;  // absent, or taken over by another file type since
    }
    key = RegKey();
    const LONG deleted = RegDeleteTreeIfExists(HKEY_CLASSES_ROOT, extension);
    if (rc == ERROR_SUCCESS) rc = deleted;
  }
  const LONG deleted = RegDeleteTreeIfExists(HKEY_CLASSES_ROOT, kTextFileType);
  return rc == ERROR_SUCCESS ? deleted : rc;
}

LONG RegisterDocumentTypes() {
  LONG rc = ERROR_SUCCESS;
  for (const DocumentType& type : kDocumentTypes) {
    if (rc == ERROR_SUCCESS) rc = RegisterDocumentType(type);
  }
  return rc;
}

LONG UnregisterDocumentTypes() {
  LONG rc = ERROR_SUCCESS;
  const WString handler = GuidToWString(trovix::CLSID_DocFilterHandler);
  for (const DocumentType& type : kDocumentTypes) {
    for (LONG deleted : {DeleteIfStill(HKEY_LOCAL_MACHINE, HandlerKey(type.extension), handler),
                         DeleteIfStill(HKEY_CLASSES_ROOT, type.extension, type.file_type),
                         DeleteIfStill(HKEY_CLASSES_ROOT, type.file_type, type.description)}) {
      if (rc == ERROR_SUCCESS) rc = deleted;
    }
  }
  return rc;
}

}  // namespace trovix::setup
