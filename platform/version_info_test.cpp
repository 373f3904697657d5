#include "platform/version_info.h"

#include <elf.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <climits>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <vector>

#include "platform/testing/private_tree.h"

TROVIX_VERSION_BLOCK(1, 2, 3, 4, VFT_APP);

namespace {

using trovix::testing::PrivateTree;
using trovix::testing::ReadFile;
using trovix::testing::WriteFile;

constexpr DWORD kBlockSize = sizeof(VS_FIXEDFILEINFO);
static_assert(VS_FFI_STRUCVERSION == 0x00010000 && VS_FFI_FILEFLAGSMASK == 0x3F);

void FunctionOfThisProgram() {}

std::string ThisProgram() {
  return ModulePathOfAddress(reinterpret_cast<const void*>(&FunctionOfThisProgram));
}

// Size query, then a read with that size, as callers do. Returns the block
// bytes, or an empty string when the file has no block.
std::string ReadBlock(const std::string& path) {
  const DWORD size = GetFileVersionInfoSize(path);
  if (size == 0) return {};
  std::vector<DWORD> buffer((size + 3) / 4);
  if (!GetFileVersionInfo(path, size, buffer.data())) return {};
  return std::string(reinterpret_cast<const char*>(buffer.data()), size);
}

TEST(ModulePath, NamesTheFileHoldingAnAddress) {
  const std::string program = ThisProgram();
  char expected[PATH_MAX];
  ASSERT_NE(realpath("/proc/self/exe", expected), nullptr);
  EXPECT_EQ(program, expected);

  const std::string library =
      ModulePathOfAddress(reinterpret_cast<const void*>(&GetFileVersionInfoSize));
  EXPECT_NE(library, program);
  EXPECT_NE(library.find("/libtrovix-platform.so"), std::string::npos) << library;

  int on_stack = 0;
  EXPECT_EQ(ModulePathOfAddress(&on_stack), "");
  EXPECT_EQ(ModulePathOfAddress(nullptr), "");
}

TEST(VersionBlock, IsReadFromTheProgramFile) {
  const std::string program = ThisProgram();
  ASSERT_EQ(GetFileVersionInfoSize(program), kBlockSize);
  const std::string block = ReadBlock(program);
  ASSERT_EQ(block.size(), kBlockSize);
  const VS_FIXEDFILEINFO* info = nullptr;
  ASSERT_TRUE(VerQueryFixedFileInfo(block.data(), kBlockSize, &info));
  const VS_FIXEDFILEINFO expected = MakeFixedFileInfo(1, 2, 3, 4, VFT_APP);
  EXPECT_EQ(std::memcmp(info, &expected, kBlockSize), 0);
  EXPECT_EQ(info->dwSignature, 0xFEEF04BDu);
  EXPECT_EQ(info->dwFileVersionMS, 0x00010002u);
  EXPECT_EQ(info->dwProductVersionLS, 0x00030004u);
}

TEST(VersionBlock, TooSmallOrMissingBufferIsRefusedAndLeftAlone) {
  const std::string program = ThisProgram();
  std::vector<DWORD> buffer(64, 0xABABABAB);
  EXPECT_FALSE(GetFileVersionInfo(program, kBlockSize - 1, buffer.data()));
  EXPECT_EQ(buffer[0], 0xABABABABu);
  EXPECT_FALSE(GetFileVersionInfo(program, kBlockSize, nullptr));
  // A larger buffer is fine; only the block is written.
  ASSERT_TRUE(GetFileVersionInfo(program, 256, buffer.data()));
  EXPECT_EQ(buffer[0], VS_FFI_SIGNATURE);
  EXPECT_EQ(buffer[kBlockSize / 4], 0xABABABABu);
}

TEST(VersionBlock, QueryChecksSizeSignatureAndAlignment) {
  alignas(VS_FIXEDFILEINFO) unsigned char bytes[kBlockSize + 4] = {};
  const VS_FIXEDFILEINFO good = MakeFixedFileInfo(5, 6, 7, 8, VFT_DLL);
  std::memcpy(bytes, &good, sizeof good);
  const VS_FIXEDFILEINFO* info = nullptr;
  ASSERT_TRUE(VerQueryFixedFileInfo(bytes, kBlockSize, &info));
  EXPECT_EQ(info->dwFileVersionMS, 0x00050006u);
  EXPECT_EQ(info->dwFileType, VFT_DLL);

  const VS_FIXEDFILEINFO* untouched = &good;
  EXPECT_FALSE(VerQueryFixedFileInfo(bytes, kBlockSize - 1, &untouched));
  EXPECT_FALSE(VerQueryFixedFileInfo(nullptr, kBlockSize, &untouched));
  EXPECT_FALSE(VerQueryFixedFileInfo(bytes, kBlockSize, nullptr));
  std::memcpy(bytes + 1, &good, sizeof good);
  EXPECT_FALSE(VerQueryFixedFileInfo(bytes + 1, kBlockSize, &untouched));  // misaligned
  bytes[0] ^= 1;
  EXPECT_FALSE(VerQueryFixedFileInfo(bytes, kBlockSize, &untouched));  // signature
  EXPECT_EQ(untouched, &good);
}

TEST(VersionBlock, FilesWithoutABlockGiveZero) {
  PrivateTree tree;
  const std::string text = tree.root() + "/notes.txt";
  WriteFile(text, "not an executable\n");
  const std::string empty = tree.root() + "/empty";
  WriteFile(empty, "");
  const std::string fifo = tree.root() + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string image = ReadFile(ThisProgram());
  const std::string head = tree.root() + "/head";
  WriteFile(head, image.substr(0, 100));
  const std::string cut = tree.root() + "/cut";
  WriteFile(cut, image.substr(0, image.size() - 1));

  for (const std::string& path :
       {text, empty, fifo, head, cut, tree.root(), tree.root() + "/missing"}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(GetFileVersionInfoSize(path), 0u);
    DWORD buffer[64];
    EXPECT_FALSE(GetFileVersionInfo(path, sizeof buffer, buffer));
  }
}

TEST(VersionBlock, ProgramCopiesWithoutTheSectionOrWithABadTableGiveZero) {
  PrivateTree tree;
  const std::string path = tree.root() + "/copy";
  std::string image = ReadFile(ThisProgram());
  ASSERT_GT(image.size(), sizeof(Elf64_Ehdr));
  WriteFile(path, image);
  ASSERT_EQ(GetFileVersionInfoSize(path), kBlockSize);

  std::string renamed = image;
  const std::string name = std::string(".trovix") + "_version";
  for (auto at = renamed.find(name); at != std::string::npos; at = renamed.find(name, at)) {
    renamed[at + 1] = 'x';
  }
  WriteFile(path, renamed);
  EXPECT_EQ(GetFileVersionInfoSize(path), 0u);

  for (const std::uint64_t offset :
       {std::uint64_t{image.size()} + 1000, std::uint64_t{image.size()}, ~std::uint64_t{0} - 8}) {
    std::memcpy(image.data() + offsetof(Elf64_Ehdr, e_shoff), &offset, sizeof offset);
    WriteFile(path, image);
    EXPECT_EQ(GetFileVersionInfoSize(path), 0u) << offset;
  }
}

// A minimal ELF file holding a version block: header, section names, block,
// then the section table (null section, block, names).
struct SmallElf {
  static constexpr std::size_t kNamesOffset = sizeof(Elf64_Ehdr);
  static constexpr char kNames[] = "\0.trovix_version\0.shstrtab";
  static constexpr std::size_t kBlockOffset = kNamesOffset + 32;
  static constexpr std::size_t kTableOffset = kBlockOffset + 56;

