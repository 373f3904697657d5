// The plain-text filter: decoding wherever blocks end, the chunk and piece
// protocol of IFilter over real files, refusals of Load, and registration
// of the built module in a private machine hive.
#include "filters/text_filter.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <random>

#include "filters/text_decoder.h"
#include "platform/com.h"
#include "platform/reg_key.h"
#include "platform/testing/private_tree.h"
#include "platform/wstring.h"
#include "shared/filter_ids.h"

namespace {

using txtfilter::kBlockSize;
using txtfilter::TextDecoder;

const std::string kModule = std::string(TROVIX_MODULE_BUILD_DIR) + "/libtxtfilter.so";

std::u16string DecodeInParts(const std::string& bytes, std::size_t first_part) {
  TextDecoder decoder;
  std::u16string text;
  const auto* p = reinterpret_cast<const BYTE*>(bytes.data());
  decoder.Decode(std::span<const BYTE>(p, first_part), &text);
  decoder.Decode(std::span<const BYTE>(p + first_part, bytes.size() - first_part), &text);
  decoder.Finish(&text);
  return text;
}

std::u16string DecodeByteByByte(const std::string& bytes) {
  TextDecoder decoder;
  std::u16string text;
  for (const char& c : bytes) {
    decoder.Decode(std::span<const BYTE>(reinterpret_cast<const BYTE*>(&c), 1), &text);
  }
  decoder.Finish(&text);
  return text;
}

struct Sample {
  const char* what;
  std::string bytes;
  std::u16string text;
};

const Sample kSamples[] = {
    {"UTF-8 with BOM", "\xEF\xBB\xBFna\xC3\xAFve \xE2\x82\xAC", u"naïve €"},
    {"UTF-8 beyond the BMP", "x\xF0\x9F\x98\x80y", u"x\U0001F600y"},
    {"UTF-16 LE", std::string("\xFF\xFEh\0\xE9\0\x3D\xD8\x00\xDE", 10), u"hé\U0001F600"},
    {"UTF-16 BE", std::string("\xFE\xFF\0h\0\xE9\xD8\x3D\xDE\x00", 10), u"hé\U0001F600"},
    {"Windows-1252", "caf\xE9 \x80 \x9C\x81", u"café € œ\u0081"},
    {"mixed runs, cut at the end", "ok \xC3\xA9 bad \xE9t\xE9 \xE2\x82", u"ok é bad été â\u201A"},
    {"ill-formed UTF-8 byte by byte", "\xC0\xAF \xED\xA0\x80 \xF4\x90\x80\x80 \xBF",
     u"\u00C0\u00AF \u00ED\u00A0\u20AC \u00F4\u0090\u20AC\u20AC \u00BF"},
    {"NUL in UTF-8", std::string("a\0b", 3), u"a b"},
    {"NUL in UTF-16", std::string("\xFF\xFE\x61\0\0\0b\0", 8), u"a b"},
    {"odd byte ending UTF-16", std::string("\xFF\xFE\x61\0b", 5), u"a"},
    {"byte order mark only", "\xFF\xFE", u""},
    {"half a UTF-8 mark", "\xEF\xBB", u"ï»"},
    {"one byte", "a", u"a"},
};

TEST(TextDecoderTest, DecodesEachEncodingAlikeWhereverTheBlocksEnd) {
  for (const Sample& sample : kSamples) {
    for (std::size_t split = 0; split <= sample.bytes.size(); ++split) {
      EXPECT_EQ(DecodeInParts(sample.bytes, split), sample.text)
          << sample.what << ", split after " << split;
    }
    EXPECT_EQ(DecodeByteByByte(sample.bytes), sample.text) << sample.what;
  }
}

TEST(TextDecoderTest, SettlesTheEncodingPerFile) {
  TextDecoder decoder;
  std::u16string text;
  const std::string utf16 = std::string("\xFE\xFF\0a", 4);
  decoder.Decode(std::span<const BYTE>(reinterpret_cast<const BYTE*>(utf16.data()), 4), &text);
  EXPECT_EQ(decoder.encoding(), txtfilter::TextEncoding::kUtf16Be);
  // A later FF FE is text, not a new byte order mark.
  const BYTE later[] = {0xFF, 0xFE};
  decoder.Decode(later, &text);
  decoder.Finish(&text);
  EXPECT_EQ(text, u"a\uFFFE");
  decoder.Reset();
  text.clear();
  decoder.Decode(later, &text);
  decoder.Finish(&text);
  EXPECT_EQ(decoder.encoding(), txtfilter::TextEncoding::kUtf16Le);
  EXPECT_EQ(text, u"");
}

// What a reader sees of a filter: the chunks' descriptions and texts.
struct Reading {
  std::vector<STAT_CHUNK> stats;
  std::vector<std::u16string> chunks;
  std::u16string Joined() const {
    std::u16string all;
    for (const std::u16string& chunk : chunks) all += chunk;
    return all;
  }
};

// Reads every chunk in pieces of at most `piece` units and checks the
// protocol on the way: ids from 1, text chunks only, pieces of 1..piece
// units with nothing written past them, FILTER_S_LAST_TEXT on the last piece
// and FILTER_E_NO_MORE_TEXT after it, FILTER_E_END_OF_CHUNKS to the end.
Reading ReadAll(IFilter* filter, ULONG piece) {
  Reading r;
  std::vector<WCHAR> buffer(piece + 1);
  for (STAT_CHUNK stat{}; filter->GetChunk(&stat) == S_OK; stat = STAT_CHUNK{}) {
    EXPECT_EQ(stat.idChunk, r.chunks.size() + 1);
    EXPECT_EQ(stat.flags, CHUNK_TEXT);
    EXPECT_EQ(stat.idChunkSource, stat.idChunk);
    EXPECT_EQ(stat.attribute.psProperty.propid, PID_STG_CONTENTS);
    std::u16string text;
    HRESULT hr = S_OK;
    while (hr == S_OK) {
      ULONG count = piece;
      buffer[piece] = u'#';
      hr = filter->GetText(&count, buffer.data());
      EXPECT_TRUE(hr == S_OK || hr == FILTER_S_LAST_TEXT) << std::hex << hr;
      EXPECT_GE(count, 1u);
      EXPECT_LE(count, piece);
      EXPECT_EQ(buffer[piece], u'#');
      if (count == 0 || count > piece) break;
      text.append(buffer.data(), count);
    }
    ULONG count = piece;
    EXPECT_EQ(filter->GetText(&count, buffer.data()), FILTER_E_NO_MORE_TEXT);
    EXPECT_EQ(count, 0u);
    r.stats.push_back(stat);
    r.chunks.push_back(text);
  }
  STAT_CHUNK stat{};
  EXPECT_EQ(filter->GetChunk(&stat), FILTER_E_END_OF_CHUNKS);
  EXPECT_EQ(filter->GetChunk(&stat), FILTER_E_END_OF_CHUNKS) << "the end stays the end";
  return r;
}

HRESULT CallModule(const char* entry) {
  void* handle = dlopen(kModule.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) return E_FAIL;
  auto fn = reinterpret_cast<DllRegisterServerFn>(dlsym(handle, entry));
  const HRESULT hr = fn != nullptr ? fn() : E_FAIL;
  dlclose(handle);
  return hr;
}

bool ModuleLoaded() {
  void* handle = dlopen(kModule.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (handle != nullptr) dlclose(handle);
  return handle != nullptr;
}

class TextFilterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(CallModule("DllRegisterServer"), S_OK);
    ASSERT_EQ(com_.hr(), S_OK);
  }

