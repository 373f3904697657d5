// The zip reader on archives written here: entries by name and index, what
// is not an archive, the limits that stop compression bombs (with small
// limits, so the counting is tested without gigabytes), and encryption.
// Damaged archives go through the real helper (office_text_test).
#include "filters/filter_host/zip_archive.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "filters/filter_host/testing/extract_file.h"
#include "filters/filter_host/zip_fixture.h"
#include "platform/testing/private_tree.h"

namespace docfilter {
namespace {

using testing::SetDeclaredSize;
using testing::SetEntryFlags;
using testing::WriteZip;
using testing::ZipEntry;
using trovix::testing::ReadFile;
using trovix::testing::WriteFile;

constexpr HRESULT kBadFormat = HRESULT_FROM_WIN32(ERROR_BAD_FORMAT);
constexpr HRESULT kNotFound = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);

// Letters that deflate compresses only a little.
std::string Noise(std::size_t size) {
  std::string text(size, ' ');
  std::uint32_t state = 12345;
  for (char& c : text) {
    state = state * 1103515245 + 12345;
    c = static_cast<char>('a' + (state >> 16) % 26);
  }
  return text;
}

class ZipArchiveTest : public ::testing::Test {
 protected:
  void TearDown() override {
    if (fd_ >= 0) close(fd_);
  }
  // Opens `path` into a fresh archive with `limits`.
  HRESULT Open(const std::string& path, const ZipLimits& limits = kDefaultZipLimits) {
    if (fd_ >= 0) close(fd_);
    fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    zip_ = std::make_unique<ZipArchive>(limits);
    return zip_->Open(fd_);
  }
  HRESULT Read(const std::string& name) { return zip_->Read(name, &bytes_); }
  std::string Path(const std::string& name) const { return tree_.home() + "/" + name; }

  trovix::testing::PrivateTree tree_;
  int fd_ = -1;
  std::unique_ptr<ZipArchive> zip_;
  std::string bytes_;
};

TEST_F(ZipArchiveTest, ReadsEntriesByNameAndIndex) {
  const std::string path = Path("a.zip");
  WriteZip(path, {{"mimetype", "application/x-test", true},
                  {"dir/Gr\xC3\xBC\xC3\x9F"
                   "e.xml",
                   "<a>\xE6\x97\xA5</a>"},
                  {"word/document.xml", Noise(100000)}});
  ASSERT_EQ(Open(path), S_OK);
  const int open = trovix::testing::OpenDescriptorCount();
  ASSERT_EQ(zip_->size(), 3u);
  EXPECT_EQ(zip_->Name(0), "mimetype");
  EXPECT_EQ(zip_->Name(1),
            "dir/Gr\xC3\xBC\xC3\x9F"
            "e.xml");
  EXPECT_EQ(zip_->Name(3), "");
  ASSERT_EQ(Read("mimetype"), S_OK);
  EXPECT_EQ(bytes_, "application/x-test");
  ASSERT_EQ(zip_->ReadIndex(1, &bytes_), S_OK);
  EXPECT_EQ(bytes_, "<a>\xE6\x97\xA5</a>");
  // Part names ignore case; the whole of a large entry comes back.
  EXPECT_TRUE(zip_->Contains("Word/Document.XML"));
  ASSERT_EQ(Read("WORD/document.xml"), S_OK);
  EXPECT_EQ(bytes_, Noise(100000));
  EXPECT_EQ(Read("missing.xml"), kNotFound);
  EXPECT_EQ(zip_->ReadIndex(3, &bytes_), kNotFound);
  // The archive's own descriptor goes with it; the caller's stays open.
  zip_.reset();
  EXPECT_EQ(trovix::testing::OpenDescriptorCount(), open - 1);
  EXPECT_GE(fcntl(fd_, F_GETFD), 0);
}

TEST_F(ZipArchiveTest, WhatIsNotAnArchiveIsABadFormat) {
  WriteFile(Path("text.zip"), "just some text, long enough to be searched for a directory");
  EXPECT_EQ(Open(Path("text.zip")), kBadFormat);
  WriteFile(Path("ole.zip"), std::string("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8) + Noise(2000));
  EXPECT_EQ(Open(Path("ole.zip")), kBadFormat);
}

TEST_F(ZipArchiveTest, LimitsRefuseBombsBeforeOrWhileInflating) {
  const ZipLimits limits{64 * 1024, 100 * 1024, 50, 1024};
  const std::string path = Path("bombs.zip");
  WriteZip(path, {{"big.xml", Noise(65 * 1024)},
                  {"zeros.xml", std::string(60 * 1024, '\0')},
                  {"small-zeros.xml", std::string(1000, '\0')},
                  {"one.xml", Noise(40 * 1024)},
                  {"two.xml", Noise(40 * 1024)},
                  {"three.xml", Noise(40 * 1024)}});
  ASSERT_EQ(Open(path, limits), S_OK);
  EXPECT_EQ(Read("big.xml"), kBadFormat);    // declared size above the entry limit
  EXPECT_EQ(Read("zeros.xml"), kBadFormat);  // ratio far above 50
  EXPECT_EQ(Read("small-zeros.xml"), S_OK);  // too small for the ratio to matter
  EXPECT_EQ(Read("one.xml"), S_OK);
  EXPECT_EQ(Read("two.xml"), S_OK);
  EXPECT_EQ(Read("three.xml"), kBadFormat);  // 120 KiB inflated in all, above 100
  // A fresh archive starts its total again.
  ASSERT_EQ(Open(path, limits), S_OK);
  EXPECT_EQ(Read("three.xml"), S_OK);

  // Headers that claim less than the entry inflates to are caught by
  // counting, whatever the ratio check saw.
  std::string lying = ReadFile(path);
  SetDeclaredSize(&lying, "zeros.xml", 100);
  SetDeclaredSize(&lying, "one.xml", 4000);
  WriteFile(Path("lying.zip"), lying);
  ASSERT_EQ(Open(Path("lying.zip"), limits), S_OK);
  EXPECT_EQ(Read("zeros.xml"), kBadFormat);
  EXPECT_EQ(Read("one.xml"), kBadFormat);
  EXPECT_TRUE(bytes_.empty());
  EXPECT_EQ(Read("two.xml"), S_OK);
}

TEST_F(ZipArchiveTest, EncryptedEntryNeedsAPassword) {
  const std::string path = Path("locked.zip");
  WriteZip(path, {{"open.xml", "<open/>"}, {"secret.xml", Noise(3000)}});
  std::string bytes = ReadFile(path);
  SetEntryFlags(&bytes, "secret.xml", 1);
  WriteFile(path, bytes);
  ASSERT_EQ(Open(path), S_OK);
  EXPECT_EQ(Read("secret.xml"), FILTER_E_PASSWORD);
  EXPECT_EQ(Read("open.xml"), S_OK);
  EXPECT_EQ(bytes_, "<open/>");
}

}  // namespace
}  // namespace docfilter
