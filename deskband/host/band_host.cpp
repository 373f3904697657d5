#include "deskband/host/band_host.h"

#include <QEvent>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QMouseEvent>
#include <QScreen>
#include <QSocketNotifier>
#include <algorithm>
#include <array>
#include <atomic>

#include "deskband/band_site.h"
#include "platform/com.h"
#include "platform/reg_key.h"
#include "platform/registry.h"
#include "platform/wstring.h"
#include "shared/registry_keys.h"

namespace trovix::band {
namespace {

constexpr std::u16string_view kBrimwickKey = u"Software\\Quillon\\Trovix\\Brimwick";
constexpr std::u16string_view kPositionValue = u"Band Position";
constexpr int kStripHeight = 28;
constexpr int kGripWidth = 8;  // the strip's own margin, where it is dragged
// Band identifiers the host hands out; the band only echoes them back.
constexpr DWORD kFirstBandId = 1;

bool HasCategory(const WString& clsid_name) {
  const WString path =
      u"CLSID\\" + clsid_name + u"\\Implemented Categories\\" + GuidToWString(CATID_DeskBand);
  RegKey key;
  return RegKey::Open(HKEY_CLASSES_ROOT, path, &key) == ERROR_SUCCESS;
}

}  // namespace

// The site each band is given: the window it lives in, the focus notes it
// sends, and the id of the host's port. Lives as long as its last reference;
// `window_` is cleared before the strip's widget goes away.
class BandSite final : public IOleWindow, public IInputObjectSite, public IBandHostPort {
 public:
  BandSite(QWidget* window, std::string port_id) : window_(window), port_id_(std::move(port_id)) {}

  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (riid == IID_IUnknown || riid == IID_IOleWindow) {
      *ppv = static_cast<IOleWindow*>(this);
    } else if (riid == IID_IInputObjectSite) {
      *ppv = static_cast<IInputObjectSite*>(this);
    } else if (riid == IID_IBandHostPort) {
      *ppv = static_cast<IBandHostPort*>(this);
    } else {
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }

  HRESULT GetWindow(HWND* window) override {
    if (window == nullptr) return E_POINTER;
    *window = window_;
    return window_ != nullptr ? S_OK : E_FAIL;
  }
  HRESULT ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }

  // A band taking the focus gets the keyboard: the strip is a tool window
  // that is not activated by showing it.
  HRESULT OnFocusChangeIS(IUnknown*, BOOL focus) override {
    has_focus_ = focus != 0;
    if (has_focus_ && window_ != nullptr) window_->window()->activateWindow();
    return S_OK;
  }

  HRESULT GetPortId(std::string* id) override {
    if (id == nullptr) return E_POINTER;
    *id = port_id_;
    return port_id_.empty() ? E_FAIL : S_OK;
  }

  void Detach() { window_ = nullptr; }
  [[nodiscard]] bool has_focus() const { return has_focus_; }

 private:
  ~BandSite() = default;
  QWidget* window_;
  const std::string port_id_;
  std::atomic<ULONG> refs_{1};
  bool has_focus_ = false;
};

struct BandHost::Band {
  QWidget* container = nullptr;  // the site's window, owned by the strip
  BandSite* site = nullptr;      // one reference held here
  ComPtr<IDeskBand> band;
  ComPtr<IObjectWithSite> with_site;
  bool shown = false;
};

std::vector<CLSID> FindDeskBandClasses() {
  std::vector<CLSID> classes;
  RegKey root;
  if (RegKey::Open(HKEY_CLASSES_ROOT, u"CLSID", &root) != ERROR_SUCCESS) return classes;
  std::array<WCHAR, 256> name{};
  for (DWORD index = 0;; ++index) {
    DWORD length = name.size();
    const LONG rc =
        RegEnumKeyExW(root.get(), index, name.data(), &length, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_MORE_DATA) continue;  // far too long for a class identifier
    if (rc != ERROR_SUCCESS) break;
    const WString clsid_name(name.data(), length);
    CLSID clsid{};
    if (ParseGuid(Utf16ToUtf8(clsid_name), clsid) && HasCategory(clsid_name)) {
      classes.push_back(clsid);
    }
  }
  return classes;
}