  std::string Write(const std::string& name, const std::string& bytes) {
    const std::string path = tree_.home() + "/" + name;
    trovix::testing::WriteFile(path, bytes);
    return path;
  }

  static ComPtr<IFilter> Create() {
    ComPtr<IFilter> filter;
    EXPECT_EQ(CoCreateInstance(trovix::CLSID_TextFilter, nullptr, CLSCTX_INPROC_SERVER, IID_IFilter,
                               filter.put_void()),
              S_OK);
    return filter;
  }

  static HRESULT Load(IFilter* filter, const std::string& path,
                      DWORD mode = STGM_READ | STGM_SHARE_DENY_NONE) {
    ComPtr<IPersistFile> file;
    const HRESULT hr = filter->QueryInterface(IID_IPersistFile, file.put_void());
    if (FAILED(hr)) return hr;
    return file->Load(Utf8ToUtf16(path).c_str(), mode);
  }

  static HRESULT Init(IFilter* filter) {
    ULONG flags = 7;
    const HRESULT hr = filter->Init(0, 0, nullptr, &flags);
    EXPECT_EQ(flags, 0u);
    return hr;
  }

  Reading ReadFile(const std::string& path, ULONG piece = 4095) {
    ComPtr<IFilter> filter = Create();
    if (!filter) return {};
    EXPECT_EQ(Load(filter.get(), path), S_OK);
    EXPECT_EQ(Init(filter.get()), S_OK);
    return ReadAll(filter.get(), piece);
  }

