// Text extraction: the filter lookup chain against a private machine hive,
// the plain-text fallback with the real text filter, and the chunk and piece
// reading of TextSource over a scripted fake filter.
#include "indexstore/text_source.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include "indexstore/filter_lookup.h"
#include "platform/reg_key.h"
#include "platform/testing/private_tree.h"
#include "platform/wstring.h"
#include "shared/filter_ids.h"

namespace ordalis {
namespace {

constexpr CLSID kFakeA = MakeGuid("{B03576A7-A4F9-4C4C-937C-A284A4BA0145}");
constexpr CLSID kFakeB = MakeGuid("{611C0305-710D-4462-870C-92D929E7E2FC}");
constexpr std::u16string_view kHandlerA = u"{0D8E6F3A-1B2C-4D5E-8F90-A1B2C3D4E5F6}";
constexpr std::u16string_view kHandlerB = u"{1E9F7A4B-2C3D-4E5F-9A01-B2C3D4E5F6A7}";
const std::string kFakeModule = std::string(TROVIX_BUILD_DIR) + "/tests/libfake_filter.so";
const std::string kTextModule = std::string(TROVIX_MODULE_BUILD_DIR) + "/libtxtfilter.so";

class TextSourceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(com_.hr(), S_OK);
    for (const CLSID& clsid : {kFakeA, kFakeB}) {
      SetMachine(u"CLSID\\" + GuidToWString(clsid) + u"\\InprocServer32", Utf8ToUtf16(kFakeModule));
    }
    LinkHandler(kHandlerA, GuidToWString(kFakeA));
    LinkHandler(kHandlerB, GuidToWString(kFakeB));
  }

  // Sets the default value of a key of the machine's classes.
  static void SetMachine(const WString& path, std::u16string_view value) {
    RegKey key;
    ASSERT_EQ(RegKey::Create(HKEY_LOCAL_MACHINE, u"Software\\Classes\\" + path, &key),
              ERROR_SUCCESS);
    ASSERT_EQ(key.SetString(u"", value), ERROR_SUCCESS);
  }
  static void LinkHandler(std::u16string_view handler, std::u16string_view filter) {
    SetMachine(u"CLSID\\" + WString(handler) + u"\\PersistentAddinsRegistered\\" +
                   GuidToWString(IID_IFilter),
               filter);
  }
  static void SetContentType(std::u16string_view extension, std::u16string_view type) {
    RegKey key;
    ASSERT_EQ(RegKey::Create(HKEY_CLASSES_ROOT, extension, &key), ERROR_SUCCESS);
    ASSERT_EQ(key.SetString(u"Content Type", type), ERROR_SUCCESS);
  }

  // The class of the filter found for `name`, or the lookup's failure.
  static std::string FilterFor(std::u16string_view name) {
    ComPtr<IUnknown> object;
    const HRESULT hr =
        LoadFilterForPath(WString(u"/home/ann/" + WString(name)).c_str(), object.put());
    if (FAILED(hr)) return StatusName(hr);
    ComPtr<IPersist> persist;
    CLSID clsid{};
    if (FAILED(object->QueryInterface(IID_IPersist, persist.put_void())) ||
        FAILED(persist->GetClassID(&clsid))) {
      return "no IPersist";
    }
    return clsid == kFakeA ? "A" : clsid == kFakeB ? "B" : GuidToString(clsid);
  }

  WString Script(const std::string& name, const std::string& lines) {
    const std::string path = tree_.home() + "/" + name;
    trovix::testing::WriteFile(path, lines);
    return Utf8ToUtf16(path);
  }

  // Every text chunk's pieces, read through `source` to the end.
  static std::vector<std::vector<std::u16string>> ReadPieces(TextSource& source) {
    std::vector<std::vector<std::u16string>> chunks;
    while (source.NextChunk() == S_OK) {
      chunks.emplace_back();
      std::u16string_view piece;
      while (source.NextPiece(&piece) == S_OK) {
        EXPECT_EQ(piece.data()[piece.size()], u'\0') << "pieces are terminated";
        chunks.back().emplace_back(piece);
      }
    }
    return chunks;
  }

  trovix::testing::PrivateTree tree_;
  ComInit com_;
};

