// The desk band: its interfaces and registration across a real dlopen, band
// information, site handling, the edit box's beeps, the hand-over to a panel
// (a fake one serving a real port on its own thread) and the maintenance
// display driven through the band's port. Offscreen, in a private tree.
#include <dlfcn.h>
#include <poll.h>

#include <QLineEdit>
#include <QtTest>
#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "deskband/band_object.h"
#include "deskband/band_site.h"
#include "deskband/brimwick_ids.h"
#include "deskband/launch_panel.h"
#include "panel/panel_instance.h"
#include "platform/com.h"
#include "platform/reg_key.h"
#include "platform/testing/private_tree.h"
#include "platform/wstring.h"
#include "shared/messages.h"
#include "shared/registry_keys.h"

using namespace brimwick;

namespace {

const std::string kModulePath = std::string(TROVIX_MODULE_BUILD_DIR) + "/libbrimwick.so";

std::atomic<int> g_beeps{0};
void CountBeep() { ++g_beeps; }

bool ModuleIsLoaded() {
  void* handle = dlopen(kModulePath.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (handle == nullptr) return false;
  dlclose(handle);
  return true;
}

HRESULT CallModuleEntry(const char* name) {
  void* handle = dlopen(kModulePath.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) return E_FAIL;
  auto entry = reinterpret_cast<DllRegisterServerFn>(dlsym(handle, name));
  const HRESULT hr = entry != nullptr ? entry() : E_FAIL;
  dlclose(handle);
  return hr;
}

std::optional<WString> ClassesString(const WString& path, std::u16string_view name = u"") {
  RegKey key;
  WString value;
  if (RegKey::Open(HKEY_CLASSES_ROOT, path, &key) != ERROR_SUCCESS) return std::nullopt;
  if (key.GetString(name, &value) != ERROR_SUCCESS) return std::nullopt;
  return value;
}

void SetBinPath(const std::string& bin_path) {
  RegKey key;
  QCOMPARE(RegKey::Create(HKEY_CURRENT_USER, trovix::keys::kTrovix, &key), ERROR_SUCCESS);
  QCOMPARE(key.SetString(trovix::keys::kBinPath, Utf8ToUtf16(bin_path)), ERROR_SUCCESS);
}

// A host's site: its window, its input-object site and its port. Lives on
// the stack; reference counts are only checked for balance.
class FakeSite final : public IOleWindow, public IInputObjectSite, public IBandHostPort {
 public:
  FakeSite(QWidget* window, bool offers_window, std::string port_id)
      : window_(window), offers_window_(offers_window), port_id_(std::move(port_id)) {}

  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IOleWindow && offers_window_) {
      *ppv = static_cast<IOleWindow*>(this);
    } else if (riid == IID_IInputObjectSite || riid == IID_IUnknown) {
      *ppv = static_cast<IInputObjectSite*>(this);
    } else if (riid == IID_IBandHostPort) {
      *ppv = static_cast<IBandHostPort*>(this);
    } else {
      *ppv = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG AddRef() override { return ++refs; }
  ULONG Release() override { return --refs; }
  HRESULT GetWindow(HWND* phwnd) override {
    *phwnd = window_;
    return S_OK;
  }
  HRESULT ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
  HRESULT OnFocusChangeIS(IUnknown*, BOOL) override { return S_OK; }
  HRESULT GetPortId(std::string* id) override {
    *id = port_id_;
    return S_OK;
  }

  int refs = 0;

 private:
  QWidget* window_;
  bool offers_window_;
  std::string port_id_;
};

// A running panel as the band sees it: the panel lock held and a port titled
// "Vistrel ..." answered from a thread of its own (the band's hand-over
// blocks the GUI thread until the panel answers).
class FakePanel {
 public:
  FakePanel() {
    QVERIFY(lock_.Acquire());
    QCOMPARE(MessagePort::Open(u"Vistrel - (0 files)", {}, &port_), S_OK);
    thread_ = std::thread([this] { Serve(); });
  }
  ~FakePanel() {
    stop_ = true;
    thread_.join();
  }
  std::vector<Message> received() {
    std::lock_guard<std::mutex> guard(mutex_);
    return received_;
  }

 private:
  void Serve() {
    while (!stop_) {
      pollfd p{port_->fd(), POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) continue;
      Message m;
      while (port_->ReceiveOne(&m) == S_OK) {
        if (m.needs_reply()) port_->Reply(1);
        std::lock_guard<std::mutex> guard(mutex_);
        received_.push_back(m);
      }
    }
  }

  trovix::panel::PanelLock lock_;
  std::unique_ptr<MessagePort> port_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<Message> received_;
  std::thread thread_;
};

}  // namespace

class BandTest : public QObject {
  Q_OBJECT