  trovix::testing::PrivateTree tree_;
  ComInit com_;
};

TEST_F(TextFilterTest, ReadsEachEncodingFromAFile) {
  for (const Sample& sample : kSamples) {
    const Reading r = ReadFile(Write("sample.txt", sample.bytes));
    EXPECT_EQ(r.Joined(), sample.text) << sample.what;
    EXPECT_EQ(r.chunks.size(), sample.text.empty() ? 0u : 1u) << sample.what;
  }
}

TEST_F(TextFilterTest, SequencesAcrossABlockBoundaryStayWhole) {
  // UTF-8: a three-byte and, in another file, a four-byte sequence over the
  // boundary; no white space, so the chunk is cut where the block ends.
  const std::string a(kBlockSize - 2, 'a');
  EXPECT_EQ(ReadFile(Write("euro.txt", a + "\xE2\x82\xAC"
                                           "b"))
                .Joined(),
            std::u16string(a.size(), u'a') + u"€b");
  const std::string b(kBlockSize - 1, 'a');
  const Reading smile = ReadFile(Write("smile.txt", b + "\xF0\x9F\x98\x80"));
  EXPECT_EQ(smile.Joined(), std::u16string(b.size(), u'a') + u"\U0001F600");
  // UTF-16 LE: a surrogate pair whose halves lie in two blocks.
  std::string utf16 = "\xFF\xFE";
  while (utf16.size() < kBlockSize - 2) utf16 += std::string("a\0", 2);
  utf16 += std::string("\x3D\xD8\x00\xDEz\0", 6);
  const Reading pair = ReadFile(Write("pair.txt", utf16));
  EXPECT_EQ(pair.Joined(), std::u16string((kBlockSize - 4) / 2, u'a') + u"\U0001F600z");
  for (const std::u16string& chunk : pair.chunks) {
    EXPECT_FALSE(chunk.back() >= 0xD800 && chunk.back() <= 0xDBFF) << "a pair was split";
  }
}

TEST_F(TextFilterTest, ALargeFileComesInChunksCutAtLineEnds) {
  std::string bytes;
  for (int line = 0; bytes.size() < 10u * 1024 * 1024; ++line) {
    bytes += "line " + std::to_string(line) + " of the n\xC3\xA6st long text\n";
  }
  const auto start = std::chrono::steady_clock::now();
  const Reading r = ReadFile(Write("big.log", bytes), 1000);
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  EXPECT_TRUE(r.Joined() == Utf8ToUtf16(bytes));
  EXPECT_GE(r.chunks.size(), bytes.size() / kBlockSize);
  for (std::size_t i = 0; i < r.chunks.size(); ++i) {
    EXPECT_LE(r.chunks[i].size(), kBlockSize * 3 / 2) << i;
    EXPECT_EQ(r.chunks[i].back(), u'\n') << i;
    if (i > 0) {
      EXPECT_EQ(r.stats[i].breakType, CHUNK_EOP) << i;
    }
  }
  EXPECT_LT(took.count(), 20.0) << "reading must stay linear in the file size";
}