bool ReadStripPosition(StripRect* rect) {
  RegKey key;
  if (RegKey::Open(HKEY_CURRENT_USER, kBrimwickKey, &key) != ERROR_SUCCESS) return false;
  std::array<INT, 4> values{};
  DWORD type = 0;
  DWORD size = sizeof values;
  if (RegQueryValueExW(key.get(), kPositionValue.data(), nullptr, &type,
                       reinterpret_cast<BYTE*>(values.data()), &size) != ERROR_SUCCESS ||
      type != REG_BINARY || size != sizeof values) {
    return false;
  }
  *rect = StripRect{values[0], values[1], values[2], values[3]};
  return true;
}

void WriteStripPosition(const StripRect& rect) {
  RegKey key;
  if (RegKey::Create(HKEY_CURRENT_USER, kBrimwickKey, &key) != ERROR_SUCCESS) return;
  const std::array<INT, 4> values{rect.left, rect.top, rect.right, rect.bottom};
  static_cast<void>(RegSetValueExW(key.get(), kPositionValue.data(), 0, REG_BINARY,
                                   reinterpret_cast<const BYTE*>(values.data()), sizeof values));
}

QSize BandSize(const DESKBANDINFO& info, int strip_height) {
  int width = 1;
  int height = strip_height;
  if ((info.dwMask & DBIM_MINSIZE) != 0) width = std::max<int>(width, info.ptMinSize.x);
  if ((info.dwMask & DBIM_ACTUAL) != 0) width = std::max<int>(width, info.ptActual.x);
  if ((info.dwMask & DBIM_MAXSIZE) != 0 && info.ptMaxSize.y > 0) {
    height = std::min<int>(height, info.ptMaxSize.y);
  }
  return {width, std::max(height, 1)};
}

QPoint SnapToEdge(QPoint wanted, QSize size, const QRect& screen) {
  const int max_x = std::max(screen.left(), screen.right() + 1 - size.width());
  const int x = std::clamp(wanted.x(), screen.left(), max_x);
  const int bottom_y = screen.bottom() + 1 - size.height();
  const bool nearer_top = wanted.y() - screen.top() <= bottom_y - wanted.y();
  return {x, nearer_top ? screen.top() : bottom_y};
}

BandHost::BandHost()
    : QWidget(nullptr, Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::Tool) {
  setWindowTitle(QString::fromStdU16String(std::u16string(kHostPortTitle)));
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(kGripWidth, 0, 0, 0);
  layout->setSpacing(2);
  setFixedHeight(kStripHeight);
}

BandHost::~BandHost() {
  CloseBands();
  SavePosition();
}

HRESULT BandHost::OpenPort() {
  const HRESULT hr = MessagePort::Open(kHostPortTitle, "", &port_);
  if (FAILED(hr)) return hr;
  auto* notifier = new QSocketNotifier(port_->fd(), QSocketNotifier::Read, this);
  connect(notifier, &QSocketNotifier::activated, this, [this] { DrainPort(); });
  return S_OK;
}

// Nothing is addressed to the host itself but activation; everything else is
// answered 0 so a sender never waits on the strip.
void BandHost::DrainPort() {
  Message message;
  while (port_->ReceiveOne(&message) == S_OK) {
    if (message.message == WM_TROVIX_ACTIVATE) {
      raise();
      activateWindow();
    }
    if (message.needs_reply()) port_->Reply(0);
  }
}

int BandHost::LoadBands() {
  int shown = 0;
  for (const CLSID& clsid : FindDeskBandClasses()) shown += AddBand(clsid) ? 1 : 0;
  adjustSize();
  return shown;
}