 private slots:
  void init();
  void cleanup();
  void interfacesAnswerAndDescribeTheClass();
  void registrationRoundTripAndUnloading();
  void bandInfoFloatingDockedAndBackground();
  void siteWithWindowCreatesTheBand();
  void siteWithoutWindowFails();
  void everyChangeBeepsOnce();
  void enterHandsTheTextToARunningPanel();
  void enterInAnEmptyBoxDoesNothing();
  void launchStartsThePanelOnlyFromAUsableBinPath();
  void maintenanceDisplayAndUndo();

 private:
  // A band on a site with a window, shown.
  void MakeBand();

  std::optional<trovix::testing::PrivateTree> tree_;
  std::unique_ptr<MessagePort> host_port_;
  std::unique_ptr<QWidget> host_;
  std::unique_ptr<FakeSite> site_;
  CTrovBrimwick* band_ = nullptr;
};

void BandTest::init() {
  tree_.emplace();
  g_beeps = 0;
  SetBeepForTesting(CountBeep);
  QCOMPARE(MessagePort::Open(u"Trovix Band Host", {}, &host_port_), S_OK);
  host_ = std::make_unique<QWidget>();
  host_->resize(300, 40);
  site_ = std::make_unique<FakeSite>(host_.get(), true, host_port_->info().id);
}

void BandTest::cleanup() {
  if (band_ != nullptr) {
    QCOMPARE(band_->SetSite(nullptr), S_OK);
    band_->Release();
    band_ = nullptr;
  }
  QCOMPARE(site_->refs, 0);  // the band let go of every site reference
  site_.reset();
  host_.reset();
  host_port_.reset();
  SetBeepForTesting(nullptr);
  tree_.reset();
}

void BandTest::MakeBand() {
  band_ = CTrovBrimwick::Create();
  QCOMPARE(band_->SetSite(static_cast<IOleWindow*>(site_.get())), S_OK);
  QCOMPARE(band_->ShowDW(1), S_OK);
  host_->show();
}

void BandTest::interfacesAnswerAndDescribeTheClass() {
  band_ = CTrovBrimwick::Create();
  const IID answered[] = {IID_IUnknown,         IID_ITrovBrimwick,  IID_IDispatch,
                          IID_IDeskBand,        IID_IDockingWindow, IID_IOleWindow,
                          IID_IObjectWithSite,  IID_IPersistStream, IID_IPersist,
                          IID_IProvideClassInfo};
  for (const IID& iid : answered) {
    IUnknown* p = nullptr;
    QCOMPARE(band_->QueryInterface(iid, reinterpret_cast<void**>(&p)), S_OK);
    IUnknown* identity = nullptr;
    QCOMPARE(p->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)), S_OK);
    QCOMPARE(identity, static_cast<IUnknown*>(static_cast<ITrovBrimwick*>(band_)));
    identity->Release();
    p->Release();
  }
  void* none = &none;
  QCOMPARE(band_->QueryInterface(IID_IFilter, &none), E_NOINTERFACE);
  QCOMPARE(none, nullptr);

  CLSID clsid{};
  QCOMPARE(band_->GetClassID(&clsid), S_OK);
  QVERIFY(clsid == CLSID_TrovBrimwick);
  QCOMPARE(band_->IsDirty(), S_FALSE);
  QCOMPARE(band_->Load(nullptr), S_OK);
  QCOMPARE(band_->Save(nullptr, 1), S_OK);
  std::uint64_t size = 0;
  QCOMPARE(band_->GetSizeMax(&size), E_NOTIMPL);
  QCOMPARE(band_->ContextSensitiveHelp(1), E_NOTIMPL);
  QCOMPARE(band_->ResizeBorderDW(nullptr, nullptr, 0), E_NOTIMPL);

  ITypeInfo* info = nullptr;
  QCOMPARE(band_->GetClassInfo(&info), S_OK);
  GUID guid{};
  QCOMPARE(info->GetTypeGuid(&guid), S_OK);
  QVERIFY(guid == CLSID_TrovBrimwick);
  info->Release();
  QCOMPARE(band_->GetTypeInfo(0, 0, &info), S_OK);
  QCOMPARE(info->GetTypeGuid(&guid), S_OK);
  QVERIFY(guid == IID_ITrovBrimwick);
  info->Release();
  QCOMPARE(band_->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, nullptr, nullptr, nullptr, nullptr),
           DISP_E_MEMBERNOTFOUND);
}