TEST_F(TextFilterTest, BinaryGarbageGivesTextWithoutNulAndLosesNothing) {
  std::mt19937 random(20240611);
  std::string bytes(3 * kBlockSize + 12345, '\0');
  for (char& c : bytes) c = static_cast<char>(random() & 0xFF);
  for (std::size_t i = 0; i < bytes.size(); i += 97) bytes[i] = '\0';
  const auto start = std::chrono::steady_clock::now();
  const Reading r = ReadFile(Write("garbage.txt", bytes), 333);
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  const std::u16string all = r.Joined();
  EXPECT_EQ(all.find(u'\0'), std::u16string::npos);
  EXPECT_TRUE(all == DecodeInParts(bytes, 0)) << "chunks hold the file's text, each unit once";
  EXPECT_GE(r.chunks.size(), 4u);
  EXPECT_LT(took.count(), 10.0);
}

TEST_F(TextFilterTest, FollowsTheChunkAndTextProtocol) {
  const std::string path = Write("protocol.txt",
                                 "ab\xF0\x9F\x98\x80"
                                 "cd");
  ComPtr<IFilter> filter = Create();
  ASSERT_TRUE(filter);
  STAT_CHUNK stat{};
  WCHAR buffer[8] = {};
  ULONG count = 8;
  EXPECT_EQ(Init(filter.get()), E_UNEXPECTED) << "nothing loaded";
  ASSERT_EQ(Load(filter.get(), path), S_OK);
  EXPECT_EQ(filter->GetChunk(&stat), E_UNEXPECTED) << "not initialised";
  ASSERT_EQ(Init(filter.get()), S_OK);
  EXPECT_EQ(filter->GetText(&count, buffer), FILTER_E_NO_MORE_TEXT) << "no chunk yet";
  ASSERT_EQ(filter->GetChunk(&stat), S_OK);
  EXPECT_EQ(stat.idChunk, 1u);
  // Pieces of three units: the pair is not split, so the first piece is short.
  count = 3;
  EXPECT_EQ(filter->GetText(&count, buffer), S_OK);
  EXPECT_EQ(std::u16string(buffer, count), u"ab");
  count = 3;
  EXPECT_EQ(filter->GetText(&count, buffer), S_OK);
  EXPECT_EQ(std::u16string(buffer, count), u"\U0001F600c");
  count = 3;
  EXPECT_EQ(filter->GetText(&count, buffer), FILTER_S_LAST_TEXT);
  EXPECT_EQ(std::u16string(buffer, count), u"d");
  PROPVARIANT* value = nullptr;
  EXPECT_EQ(filter->GetValue(&value), FILTER_E_NO_VALUES);
  void* region = &region;
  EXPECT_EQ(filter->BindRegion(FILTERREGION{1, 0, 1}, IID_IUnknown, &region), E_NOTIMPL);
  EXPECT_EQ(region, nullptr);
  EXPECT_EQ(filter->GetChunk(&stat), FILTER_E_END_OF_CHUNKS);

  // Init starts over; an attribute list without the body text gives nothing.
  ASSERT_EQ(Init(filter.get()), S_OK);
  EXPECT_EQ(ReadAll(filter.get(), 4).Joined(), u"ab\U0001F600cd");
  FULLPROPSPEC title{PSGUID_STORAGE, {PRSPEC_PROPID, {2}}};
  FULLPROPSPEC body{PSGUID_STORAGE, {PRSPEC_PROPID, {PID_STG_CONTENTS}}};
  ULONG flags = 0;
  ASSERT_EQ(filter->Init(0, 1, &title, &flags), S_OK);
  EXPECT_EQ(filter->GetChunk(&stat), FILTER_E_END_OF_CHUNKS);
  const FULLPROPSPEC both[] = {title, body};
  ASSERT_EQ(filter->Init(IFILTER_INIT_CANON_PARAGRAPHS, 2, both, &flags), S_OK);
  EXPECT_EQ(ReadAll(filter.get(), 4095).chunks.size(), 1u);
  EXPECT_EQ(filter->Init(0, 1, nullptr, &flags), E_INVALIDARG);
}

