#include "indexstore/checksum.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>

#include "platform/testing/private_tree.h"

namespace ordalis {
namespace {

using trovix::testing::PrivateTree;
using trovix::testing::WriteFile;

// A plain version to compare against: one 4096-byte block after the other.
std::uint32_t ReferenceChecksum(const std::string& bytes) {
  std::uint32_t x = 0;
  std::uint32_t t = 0;
  for (std::size_t start = 0; start < bytes.size(); start += 4096) {
    const std::size_t n = std::min<std::size_t>(4096, bytes.size() - start);
    const auto at = [&](std::size_t i) { return std::uint32_t{std::uint8_t(bytes[start + i])}; };
    for (std::size_t i = 0; i + 4 <= n; i += 4) {
      x ^= at(i) | at(i + 1) << 8 | at(i + 2) << 16 | at(i + 3) << 24;
    }
    for (std::size_t i = n / 4 * 4; i < n; ++i) t = t * 256 + std::uint32_t(std::int8_t(at(i)));
    for (std::size_t i = 0; i < 4 - n % 4; ++i) t *= 256;
    x ^= t;
  }
  return x;
}

class ChecksumTest : public ::testing::Test {
 protected:
  std::uint32_t ChecksumOf(const std::string& bytes) {
    const std::string path = tree_.root() + "/f" + std::to_string(++files_);
    WriteFile(path, bytes);
    return FileChecksum(path);
  }

  PrivateTree tree_;
  int files_ = 0;
};

TEST_F(ChecksumTest, WorkedValues) {
  EXPECT_EQ(ChecksumOf(""), 0u);
  EXPECT_EQ(ChecksumOf("abc"), 0x61626300u);
  EXPECT_EQ(ChecksumOf("ABCDE"), 0x01434241u);
  EXPECT_EQ(ChecksumOf("\x80"), 0x80000000u);
  EXPECT_EQ(ChecksumOf("\x41\x80"), 0x40800000u);
  EXPECT_EQ(ChecksumOf("ABCDABCD"), 0u);  // equal words cancel
  // 4097 bytes: 1024 words, then the tail byte in the top byte.
  std::string block(4096, '\0');
  block[0] = 0x11;
  EXPECT_EQ(ChecksumOf(block), 0x11u);
  EXPECT_EQ(ChecksumOf(block + "\xFF"), 0xFF000011u);
  // 4095 bytes: the signed last byte borrows from the one before it.
  block.resize(4095);
  block[4092] = 0x01;
  block[4094] = static_cast<char>(0x90);
  EXPECT_EQ(ChecksumOf(block), 0x11u ^ 0x00FF9000u);
}

// Around the block size and the reader's 256 KiB buffer, whose batched reads
// must still see the same blocks as reads of 4096 bytes.
TEST_F(ChecksumTest, MatchesTheReferenceAtEverySize) {
  std::mt19937 random(7);
  for (std::size_t size :
       {4095u, 4096u, 4097u, 4099u, 8193u, 262144u, 262147u, 266241u, 1052675u, 3333333u}) {
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    EXPECT_EQ(ChecksumOf(bytes), ReferenceChecksum(bytes)) << size;
  }
}

TEST_F(ChecksumTest, ZeroForWhatCannotBeRead) {
  EXPECT_EQ(FileChecksum(tree_.root() + "/missing"), 0u);
  EXPECT_EQ(FileChecksum(tree_.root()), 0u);
  // A FIFO without a writer would block the open, a device may never end:
  // neither is read.
  ASSERT_EQ(mkfifo((tree_.root() + "/fifo").c_str(), 0600), 0);
  EXPECT_EQ(FileChecksum(tree_.root() + "/fifo"), 0u);
  EXPECT_EQ(FileChecksum("/dev/zero"), 0u);
  if (geteuid() != 0) {
    WriteFile(tree_.root() + "/locked", "abc");
    ASSERT_EQ(chmod((tree_.root() + "/locked").c_str(), 0), 0);
    EXPECT_EQ(FileChecksum(tree_.root() + "/locked"), 0u);
  }
}

}  // namespace
}  // namespace ordalis