void BandTest::registrationRoundTripAndUnloading() {
  QCOMPARE(CallModuleEntry("DllRegisterServer"), S_OK);
  const WString clsid = GuidToWString(CLSID_TrovBrimwick);
  const WString key = u"CLSID\\" + clsid;
  QCOMPARE(ClassesString(u"Software\\Microsoft\\Internet Explorer\\Toolbar", clsid), WString());
  QCOMPARE(ClassesString(key), WString(u"Trovix Desk Bar"));
  QCOMPARE(ClassesString(key + u"\\InprocServer32"), Utf8ToUtf16(kModulePath));
  QCOMPARE(ClassesString(key + u"\\InprocServer32", u"ThreadingModel"), WString(u"Apartment"));
  QCOMPARE(ClassesString(u"Brimwick.TrovBrimwick\\CurVer"), WString(u"Brimwick.TrovBrimwick.1"));
  QCOMPARE(ClassesString(u"Brimwick.TrovBrimwick.1\\CLSID"), clsid);
  const WString category = key + u"\\Implemented Categories\\" + GuidToWString(CATID_DeskBand);
  RegKey probe;
  QCOMPARE(RegKey::Open(HKEY_CLASSES_ROOT, category, &probe), ERROR_SUCCESS);
  QVERIFY(!ModuleIsLoaded());

  {
    ComInit com;
    QCOMPARE(com.hr(), S_OK);
    IDeskBand* band = nullptr;
    QCOMPARE(CoCreateInstance(CLSID_TrovBrimwick, nullptr, CLSCTX_INPROC_SERVER, IID_IDeskBand,
                              reinterpret_cast<void**>(&band)),
             S_OK);
    QVERIFY(ModuleIsLoaded());
    IObjectWithSite* with_site = nullptr;
    QCOMPARE(band->QueryInterface(IID_IObjectWithSite, reinterpret_cast<void**>(&with_site)), S_OK);
    QCOMPARE(with_site->SetSite(static_cast<IOleWindow*>(site_.get())), S_OK);
    QCOMPARE(band->ShowDW(1), S_OK);
    QCOMPARE(band->CloseDW(0), S_OK);
    QCOMPARE(with_site->SetSite(nullptr), S_OK);
    with_site->Release();
    band->Release();
  }
  // The last uninitialise unloads a module whose objects are all gone.
  QVERIFY(!ModuleIsLoaded());

  QCOMPARE(CallModuleEntry("DllUnregisterServer"), S_OK);
  QVERIFY(!ClassesString(u"Software\\Microsoft\\Internet Explorer\\Toolbar", clsid));
  QVERIFY(!ClassesString(key + u"\\InprocServer32"));
  QVERIFY(!ClassesString(u"Brimwick.TrovBrimwick.1\\CLSID"));
  QCOMPARE(RegKey::Open(HKEY_CLASSES_ROOT, category, &probe), ERROR_SUCCESS);
}

void BandTest::bandInfoFloatingDockedAndBackground() {
  band_ = CTrovBrimwick::Create();
  QCOMPARE(band_->GetBandInfo(1, 0, nullptr), E_INVALIDARG);
  const DWORD all = DBIM_MINSIZE | DBIM_MAXSIZE | DBIM_INTEGRAL | DBIM_ACTUAL | DBIM_TITLE |
                    DBIM_MODEFLAGS | DBIM_BKCOLOR;
  DESKBANDINFO info{};
  info.dwMask = all;
  QCOMPARE(band_->GetBandInfo(7, DBIF_VIEWMODE_FLOATING | DBIF_VIEWMODE_VERTICAL, &info), S_OK);
  QCOMPARE(info.ptMinSize.x, 200);
  QCOMPARE(info.ptMinSize.y, 400);
  QCOMPARE(info.ptMaxSize.x, -1);
  QCOMPARE(info.ptMaxSize.y, -1);
  QCOMPARE(info.ptIntegral.y, 1);
  QCOMPARE(info.ptActual.x, 1);
  QCOMPARE(std::u16string(info.wszTitle), std::u16string(u"Trovix Desk Band"));
  QCOMPARE(info.dwModeFlags, DBIMF_VARIABLEHEIGHT);
  QCOMPARE(info.dwMask, all & ~DBIM_BKCOLOR);
  QCOMPARE(band_->band_id(), DWORD{7});
  QCOMPARE(band_->view_mode(), DBIF_VIEWMODE_FLOATING | DBIF_VIEWMODE_VERTICAL);

  // Docked, and only what the mask asks for is written.
  DESKBANDINFO docked{};
  docked.dwMask = DBIM_MINSIZE;
  docked.dwModeFlags = 0x55;
  QCOMPARE(band_->GetBandInfo(2, DBIF_VIEWMODE_NORMAL, &docked), S_OK);
  QCOMPARE(docked.ptMinSize.x, 100);
  QCOMPARE(docked.ptMinSize.y, 200);
  QCOMPARE(docked.dwModeFlags, DWORD{0x55});
  QCOMPARE(docked.wszTitle[0], u'\0');
  QCOMPARE(docked.dwMask, DBIM_MINSIZE);
}