TEST_F(TextSourceTest, LookupFollowsTheExtensionThenTheFileTypeClass) {
  SetMachine(u".doc\\PersistentHandler", kHandlerA);
  SetMachine(u"docfile\\CLSID", u"{22222222-3333-4444-5555-666666666666}");
  SetMachine(u"CLSID\\{22222222-3333-4444-5555-666666666666}\\PersistentHandler", kHandlerB);
  EXPECT_EQ(FilterFor(u"letter.doc"), "A") << "the extension's own handler comes first";
  EXPECT_EQ(FilterFor(u"LETTER.DOC"), "A") << "extensions compare without regard to case";
  ASSERT_EQ(RegDeleteTreeIfExists(HKEY_LOCAL_MACHINE, u"Software\\Classes\\.doc"), ERROR_SUCCESS);
  EXPECT_EQ(FilterFor(u"letter.doc"), "B") << "then the handler of the docfile class";
  EXPECT_EQ(FilterFor(u"archive.tar.doc"), "B") << "the extension starts at the last dot";

  EXPECT_EQ(FilterFor(u"README"), "E_FAIL");
  // Were the extension taken from the whole path, this key would be found.
  SetMachine(u".doc/README\\PersistentHandler", kHandlerA);
  EXPECT_EQ(FilterFor(u"notes.doc/README"), "E_FAIL") << "a dot in a folder name is no extension";
  EXPECT_EQ(FilterFor(u"letter."), "E_FAIL");
  EXPECT_EQ(FilterFor(u"letter.xyz"), "E_FAIL");
  ComPtr<IUnknown> object;
  EXPECT_EQ(LoadFilterForPath(nullptr, object.put()), E_INVALIDARG);
  EXPECT_FALSE(IsPlainTextType(nullptr));
}

TEST_F(TextSourceTest, LookupFailsOnABrokenChainAndOnValuesPastTheirBuffer) {
  SetMachine(u".nohandler\\PersistentHandler", u"{33333333-3333-4444-5555-666666666666}");
  EXPECT_EQ(FilterFor(u"a.nohandler"), "E_FAIL") << "the handler has no filter entry";
  SetMachine(u".garbled\\PersistentHandler", u"{44444444-3333-4444-5555-666666666666}");
  LinkHandler(u"{44444444-3333-4444-5555-666666666666}", u"not a class");
  EXPECT_EQ(FilterFor(u"a.garbled"), "CO_E_CLASSSTRING");
  SetMachine(u".unregistered\\PersistentHandler", u"{55555555-3333-4444-5555-666666666666}");
  LinkHandler(u"{55555555-3333-4444-5555-666666666666}", u"{66666666-3333-4444-5555-666666666666}");
  EXPECT_EQ(FilterFor(u"a.unregistered"), "REGDB_E_CLASSNOTREG");

  // A value of 259 units fits the buffer with its terminator, 260 do not.
  SetMachine(u".fits\\PersistentHandler", WString(259, u'x'));
  LinkHandler(WString(259, u'x'), u"not a class");
  EXPECT_EQ(FilterFor(u"a.fits"), "E_FAIL") << "the key path of step 4 is too long";
  SetMachine(u".short\\PersistentHandler", kHandlerA);
  LinkHandler(kHandlerA, u"{B03576A7-A4F9-4C4C-937C-A284A4BA0145}" + WString(221, u' '));
  EXPECT_EQ(FilterFor(u"a.short"), "CO_E_CLASSSTRING") << "259 units are read";
  LinkHandler(kHandlerA, u"{B03576A7-A4F9-4C4C-937C-A284A4BA0145}" + WString(222, u' '));
  EXPECT_EQ(FilterFor(u"a.short"), "E_FAIL") << "260 units are a failed read";

  // Step 1's key path: 17 + extension + 18 units must stay below 260.
  const WString fits = u"." + WString(223, u'f');
  const WString too_long = u"." + WString(224, u'f');
  SetMachine(fits + u"\\PersistentHandler", kHandlerB);
  SetMachine(too_long + u"\\PersistentHandler", kHandlerB);
  EXPECT_EQ(FilterFor(u"a" + fits), "B");
  EXPECT_EQ(FilterFor(u"a" + too_long), "E_FAIL");
}

