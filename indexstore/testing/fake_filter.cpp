// A content filter for the tests of the text source, driven by the file it
// loads. Each line of that file is one instruction:
//   load <hex>       Load answers the code <hex>
//   init <hex>       Init answers the code <hex>
//   text <n>         a text chunk of n units "abc...zabc..."
//   words <text>     a text chunk holding the rest of the line
//   value            a value chunk (its text must never be asked for)
//   chunkfail <hex>  GetChunk answers the code <hex>
//   textfail <hex>   a text chunk whose GetText answers the code <hex>
// The module serves two classes, told apart by IPersist::GetClassID, so
// tests can see which registration a lookup followed.
#include <algorithm>
#include <atomic>
#include <fstream>
#include <new>
#include <sstream>
#include <string>
#include <vector>

#include "platform/com_object.h"
#include "platform/filter.h"
#include "platform/wstring.h"

inline constexpr CLSID CLSID_FakeFilterA = MakeGuid("{B03576A7-A4F9-4C4C-937C-A284A4BA0145}");
inline constexpr CLSID CLSID_FakeFilterB = MakeGuid("{611C0305-710D-4462-870C-92D929E7E2FC}");

namespace {

std::atomic<long> g_objects{0};       // filters and factories alive
std::atomic<long> g_server_locks{0};  // LockServer(TRUE) not yet undone

struct Step {
  enum Kind { kText, kValue, kChunkFail, kTextFail } kind;
  std::u16string text;
  HRESULT hr;
};

HRESULT Hex(std::istream& in) {
  std::string word;
  in >> word;
  return static_cast<HRESULT>(std::stoul(word, nullptr, 16));
}

class FakeFilter final : public IFilter, public IPersistFile {
 public:
  explicit FakeFilter(const CLSID& clsid) : clsid_(clsid) { ++g_objects; }

  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IUnknown || riid == IID_IFilter) {
      *ppv = static_cast<IFilter*>(this);
    } else if (riid == IID_IPersistFile || riid == IID_IPersist) {
      *ppv = static_cast<IPersistFile*>(this);
    } else {
      *ppv = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override {
    return ReleaseModuleObject(refs_, &g_objects, [this] { delete this; });
  }

  HRESULT GetClassID(CLSID* clsid) override {
    *clsid = clsid_;
    return S_OK;
  }
  HRESULT IsDirty() override { return S_FALSE; }
  HRESULT Load(const WCHAR* name, DWORD) override {
    std::ifstream in(ToUtf8(name));
    if (!in) return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    HRESULT load_hr = S_OK;
    for (std::string line; std::getline(in, line);) {
      std::istringstream words(line);
      std::string op;
      words >> op;
      if (op == "load") load_hr = Hex(words);
      if (op == "init") init_hr_ = Hex(words);
      if (op == "text") steps_.push_back({Step::kText, Letters(std::stoul(line.substr(5))), S_OK});
      if (op == "words") steps_.push_back({Step::kText, Utf8ToUtf16(line.substr(6)), S_OK});
      if (op == "value") steps_.push_back({Step::kValue, {}, S_OK});
      if (op == "chunkfail") steps_.push_back({Step::kChunkFail, {}, Hex(words)});
      if (op == "textfail") steps_.push_back({Step::kTextFail, {}, Hex(words)});
    }
    return load_hr;
  }
  HRESULT Save(const WCHAR*, BOOL) override { return E_NOTIMPL; }
  HRESULT SaveCompleted(const WCHAR*) override { return E_NOTIMPL; }
  HRESULT GetCurFile(WCHAR**) override { return E_NOTIMPL; }

  HRESULT Init(ULONG, ULONG, const FULLPROPSPEC*, ULONG* flags) override {
    *flags = 0;
    return init_hr_;
  }
  HRESULT GetChunk(STAT_CHUNK* stat) override {
    if (next_ >= steps_.size()) return FILTER_E_END_OF_CHUNKS;
    current_ = &steps_[next_++];
    delivered_ = 0;
    if (current_->kind == Step::kChunkFail) return current_->hr;
    *stat = STAT_CHUNK{};
    stat->idChunk = static_cast<ULONG>(next_);
    stat->flags = current_->kind == Step::kValue ? CHUNK_VALUE : CHUNK_TEXT;
    return S_OK;
  }
  HRESULT GetText(ULONG* count, WCHAR* buffer) override {
    if (current_ == nullptr || current_->kind == Step::kValue) return E_UNEXPECTED;
    if (current_->kind == Step::kTextFail) return current_->hr;
    const std::size_t left = current_->text.size() - delivered_;
    if (left == 0) {
      *count = 0;
      return FILTER_E_NO_MORE_TEXT;
    }
    const std::size_t n = std::min<std::size_t>(*count, left);
    current_->text.copy(buffer, n, delivered_);
    delivered_ += n;
    *count = static_cast<ULONG>(n);
    return delivered_ == current_->text.size() ? FILTER_S_LAST_TEXT : S_OK;
  }
  HRESULT GetValue(PROPVARIANT**) override { return FILTER_E_NO_VALUES; }
  HRESULT BindRegion(FILTERREGION, REFIID, void**) override { return E_NOTIMPL; }

 private:
  ~FakeFilter() = default;

  static std::u16string Letters(std::size_t n) {
    std::u16string text(n, u'a');
    for (std::size_t i = 0; i < n; ++i) text[i] = static_cast<char16_t>(u'a' + i % 26);
    return text;
  }

  const CLSID clsid_;
  std::atomic<ULONG> refs_{1};
  HRESULT init_hr_ = S_OK;
  std::vector<Step> steps_;
  std::size_t next_ = 0;
  const Step* current_ = nullptr;
  std::size_t delivered_ = 0;
};

FakeFilter* CreateA() { return new (std::nothrow) FakeFilter(CLSID_FakeFilterA); }
FakeFilter* CreateB() { return new (std::nothrow) FakeFilter(CLSID_FakeFilterB); }

}  // namespace

TROVIX_EXPORT HRESULT DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  const auto create = clsid == CLSID_FakeFilterA   ? CreateA
                      : clsid == CLSID_FakeFilterB ? CreateB
                                                   : nullptr;
  if (create == nullptr) return CLASS_E_CLASSNOTAVAILABLE;
  return GetClassFactory<FakeFilter>(create, &g_objects, &g_server_locks, riid, ppv);
}

TROVIX_EXPORT HRESULT DllCanUnloadNow() {
  return g_objects == 0 && g_server_locks == 0 ? S_OK : S_FALSE;
}