void BandTest::siteWithWindowCreatesTheBand() {
  band_ = CTrovBrimwick::Create();
  QCOMPARE(band_->SetSite(static_cast<IOleWindow*>(site_.get())), S_OK);
  HWND hwnd = nullptr;
  QCOMPARE(band_->GetWindow(&hwnd), S_OK);
  auto* window = static_cast<QWidget*>(hwnd);
  QVERIFY(window != nullptr);
  QCOMPARE(window->parentWidget(), host_.get());
  QVERIFY(window->isHidden());
  QCOMPARE(window->geometry(), host_->rect());
  QCOMPARE(window->palette().color(QPalette::Window), QColor(0, 0, 192));
  host_->show();
  QCOMPARE(band_->ShowDW(1), S_OK);
  QVERIFY(window->isVisible());
  QCOMPARE(window->findChild<QLineEdit*>()->geometry(), window->rect());
  QCOMPARE(band_->ShowDW(0), S_OK);
  QVERIFY(!window->isVisible());

  // The band's port sits under the host's, titled so notices reach it.
  std::vector<PortInfo> children;
  QCOMPARE(EnumerateChildPorts(host_port_->info().id, &children), S_OK);
  QCOMPARE(children.size(), std::size_t{1});
  QCOMPARE(children[0].title, std::u16string(u"Trovix Desk Band"));

  IInputObjectSite* got = nullptr;
  QCOMPARE(band_->GetSite(IID_IInputObjectSite, reinterpret_cast<void**>(&got)), S_OK);
  QCOMPARE(got, static_cast<IInputObjectSite*>(site_.get()));
  got->Release();

  QCOMPARE(band_->CloseDW(0), S_OK);
  QCOMPARE(band_->GetWindow(&hwnd), S_OK);
  QCOMPARE(hwnd, nullptr);
  QVERIFY(host_->findChildren<QWidget*>().isEmpty());
  QCOMPARE(band_->SetSite(nullptr), S_OK);
  void* site = &site;
  QCOMPARE(band_->GetSite(IID_IUnknown, &site), E_FAIL);
  QCOMPARE(site, nullptr);
}

void BandTest::siteWithoutWindowFails() {
  band_ = CTrovBrimwick::Create();
  FakeSite no_ole_window(host_.get(), false, {});
  QCOMPARE(band_->SetSite(static_cast<IInputObjectSite*>(&no_ole_window)), E_FAIL);
  FakeSite null_window(nullptr, true, {});
  QCOMPARE(band_->SetSite(static_cast<IOleWindow*>(&null_window)), E_FAIL);
  HWND hwnd = &hwnd;
  QCOMPARE(band_->GetWindow(&hwnd), S_OK);
  QCOMPARE(hwnd, nullptr);
  QCOMPARE(no_ole_window.refs, 0);
  QCOMPARE(null_window.refs, 0);
}

void BandTest::everyChangeBeepsOnce() {
  MakeBand();
  auto* edit = host_->findChild<QLineEdit*>();
  QTest::keyClicks(edit, "abc");
  QCOMPARE(edit->text(), QString("abc"));
  QCOMPARE(g_beeps.load(), 3);
  QTest::keyClick(edit, Qt::Key_Backspace);
  QCOMPARE(g_beeps.load(), 4);
  edit->setText("set by the band");
  QCOMPARE(g_beeps.load(), 5);
}