TEST_F(TextFilterTest, LoadRefusesWhatIsNoReadableFileAndClosesWhatItOpened) {
  ComPtr<IFilter> filter = Create();
  ASSERT_TRUE(filter);
  EXPECT_EQ(Load(filter.get(), tree_.home()), HresultFromErrno(EISDIR));
  EXPECT_EQ(Load(filter.get(), tree_.home() + "/missing.txt"),
            HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
  const std::string fifo = tree_.home() + "/pipe.txt";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(Load(filter.get(), fifo), FILTER_E_ACCESS) << "and it must not wait for a writer";
  const std::string path = Write("a.txt", "text");
  EXPECT_EQ(Load(filter.get(), path, STGM_READWRITE), E_INVALIDARG);
  if (geteuid() != 0) {
    const std::string locked = Write("locked.txt", "secret");
    ASSERT_EQ(chmod(locked.c_str(), 0), 0);
    EXPECT_EQ(Load(filter.get(), locked), HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));
  }

  const std::string other = Write("b.txt", "more");
  ASSERT_EQ(Load(filter.get(), path), S_OK);
  EXPECT_TRUE(trovix::testing::HasDescriptorOpenOn(path));
  ASSERT_EQ(Load(filter.get(), other), S_OK);
  EXPECT_FALSE(trovix::testing::HasDescriptorOpenOn(path)) << "a second Load closes the first file";
  EXPECT_EQ(Init(filter.get()), S_OK);
  EXPECT_EQ(ReadAll(filter.get(), 10).Joined(), u"more");
  filter.reset();
  EXPECT_FALSE(trovix::testing::HasDescriptorOpenOn(other));
}

TEST_F(TextFilterTest, RegistersItsClassAndHandlerAndUnloadsWhenIdle) {
  const auto value = [](const WString& path, std::u16string_view name) {
    RegKey key;
    WString text;
    if (RegKey::Open(HKEY_LOCAL_MACHINE, u"Software\\Classes\\CLSID\\" + path, &key) !=
        ERROR_SUCCESS) {
      return WString(u"<no key>");
    }
    return key.GetString(name, &text) == ERROR_SUCCESS ? text : WString(u"<no value>");
  };
  const WString filter_key = GuidToWString(trovix::CLSID_TextFilter);
  const WString handler_key = GuidToWString(trovix::CLSID_TextFilterHandler);
  EXPECT_EQ(value(filter_key + u"\\InprocServer32", u""),
            Utf8ToUtf16(std::filesystem::canonical(kModule).string()));
  EXPECT_EQ(value(filter_key + u"\\InprocServer32", u"ThreadingModel"), u"Both");
  EXPECT_EQ(
      value(handler_key + u"\\PersistentAddinsRegistered\\" + GuidToWString(IID_IFilter), u""),
      filter_key);

  const std::string hive = trovix::testing::ReadFile(tree_.machine_hive());
  ASSERT_EQ(CallModule("DllRegisterServer"), S_OK);
  EXPECT_EQ(trovix::testing::ReadFile(tree_.machine_hive()), hive)
      << "registering again changes nothing";

  {
    ComPtr<IFilter> filter = Create();
    ComPtr<IPersist> persist;
    ASSERT_EQ(filter->QueryInterface(IID_IPersist, persist.put_void()), S_OK);
    CLSID clsid{};
    EXPECT_EQ(persist->GetClassID(&clsid), S_OK);
    EXPECT_EQ(clsid, trovix::CLSID_TextFilter);
    EXPECT_TRUE(ModuleLoaded());
  }
  CoFreeUnusedLibraries();
  EXPECT_FALSE(ModuleLoaded()) << "no object left, so the module unloads";

  ASSERT_EQ(CallModule("DllUnregisterServer"), S_OK);
  EXPECT_EQ(value(filter_key, u""), u"<no key>");
  EXPECT_EQ(value(handler_key, u""), u"<no key>");
}

}  // namespace
