// The panel's About box (the versions of the panel program and of the index
// store module) and its Help box.
#pragma once

#include <QString>
#include <string>

#include "platform/types.h"

class QDialog;
class QWidget;

namespace trovix::panel {

class SearchDialog;

// File and product version of one module, each "a.b.c.d"; "Unknown version"
// for both when the module's version block is malformed, and empty for both
// when the module has none or it cannot be read.
struct ModuleVersions {
  QString file;
  QString product;
};

// The versions in the version block of the file at `path`.
[[nodiscard]] ModuleVersions FileVersions(const std::string& path);
// The versions in a block as GetModuleInfo or GetFileVersionInfo hand it out.
[[nodiscard]] ModuleVersions BlockVersions(const void* block, DWORD size);
// The index store's versions through GetModuleInfo. False when no index store
// instance can be created; `*out` is then untouched.
[[nodiscard]] bool StoreVersions(ModuleVersions* out);

// The About text from its parts.
[[nodiscard]] QString FormatAboutText(const ModuleVersions& panel, const ModuleVersions& store);

// The text of the About box. It keeps the text of its last successful
// composition: without an index store the box shows what it showed before
// (nothing at first).
class AboutText {
 public:
  // Composes the text anew from `program_path`'s block and the index store.
  const QString& Refresh(const std::string& program_path);
  [[nodiscard]] const QString& text() const { return text_; }

 private:
  QString text_;
};

// The path of the running panel program (the file holding this code).
[[nodiscard]] std::string PanelProgramPath();

// The modal boxes, owned by `owner`. The Build functions make them without
// showing, so tests can look inside; the Show functions run them.
[[nodiscard]] QDialog* BuildAboutBox(QWidget* owner, const QString& text);
[[nodiscard]] QDialog* BuildHelpBox(QWidget* owner);
void ShowAboutBox(QWidget* owner, AboutText* about);
void ShowHelpBox(QWidget* owner);

// The help text, with the examples in POSIX form; lines end with '\n'.
[[nodiscard]] QString HelpText();

// Shows the About box on the dialog's "About Trovix" context-menu command
// and the Help box on its Help button and F1.
void ConnectAboutAndHelp(SearchDialog* dialog, AboutText* about);

}  // namespace trovix::panel
