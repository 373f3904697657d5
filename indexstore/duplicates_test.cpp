// Duplicate enumerations through the component's interface: catalogued
// files of equal content found by checksum and size, in the database's
// order, with their handles, buffers and arguments.
#include <filesystem>
#include <set>

#include "indexstore/testing/ordalis_fixture.h"
#include "platform/wstring.h"

namespace ordalis::testing {
namespace {

class DuplicatesTest : public OrdalisTest {
 protected:
  void SetUp() override {
    OrdalisTest::SetUp();
    CreateDatabaseFile();
    db_ = Create();
    ASSERT_EQ(db_->Init(), S_OK);
    std::filesystem::create_directories(tree_->home() + "/docs/sub");
  }
  void TearDown() override {
    if (db_) static_cast<void>(db_->Cleanup());
    db_.reset();
    OrdalisTest::TearDown();
  }

  // Writes `text` to `name` under the docs folder, catalogued when `add`.
  WString File(const std::string& name, const std::string& text, bool add = true) {
    const std::string path = tree_->home() + "/docs/" + name;
    trovix::testing::WriteFile(path, text);
    const WString wide = Utf8ToUtf16(path);
    if (add) {
      EXPECT_EQ(db_->AddFile(wide.c_str()), S_OK);
    }
    return wide;
  }

  // Every path of one enumeration, the first one included; 0 handles on
  // failure are reported by the caller's expectations.
  std::vector<WString> Enumerate(const WString& file) {
    std::vector<WString> found;
    WCHAR buffer[MAX_PATH + 1];
    UINT handle = 0;
    HRESULT hr = db_->FindFirstDuplicateFile(file.c_str(), buffer, MAX_PATH + 1, &handle);
    EXPECT_NE(handle, 0u);
    while (hr == S_OK) {
      found.emplace_back(buffer);
      hr = db_->FindNextDuplicateFile(buffer, MAX_PATH + 1, handle);
    }
    EXPECT_EQ(hr, DB_S_ENDOFROWSET);
    EXPECT_EQ(buffer[0], 0) << "the end delivers no path";
    EXPECT_EQ(db_->FindCloseDuplicateFile(handle), S_OK);
    EXPECT_EQ(db_->FindCloseDuplicateFile(handle), E_INVALIDARG) << "closed once only";
    return found;
  }