  Elf64_Ehdr header{};
  Elf64_Shdr sections[3]{};
  std::string names{kNames, sizeof kNames};
  VS_FIXEDFILEINFO block = MakeFixedFileInfo(9, 8, 7, 6, VFT_DLL);

  SmallElf() {
    std::memcpy(header.e_ident, ELFMAG, SELFMAG);
    header.e_ident[EI_CLASS] = ELFCLASS64;
    header.e_ident[EI_DATA] = ELFDATA2LSB;
    header.e_ident[EI_VERSION] = EV_CURRENT;
    header.e_type = ET_DYN;
    header.e_machine = EM_X86_64;
    header.e_version = EV_CURRENT;
    header.e_shoff = kTableOffset;
    header.e_ehsize = sizeof(Elf64_Ehdr);
    header.e_shentsize = sizeof(Elf64_Shdr);
    header.e_shnum = 3;
    header.e_shstrndx = 2;
    sections[1] = Elf64_Shdr{1, SHT_PROGBITS, SHF_ALLOC, 0, kBlockOffset, sizeof block, 0, 0, 4, 0};
    sections[2] = Elf64_Shdr{17, SHT_STRTAB, 0, 0, kNamesOffset, names.size(), 0, 0, 1, 0};
  }

  // The parts always land at their fixed offsets, whatever the headers say,
  // so a changed header field points at whatever lies there.
  std::string Bytes() const {
    std::string out(kTableOffset + sizeof sections, '\0');
    std::memcpy(out.data(), &header, sizeof header);
    std::memcpy(out.data() + kNamesOffset, names.data(), names.size());
    std::memcpy(out.data() + kBlockOffset, &block, sizeof block);
    std::memcpy(out.data() + kTableOffset, sections, sizeof sections);
    return out;
  }
};

TEST(VersionBlock, SmallElfVariantsAreReadOrRefused) {
  struct Case {
    const char* what;
    std::function<void(SmallElf&)> change;
    DWORD expected_size;
  };
  const Case cases[] = {
      {"sound file", [](SmallElf&) {}, kBlockSize},
      {"many-section count in section 0",
       [](SmallElf& e) { e.header.e_shnum = 0, e.sections[0].sh_size = 3; }, kBlockSize},
      {"many-section names index in section 0",
       [](SmallElf& e) { e.header.e_shstrndx = SHN_XINDEX, e.sections[0].sh_link = 2; },
       kBlockSize},
      {"section renamed", [](SmallElf& e) { e.names[2] = 'x'; }, 0},
      {"32-bit class", [](SmallElf& e) { e.header.e_ident[EI_CLASS] = ELFCLASS32; }, 0},
      {"big-endian", [](SmallElf& e) { e.header.e_ident[EI_DATA] = ELFDATA2MSB; }, 0},
      {"no section table", [](SmallElf& e) { e.header.e_shoff = 0; }, 0},
      {"odd entry size", [](SmallElf& e) { e.header.e_shentsize = 40; }, 0},
      {"table past the end", [](SmallElf& e) { e.header.e_shnum = 4; }, 0},
      {"huge count in section 0",
       [](SmallElf& e) { e.header.e_shnum = 0, e.sections[0].sh_size = ~0ull / 8; }, 0},
      {"names index out of range", [](SmallElf& e) { e.header.e_shstrndx = 3; }, 0},
      {"names not a string table", [](SmallElf& e) { e.sections[2].sh_type = SHT_PROGBITS; }, 0},
      {"names past the end", [](SmallElf& e) { e.sections[2].sh_offset = 1 << 20; }, 0},
      {"names size wraps", [](SmallElf& e) { e.sections[2].sh_size = ~0ull; }, 0},
      {"name offset past names", [](SmallElf& e) { e.sections[1].sh_name = 1000; }, 0},
      {"name offset wraps", [](SmallElf& e) { e.sections[1].sh_name = ~0u; }, 0},
      {"block past the end", [](SmallElf& e) { e.sections[1].sh_offset = 400; }, 0},
      {"block offset wraps", [](SmallElf& e) { e.sections[1].sh_offset = ~0ull - 10; }, 0},
      {"block huge", [](SmallElf& e) { e.sections[1].sh_size = 0x7FFFFFFF; }, 0},
      {"block empty", [](SmallElf& e) { e.sections[1].sh_size = 0; }, 0},
      {"block without file bytes", [](SmallElf& e) { e.sections[1].sh_type = SHT_NOBITS; }, 0},
  };
  PrivateTree tree;
  const std::string path = tree.root() + "/small.so";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SmallElf elf;
    c.change(elf);
    WriteFile(path, elf.Bytes());
    EXPECT_EQ(GetFileVersionInfoSize(path), c.expected_size);
    if (c.expected_size != 0) {
      const std::string block = ReadBlock(path);
      ASSERT_EQ(block.size(), sizeof elf.block);
      EXPECT_EQ(std::memcmp(block.data(), &elf.block, sizeof elf.block), 0);
    }
  }
}

