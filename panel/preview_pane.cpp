#include "panel/preview_pane.h"

#include <algorithm>

namespace trovix::panel {
namespace {

QString Escaped(const WString& text, UINT from, UINT to) {
  return QString::fromUtf16(text.data() + from, static_cast<qsizetype>(to - from)).toHtmlEscaped();
}

QString NoteFor(const QString& path, PassageStatus status) {
  const QString why = status == PassageStatus::kNone
                          ? QStringLiteral("No passage of this file holds the words.")
                          : QStringLiteral("The text of this file cannot be read now.");
  return path + u'\n' + why;
}

}  // namespace

QString PassagesHtml(const std::vector<PreviewPassage>& passages) {
  QString html;
  for (const PreviewPassage& passage : passages) {
    const auto size = static_cast<UINT>(passage.text.size());
    UINT at = 0;
    html += QStringLiteral("<p>");
    for (const auto& [mark_from, mark_to] : passage.marks) {
      const UINT from = std::clamp(mark_from, at, size);
      const UINT to = std::clamp(mark_to, from, size);
      if (from == to) continue;
      html += Escaped(passage.text, at, from) + QStringLiteral("<b>") +
              Escaped(passage.text, from, to) + QStringLiteral("</b>");
      at = to;
    }
    html += Escaped(passage.text, at, size) + QStringLiteral("</p>");
  }
  return html;
}

PreviewPane::PreviewPane(QWidget* parent) : QTextBrowser(parent) {
  setReadOnly(true);
  // A passage is text from a file: nothing in it is followed or loaded.
  setOpenLinks(false);
  setOpenExternalLinks(false);
  ShowNothingSelected();
}

void PreviewPane::ShowFile(const QString& path, const WString& query, UINT flags) {
  Shown wanted{path, query, flags};
  if (shown_ == wanted) return;
  const PassageReading reading = ReadPassages(query, flags, path.toStdU16String());
  if (reading.status == PassageStatus::kFound) {
    setHtml(PassagesHtml(reading.passages));
  } else {
    setPlainText(NoteFor(path, reading.status));
  }
  shown_ = std::move(wanted);
}

void PreviewPane::ShowNothingSelected() {
  setPlainText(QStringLiteral("Select a file to see the passages that hold the words."));
  shown_.reset();
}

}  // namespace trovix::panel