  ComPtr<ITrovixDB> db_;
};

TEST_F(DuplicatesTest, EqualChecksumAndSizeMakeDuplicatesInTheDatabasesOrder) {
  const WString a = File("a.txt", "same content");
  const WString b = File("sub/b.txt", "same content");
  File("c.txt", "SAME CONTENT");   // another content of the same size
  File("d.txt", "same content!");  // a longer one
  const WString loose = File("loose.txt", "same content", /*add=*/false);

  EXPECT_EQ(Enumerate(a), (std::vector<WString>{a, b})) << "its own path first";
  EXPECT_EQ(Enumerate(loose), (std::vector<WString>{a, b})) << "uncatalogued files find theirs";
  // The stored checksum counts, not the content now: a changed file no
  // longer finds its old twin until it is updated.
  File("sub/b.txt", "new content!", /*add=*/false);
  EXPECT_EQ(Enumerate(a), (std::vector<WString>{a, b}));
  EXPECT_EQ(Enumerate(b), std::vector<WString>{});
  ASSERT_EQ(db_->UpdateFile(b.c_str()), S_OK);
  EXPECT_EQ(Enumerate(a), std::vector<WString>{a});
}

TEST_F(DuplicatesTest, HandlesBuffersAndArguments) {
  const WString a = File("a.txt", "twin");
  const WString b = File("b.txt", "twin");
  WCHAR buffer[MAX_PATH + 1];
  UINT first = 0;
  UINT second = 0;
  ASSERT_EQ(db_->FindFirstDuplicateFile(a.c_str(), buffer, MAX_PATH + 1, &first), S_OK);
  ASSERT_EQ(db_->FindFirstDuplicateFile(a.c_str(), buffer, MAX_PATH + 1, &second), S_OK);
  EXPECT_NE(first, 0u);
  EXPECT_NE(second, 0u);
  EXPECT_NE(first, second);
  // Enumerations move on their own; a path that does not fit whole with its
  // terminator is refused and its row passed.
  const auto fits = static_cast<UINT>(b.size() + 1);
  EXPECT_EQ(db_->FindNextDuplicateFile(buffer, fits - 1, first), E_INVALIDARG);
  EXPECT_EQ(buffer[0], 0);
  EXPECT_EQ(db_->FindNextDuplicateFile(buffer, fits, first), DB_S_ENDOFROWSET);
  ASSERT_EQ(db_->FindNextDuplicateFile(buffer, fits, second), S_OK);
  EXPECT_EQ(WString(buffer), b);
  EXPECT_EQ(db_->FindCloseDuplicateFile(first), S_OK);
  EXPECT_EQ(db_->FindCloseDuplicateFile(second), S_OK);

  // The first path too long: no handle is left open.
  UINT handle = 5;
  EXPECT_EQ(db_->FindFirstDuplicateFile(a.c_str(), buffer, static_cast<UINT>(a.size()), &handle),
            E_INVALIDARG);
  EXPECT_EQ(handle, 0u);

  EXPECT_EQ(db_->FindFirstDuplicateFile(nullptr, buffer, 10, &handle), E_INVALIDARG);
  EXPECT_EQ(db_->FindFirstDuplicateFile(a.c_str(), nullptr, 10, &handle), E_INVALIDARG);
  EXPECT_EQ(db_->FindFirstDuplicateFile(a.c_str(), buffer, 10, nullptr), E_INVALIDARG);
  handle = 5;
  EXPECT_EQ(db_->FindFirstDuplicateFile(u"/no/such/file", buffer, 10, &handle), E_INVALIDARG);
  EXPECT_EQ(handle, 0u);
  // The database file is never read outside the engine.
  handle = 5;
  const WString database = Utf8ToUtf16(DatabasePath());
  EXPECT_EQ(db_->FindFirstDuplicateFile(database.c_str(), buffer, 10, &handle), E_INVALIDARG);
  EXPECT_EQ(handle, 0u);
  EXPECT_EQ(db_->FindNextDuplicateFile(buffer, 10, 0), E_INVALIDARG);
  EXPECT_EQ(db_->FindNextDuplicateFile(nullptr, 10, first), E_INVALIDARG);
  EXPECT_EQ(db_->FindNextDuplicateFile(buffer, 10, first), E_INVALIDARG) << "closed handle";
  EXPECT_EQ(db_->FindCloseDuplicateFile(0), E_INVALIDARG);

  ASSERT_EQ(db_->FindFirstDuplicateFile(a.c_str(), buffer, MAX_PATH + 1, &handle), S_OK);
  ASSERT_EQ(db_->Cleanup(), S_OK);
  EXPECT_EQ(db_->FindFirstDuplicateFile(a.c_str(), buffer, 10, &handle), E_UNEXPECTED);
  EXPECT_EQ(db_->FindNextDuplicateFile(buffer, 10, handle), E_UNEXPECTED);
  EXPECT_EQ(db_->FindCloseDuplicateFile(handle), E_UNEXPECTED);
  // An enumeration outlives a closed connection: it holds its rows.
  ASSERT_EQ(db_->Init(), S_OK);
  ASSERT_EQ(db_->FindNextDuplicateFile(buffer, MAX_PATH + 1, handle), S_OK);
  EXPECT_EQ(WString(buffer), b);
  EXPECT_EQ(db_->FindCloseDuplicateFile(handle), S_OK);
}

}  // namespace
}  // namespace ordalis::testing