TEST_F(TextSourceTest, PlainTextTypesWithoutAFilterAreReadWithTheTextFilter) {
  void* module = dlopen(kTextModule.c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(module, nullptr) << dlerror();
  auto register_server = reinterpret_cast<DllRegisterServerFn>(dlsym(module, "DllRegisterServer"));
  ASSERT_EQ(register_server(), S_OK);
  dlclose(module);
  SetMachine(u".txt\\PersistentHandler", GuidToWString(trovix::CLSID_TextFilterHandler));
  SetContentType(u".log", u"text/plain");
  SetContentType(u".note", u"Text/Plain");
  SetContentType(u".html", u"text/html");

  TextSource source;
  for (const char* name : {"/a.txt", "/b.TXT", "/c.log", "/d.note"}) {
    const std::string path = tree_.home() + name;
    trovix::testing::WriteFile(path, "caf\xC3\xA9 au lait");
    ASSERT_EQ(source.Open(Utf8ToUtf16(path).c_str()), S_OK) << name;
    EXPECT_EQ(ReadPieces(source), (std::vector<std::vector<std::u16string>>{{u"café au lait"}}));
    EXPECT_TRUE(trovix::testing::HasDescriptorOpenOn(path));
    source.Close();
    EXPECT_FALSE(trovix::testing::HasDescriptorOpenOn(path)) << "Close releases the filter";
  }
  EXPECT_EQ(source.Open(Script("page.html", "<p>").c_str()), E_NOINTERFACE);
  EXPECT_EQ(source.Open(Script("Makefile", "all:").c_str()), E_NOINTERFACE);
  EXPECT_EQ(source.NextChunk(), E_UNEXPECTED) << "a failed Open leaves the source closed";

  ASSERT_EQ(RegDeleteTreeIfExists(HKEY_LOCAL_MACHINE, u"Software\\Classes\\.txt"), ERROR_SUCCESS);
  EXPECT_EQ(source.Open(Script("e.log", "text").c_str()), E_FAIL) << "text/plain, no .txt filter";
}

TEST_F(TextSourceTest, ReadsTextChunksInPiecesAndPassesOverOtherChunks) {
  SetMachine(u".fake\\PersistentHandler", kHandlerA);
  TextSource source;
  ASSERT_EQ(source.Open(Script("a.fake", "value\ntext 10000\nwords hello\nvalue\n").c_str()), S_OK);
  ASSERT_EQ(source.NextChunk(), S_OK);
  EXPECT_EQ(source.chunk().idChunk, 2u) << "the value chunk is passed over";
  std::u16string_view piece;
  std::u16string text;
  for (const std::size_t expected : {4095u, 4095u, 1810u}) {
    ASSERT_EQ(source.NextPiece(&piece), S_OK);
    EXPECT_EQ(piece.size(), expected);
    EXPECT_EQ(piece.data(), source.PieceBuffer()) << "one buffer for every piece";
    text += piece;
  }
  EXPECT_EQ(text.substr(4090, 10), u"ijklmnopqr") << "pieces join without loss";
  EXPECT_EQ(source.NextPiece(&piece), FILTER_E_NO_MORE_TEXT);
  EXPECT_TRUE(piece.empty());
  ASSERT_EQ(source.NextChunk(), S_OK);
  ASSERT_EQ(source.NextPiece(&piece), S_OK);
  EXPECT_EQ(piece, u"hello");
  EXPECT_EQ(source.NextPiece(&piece), FILTER_E_NO_MORE_TEXT);
  EXPECT_EQ(source.NextChunk(), FILTER_E_END_OF_CHUNKS) << "a trailing value chunk is no text";
}

TEST_F(TextSourceTest, FailuresOfTheFilterComeBackAsTheyAre) {
  SetMachine(u".fake\\PersistentHandler", kHandlerB);
  TextSource source;
  EXPECT_EQ(source.Open(Script("load.fake", "load 80030020\n").c_str()), STG_E_SHAREVIOLATION);
  EXPECT_EQ(source.NextChunk(), E_UNEXPECTED);
  EXPECT_EQ(source.Open(Script("init.fake", "init 80004005\n").c_str()), E_FAIL);
  EXPECT_EQ(source.Open(u"/no/such/file.fake"), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));

  // A failed text request ends its chunk only; a failed chunk request is
  // the source's failure.
  ASSERT_EQ(
      source.Open(
          Script("read.fake", "textfail 80070005\nwords after\nchunkfail 8007001e\n").c_str()),
      S_OK);
  std::u16string_view piece;
  ASSERT_EQ(source.NextChunk(), S_OK);
  EXPECT_EQ(source.NextPiece(&piece), HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));
  EXPECT_EQ(source.NextPiece(&piece), FILTER_E_NO_MORE_TEXT) << "the chunk has ended";
  ASSERT_EQ(source.NextChunk(), S_OK);
  ASSERT_EQ(source.NextPiece(&piece), S_OK);
  EXPECT_EQ(piece, u"after");
  EXPECT_EQ(source.NextChunk(), static_cast<HRESULT>(0x8007001Eu));
  source.Close();
  CoFreeUnusedLibraries();
  void* handle = dlopen(kFakeModule.c_str(), RTLD_NOW | RTLD_NOLOAD);
  EXPECT_EQ(handle, nullptr) << "every reference to the filter was released";
  if (handle != nullptr) dlclose(handle);
}

}  // namespace
}  // namespace ordalis