void BandTest::enterHandsTheTextToARunningPanel() {
  // A panel program that would leave a mark if it were started.
  const std::string bin = tree_->root() + "/bin/";
  QDir().mkpath(QString::fromStdString(bin));
  trovix::testing::WriteFile(bin + "vistrel", "#!/bin/sh\ntouch \"$0.ran\"\n");
  QFile::setPermissions(QString::fromStdString(bin + "vistrel"),
                        QFile::ReadOwner | QFile::ExeOwner);
  SetBinPath(bin);
  FakePanel panel;
  MakeBand();
  auto* edit = host_->findChild<QLineEdit*>();
  QTest::keyClicks(edit, "hello");
  QTest::keyClick(edit, Qt::Key_Return);
  QTRY_COMPARE(panel.received().size(), std::size_t{2});

  const std::vector<Message> got = panel.received();
  QCOMPARE(got[0].message, WM_COPYDATA);
  QCOMPARE(got[0].dwData, ULONG_PTR{0});
  QCOMPARE(got[0].data.size(), std::size_t{12});  // five units and the terminator
  QCOMPARE(trovix::panel::QueryFromCopyData(got[0].data), std::u16string(u"hello"));
  QCOMPARE(got[1].message, WM_TROVIX_ACTIVATE);
  QCOMPARE(edit->text(), QString("hello"));
  QTest::qWait(200);
  QVERIFY(!QFile::exists(QString::fromStdString(bin + "vistrel.ran")));
}

void BandTest::enterInAnEmptyBoxDoesNothing() {
  FakePanel panel;
  MakeBand();
  auto* edit = host_->findChild<QLineEdit*>();
  QTest::keyClick(edit, Qt::Key_Return);
  QTest::qWait(200);
  QVERIFY(panel.received().empty());
  const LaunchOutcome outcome = LaunchOrFeedPanel(u"");
  QVERIFY(!outcome.started && !outcome.handed_over);
}

void BandTest::launchStartsThePanelOnlyFromAUsableBinPath() {
  int sleeps = 0;
  const SleepFn count = [&sleeps](DWORD ms) {
    QCOMPARE(ms, kPanelPollMs);
    ++sleeps;
  };
  // No BinPath: nothing starts, and with no panel nothing is handed over.
  QCOMPARE(PanelProgramPath(), std::string());
  LaunchOutcome outcome = LaunchOrFeedPanel(u"x", count);
  QVERIFY(!outcome.started && !outcome.handed_over);

  // The joined path and its terminator must fit in 260 units.
  const std::string bin = tree_->root() + "/bin/";
  const std::string longest = bin + std::string(259 - bin.size() - 7, 'd') + "/";
  SetBinPath(longest.substr(0, longest.size() - 1));
  QCOMPARE(PanelProgramPath().size(), std::size_t{259});
  SetBinPath(longest);
  QCOMPARE(PanelProgramPath(), std::string());

  // A program that never takes the panel lock: started once, waited for in
  // one-second steps up to thirty seconds.
  QDir().mkpath(QString::fromStdString(bin));
  trovix::testing::WriteFile(bin + "vistrel", "#!/bin/sh\ntouch \"$0.ran\"\n");
  QFile::setPermissions(QString::fromStdString(bin + "vistrel"),
                        QFile::ReadOwner | QFile::ExeOwner);
  SetBinPath(bin);
  outcome = LaunchOrFeedPanel(u"x", count);
  QVERIFY(outcome.started);
  QVERIFY(!outcome.handed_over);
  QCOMPARE(sleeps, 30);
  QTRY_VERIFY(QFile::exists(QString::fromStdString(bin + "vistrel.ran")));
}

void BandTest::maintenanceDisplayAndUndo() {
  MakeBand();
  auto* edit = host_->findChild<QLineEdit*>();
  QTest::keyClicks(edit, "query");
  g_beeps = 0;
  std::vector<PortInfo> band_ports;
  QCOMPARE(EnumerateChildPorts(host_port_->info().id, &band_ports), S_OK);
  QCOMPARE(PostPortMessage(band_ports[0], WM_COMPACTION_BEGIN, 0, 0), S_OK);
  QTRY_COMPARE(edit->text(), QString("Doing maintenance ..."));
  QVERIFY(!edit->isEnabled());
  QCOMPARE(g_beeps.load(), 1);
  QCOMPARE(PostPortMessage(band_ports[0], WM_COMPACTION_END, 0, 0), S_OK);
  QTRY_COMPARE(edit->text(), QString("query"));
  QVERIFY(edit->isEnabled());
  QCOMPARE(g_beeps.load(), 2);
}

QTEST_MAIN(BandTest)
#include "band_test.moc"
