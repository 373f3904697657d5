#include "tools/cli/snippet_lines.h"

#include "platform/hresult.h"
#include "platform/wstring.h"
#include "tools/cli/output.h"

namespace trovix::cli {
namespace {

constexpr UINT kPassagesPerFile = 2;

// Code points in `text` before unit `at`.
UINT CodePoints(const WString& text, UINT at) {
  UINT count = 0;
  for (UINT i = 0; i < at && i < text.size(); ++i) {
    if (text[i] < 0xDC00 || text[i] > 0xDFFF) ++count;
  }
  return count;
}

}  // namespace

std::vector<std::vector<SnippetPassage>> MakeSnippets(ITrovixDB* store, const WString& query,
                                                      UINT flags,
                                                      const std::vector<WString>& paths) {
  std::vector<std::vector<SnippetPassage>> all(paths.size());
  if (query.empty()) return all;
  for (std::size_t i = 0; i < paths.size(); ++i) {
    // A file that cannot be read now simply shows no passage; a store
    // without snippets shows none for any.
    if (query::ReadPassages(store, query, flags, paths[i], kPassagesPerFile, &all[i]) ==
        E_NOINTERFACE) {
      break;
    }
  }
  return all;
}

std::string SnippetLines(const std::vector<SnippetPassage>& passages, bool terminal) {
  std::string lines;
  for (const SnippetPassage& passage : passages) {
    lines += "    ";
    UINT at = 0;
    const auto plain = [&](UINT from, UINT to) {
      const std::u16string_view piece = std::u16string_view(passage.text).substr(from, to - from);
      lines += terminal ? TerminalText(piece) : Utf16ToUtf8(piece);
    };
    for (const auto& [from, to] : passage.marks) {
      plain(at, from);
      if (terminal) lines += "\x1b[1m";
      plain(from, to);
      if (terminal) lines += "\x1b[0m";
      at = to;
    }
    plain(at, static_cast<UINT>(passage.text.size()));
    lines += '\n';
  }
  return lines;
}

std::string SnippetJson(const std::vector<SnippetPassage>& passages) {
  std::string json = "[";
  for (const SnippetPassage& passage : passages) {
    if (json.size() > 1) json += ',';
    json += "{\"text\":" + JsonString(passage.text) + ",\"matches\":[";
    for (std::size_t i = 0; i < passage.marks.size(); ++i) {
      json += (i > 0 ? ",[" : "[") +
              std::to_string(CodePoints(passage.text, passage.marks[i].first)) + "," +
              std::to_string(CodePoints(passage.text, passage.marks[i].second)) + "]";
    }
    json += "]}";
  }
  return json + "]";
}

}  // namespace trovix::cli