TEST(VersionBlock, TruncatedOrScrambledFilesNeverYieldABadBlock) {
  PrivateTree tree;
  const std::string path = tree.root() + "/small.so";
  const std::string sound = SmallElf().Bytes();
  // The section table is last, so every truncation loses it.
  for (std::size_t length = 0; length < sound.size(); ++length) {
    WriteFile(path, sound.substr(0, length));
    ASSERT_EQ(GetFileVersionInfoSize(path), 0u) << length;
  }
  // Whatever the damage, the answer is either "no block" or a size that a
  // read of exactly that size then delivers.
  std::mt19937 random(4242);
  std::uniform_int_distribution<std::size_t> position(0, sound.size() - 1);
  std::uniform_int_distribution<int> byte(0, 255), flips(1, 4);
  for (int i = 0; i < 1500; ++i) {
    std::string damaged = sound;
    for (int n = flips(random); n > 0; --n)
      damaged[position(random)] = static_cast<char>(byte(random));
    WriteFile(path, damaged);
    const DWORD size = GetFileVersionInfoSize(path);
    if (size == 0) continue;
    ASSERT_LE(size, 64u * 1024u);
    std::vector<char> buffer(size);
    ASSERT_TRUE(GetFileVersionInfo(path, size, buffer.data()));
    ASSERT_FALSE(GetFileVersionInfo(path, size - 1, buffer.data()));
  }
}

}  // namespace
