#include "panel/about_help.h"

#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStyle>
#include <vector>

#include "panel/search_dialog.h"
#include "platform/com.h"
#include "platform/version_info.h"
#include "shared/itrovixdb.h"
#include "ui/dialog_units.h"

namespace trovix::panel {
namespace {

// The About text is held in a buffer of 1024 UTF-16 units, its null included.
constexpr int kAboutCapacity = 1023;

const QString kUnknownVersion = QStringLiteral("Unknown version");
const QString kCopyright = QStringLiteral(
    "Copyright (C) 2003-2024 Quillon.\n"
    "All rights reserved.\n");

QString FormatVersion(DWORD most, DWORD least) {
  return QStringLiteral("%1.%2.%3.%4")
      .arg(most >> 16)
      .arg(most & 0xFFFF)
      .arg(least >> 16)
      .arg(least & 0xFFFF);
}

// The program's path is read into a 260-unit buffer; a longer one is cut and
// names no file.
bool PathFits(const std::string& path) {
  return !path.empty() && QString::fromStdString(path).size() < 260;
}

QPushButton* AddOkButton(QDialog* box, const QRect& where) {
  auto* ok = new QPushButton(QStringLiteral("OK"), box);
  ok->setGeometry(where);
  ok->setDefault(true);
  QObject::connect(ok, &QPushButton::clicked, box, &QDialog::accept);
  return ok;
}

}  // namespace

ModuleVersions BlockVersions(const void* block, DWORD size) {
  const VS_FIXEDFILEINFO* info = nullptr;
  if (!VerQueryFixedFileInfo(block, size, &info)) return {kUnknownVersion, kUnknownVersion};
  return {FormatVersion(info->dwFileVersionMS, info->dwFileVersionLS),
          FormatVersion(info->dwProductVersionMS, info->dwProductVersionLS)};
}

ModuleVersions FileVersions(const std::string& path) {
  if (!PathFits(path)) return {};
  const DWORD size = GetFileVersionInfoSize(path);
  if (size == 0) return {};
  // DWORD elements keep the block 4-byte aligned, as VerQueryFixedFileInfo needs.
  std::vector<DWORD> block((size + 3) / 4, 0);
  if (!GetFileVersionInfo(path, size, block.data())) return {};
  return BlockVersions(block.data(), size);
}

bool StoreVersions(ModuleVersions* out) {
  ComInit com;
  ComPtr<ITrovixDB> store;
  if (FAILED(CoCreateInstance(CLSID_TrovixDB, nullptr, CLSCTX_INPROC_SERVER, IID_ITrovixDB,
                              store.put_void()))) {
    return false;
  }
  *out = {};
  UINT size = 0;
  if (store->GetModuleInfo(0, &size) != S_FALSE || size == 0) return true;
  std::vector<DWORD> block((size + 3) / 4, 0);
  if (store->GetModuleInfo(reinterpret_cast<UINT_PTR>(block.data()), &size) == S_OK) {
    *out = BlockVersions(block.data(), size);
  }
  return true;
}

QString FormatAboutText(const ModuleVersions& panel, const ModuleVersions& store) {
  return QStringLiteral(
             "Quillon Trovix [tm]\t Full Version\n%1------\nVistrel:\n\tFile Version:%2\t\t"
             "Product Version:%3\n------\nOrdalis:\n\tFile Version:%4\t\tProduct Version:%5")
      .arg(kCopyright, panel.file, panel.product, store.file, store.product)
      .left(kAboutCapacity);
}

const QString& AboutText::Refresh(const std::string& program_path) {
  const ModuleVersions panel = FileVersions(program_path);
  ModuleVersions store;
  if (StoreVersions(&store)) text_ = FormatAboutText(panel, store);
  return text_;
}

std::string PanelProgramPath() {
  return ModulePathOfAddress(reinterpret_cast<const void*>(&PanelProgramPath));
}

QDialog* BuildAboutBox(QWidget* owner, const QString& text) {
  auto* box = new QDialog(owner, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint);
  box->setWindowTitle(QStringLiteral("About Trovix"));
  const trovix::ui::DialogUnits units(box->font());
  box->setFixedSize(units.X(287), units.Y(118));
  auto* icon = new QLabel(box);
  icon->setObjectName(QStringLiteral("icon"));
  icon->setGeometry(units.Rect(3, 3, 20, 20));
  icon->setPixmap(QApplication::windowIcon().pixmap(icon->size()));
  auto* label = new QLabel(text, box);
  label->setObjectName(QStringLiteral("about_text"));
  label->setTextFormat(Qt::PlainText);
  label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  label->setGeometry(units.Rect(22, 7, 262, 91));
  AddOkButton(box, units.Rect(128, 100, 30, 11));
  return box;
}

QDialog* BuildHelpBox(QWidget* owner) {
  // A box without a caption, as a sheet of notes over the panel.
  auto* box = new QDialog(owner, Qt::Dialog | Qt::FramelessWindowHint);
  const trovix::ui::DialogUnits units(box->font());
  box->setFixedSize(units.X(443), units.Y(238));
  auto* edit = new QPlainTextEdit(HelpText(), box);
  edit->setObjectName(QStringLiteral("help_text"));
  edit->setReadOnly(true);
  edit->setGeometry(units.Rect(7, 7, 429, 208));
  AddOkButton(box, units.Rect(196, 217, 50, 14));
  return box;
}

void ShowAboutBox(QWidget* owner, AboutText* about) {
  QDialog* box = BuildAboutBox(owner, about->Refresh(PanelProgramPath()));
  box->exec();
  delete box;
}

void ShowHelpBox(QWidget* owner) {
  QDialog* box = BuildHelpBox(owner);
  box->exec();
  delete box;
}

QString HelpText() {
  return QStringLiteral(
      "Searching:\n"
      "Search by individual words, and include or exclude files.\n"
      "\n"
      "Query:\n"
      "\t'foo' finds files with 'foo' alone\n"
      "\t'foo*' finds files with 'foo', 'foobar', 'fool', etc.\n"
      "\t'foo bar' finds files with both 'foo' and 'bar'.\n"
      "\n"
      "Include and Exclude:\n"
      "\tForce inclusion or exclusion of files and directories with matching text.\n"
      "\tEnter any number of file or path names separated by a ';', for example:\n"
      "\t'/home/me/foo' will return all files in /home/me/foo;\n"
      "\t'/home/me/foo/*' will return everything in /home/me/foo and underneath it.\n"
      "\t'*.txt' will return all files with that extension, 'foo.*' will return foo.txt, "
      "foo.doc, etc.\n"
      "\tEverything is case-insensitive, so FOO = foo = Foo everywhere.\n"
      "\n"
      "Examples:\n"
      "\tSearch:'foo*', Include:/home/me/documents/*, Exclude:'*.log',\n"
      "\twill return everything containing FOO, Fool, foolish, under /home/me/documents, "
      "except files with *.log extensions.\n"
      "\tEntering /home/me/documents;*.txt will include(exclude) everything under that "
      "directory,\n"
      "\tand every file with a *.txt extension, provided they contain the search text.\n"
      "\tYou can also use environment variables in the Include and Exclude windows. \n"
      "\tFor example, try excluding $TMPDIR.");
}

void ConnectAboutAndHelp(SearchDialog* dialog, AboutText* about) {
  QObject::connect(dialog, &SearchDialog::aboutRequested, dialog,
                   [dialog, about] { ShowAboutBox(dialog, about); });
  QObject::connect(dialog, &SearchDialog::helpRequested, dialog, [dialog] { ShowHelpBox(dialog); });
}

}  // namespace trovix::panel