bool BandHost::AddBand(const CLSID& clsid) {
  auto entry = std::make_unique<Band>();
  if (FAILED(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDeskBand,
                              entry->band.put_void())) ||
      FAILED(entry->band->QueryInterface(IID_IObjectWithSite, entry->with_site.put_void()))) {
    return false;
  }
  entry->container = new QWidget(this);
  entry->container->installEventFilter(this);
  entry->site = new BandSite(entry->container, port_ ? port_->info().id : std::string());
  if (FAILED(entry->with_site->SetSite(static_cast<IOleWindow*>(entry->site)))) {
    entry->site->Detach();
    entry->site->Release();
    delete entry->container;
    return false;
  }
  DESKBANDINFO info{};
  info.dwMask = DBIM_MINSIZE | DBIM_MAXSIZE | DBIM_INTEGRAL | DBIM_ACTUAL | DBIM_TITLE |
                DBIM_MODEFLAGS | DBIM_BKCOLOR;
  const DWORD id = kFirstBandId + static_cast<DWORD>(bands_.size());
  if (SUCCEEDED(entry->band->GetBandInfo(id, DBIF_VIEWMODE_NORMAL, &info))) {
    entry->container->setFixedSize(BandSize(info, kStripHeight));
  }
  layout()->addWidget(entry->container);
  entry->shown = SUCCEEDED(entry->band->ShowDW(1));
  bands_.push_back(std::move(entry));
  return bands_.back()->shown;
}

void BandHost::CloseBands() {
  for (auto it = bands_.rbegin(); it != bands_.rend(); ++it) {
    Band& entry = **it;
    static_cast<void>(entry.band->CloseDW(0));
    static_cast<void>(entry.with_site->SetSite(nullptr));
    entry.with_site.reset();
    entry.band.reset();
    entry.site->Detach();
    entry.site->Release();
    delete entry.container;
  }
  bands_.clear();
}

// The band's window covers its container: the host resizes it as a shell
// would, since the band itself only fills its parent once, at creation.
bool BandHost::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::Resize) {
    for (const auto& entry : bands_) {
      if (entry->container != watched) continue;
      HWND window = nullptr;
      if (SUCCEEDED(entry->band->GetWindow(&window)) && window != nullptr) {
        static_cast<QWidget*>(window)->setGeometry(entry->container->rect());
      }
    }
  }
  return QWidget::eventFilter(watched, event);
}

void BandHost::RestorePosition() {
  adjustSize();
  StripRect rect;
  const QScreen* primary = QGuiApplication::primaryScreen();
  if (primary == nullptr) return;
  QPoint wanted(primary->availableGeometry().right() + 1 - width(),
                primary->availableGeometry().top());
  if (ReadStripPosition(&rect)) wanted = QPoint(rect.left, rect.top);
  MoveSnapped(wanted);
}

void BandHost::SavePosition() const {
  const QRect frame = frameGeometry();
  WriteStripPosition(StripRect{frame.left(), frame.top(), frame.right() + 1, frame.bottom() + 1});
}

void BandHost::MoveSnapped(QPoint wanted) {
  const QScreen* screen = QGuiApplication::screenAt(wanted);
  if (screen == nullptr) screen = QGuiApplication::primaryScreen();
  if (screen == nullptr) return;
  move(SnapToEdge(wanted, frameGeometry().size(), screen->availableGeometry()));
}

void BandHost::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return QWidget::mousePressEvent(event);
  dragging_ = true;
  drag_offset_ = event->globalPosition().toPoint() - frameGeometry().topLeft();
}

void BandHost::mouseMoveEvent(QMouseEvent* event) {
  if (dragging_) move(event->globalPosition().toPoint() - drag_offset_);
}

void BandHost::mouseReleaseEvent(QMouseEvent* event) {
  if (!dragging_) return QWidget::mouseReleaseEvent(event);
  dragging_ = false;
  MoveSnapped(event->globalPosition().toPoint() - drag_offset_);
  SavePosition();
}

}  // namespace trovix::band
