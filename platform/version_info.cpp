#include "platform/version_info.h"

#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

namespace {

constexpr char kSectionName[] = ".trovix_version";
// A block is 52 bytes. Callers allocate whatever size we report, so a larger
// claim from a damaged or hostile file is refused rather than passed on.
constexpr std::uint64_t kMaxBlockSize = 64 * 1024;

// True when [offset, offset + size) lies within [0, limit), without overflow.
bool Within(std::uint64_t offset, std::uint64_t size, std::uint64_t limit) {
  return offset <= limit && size <= limit - offset;
}

// A regular file opened for reading. Every read is checked against the size
// the file had when opened, so no offset taken from the file can reach past
// its end.
class ElfFile {
 public:
  explicit ElfFile(const std::string& path) {
    // O_NONBLOCK: opening a FIFO must not wait for a writer.
    fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    struct stat st {};
    if (fd_ >= 0 && fstat(fd_, &st) == 0 && S_ISREG(st.st_mode)) {
      size_ = static_cast<std::uint64_t>(st.st_size);
    }
  }
  ~ElfFile() {
    if (fd_ >= 0) close(fd_);
  }
  ElfFile(const ElfFile&) = delete;
  ElfFile& operator=(const ElfFile&) = delete;

  std::uint64_t size() const { return size_; }

  // Reads exactly `count` bytes at `offset`; false when they are not all
  // there (a non-regular or unreadable file has size 0).
  bool ReadAt(std::uint64_t offset, std::size_t count, void* out) const {
    if (!Within(offset, count, size_)) return false;
    auto* bytes = static_cast<char*>(out);
    while (count > 0) {
      const ssize_t n = pread(fd_, bytes, count, static_cast<off_t>(offset));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      bytes += n, offset += static_cast<std::uint64_t>(n), count -= static_cast<std::size_t>(n);
    }
    return true;
  }

 private:
  int fd_ = -1;
  std::uint64_t size_ = 0;
};

struct Extent {
  std::uint64_t offset;
  std::uint64_t size;
};

// Only files of this machine's class and byte order carry our blocks.
bool ReadElfHeader(const ElfFile& file, Elf64_Ehdr* header) {
  if (!file.ReadAt(0, sizeof *header, header)) return false;
  const unsigned char* id = header->e_ident;
  constexpr unsigned char kHostData =
      std::endian::native == std::endian::little ? ELFDATA2LSB : ELFDATA2MSB;
  return std::memcmp(id, ELFMAG, SELFMAG) == 0 && id[EI_CLASS] == ELFCLASS64 &&
         id[EI_DATA] == kHostData && id[EI_VERSION] == EV_CURRENT && header->e_shoff != 0 &&
         header->e_shentsize == sizeof(Elf64_Shdr);
}

// Where the section headers lie, how many there are, and which one holds
// the section names.
struct SectionTable {
  std::uint64_t offset;
  std::uint64_t count;
  std::uint64_t names;
};

// Files with too many sections for the header's 16-bit fields keep the true
// count and string table index in section 0. The whole table must lie within
// the file, so that indexes below `count` can be read without further checks.
bool ReadSectionTable(const ElfFile& file, const Elf64_Ehdr& header, SectionTable* table) {
  *table = {header.e_shoff, header.e_shnum, header.e_shstrndx};
  if (table->count == 0 || table->names == SHN_XINDEX) {
    Elf64_Shdr first{};
    if (!file.ReadAt(header.e_shoff, sizeof first, &first)) return false;
    if (table->count == 0) table->count = first.sh_size;
    if (table->names == SHN_XINDEX) table->names = first.sh_link;
  }
  constexpr std::uint64_t kEntry = sizeof(Elf64_Shdr);
  return table->count > 0 && table->count <= file.size() / kEntry &&
         Within(table->offset, table->count * kEntry, file.size()) && table->names < table->count;
}

bool ReadSectionHeader(const ElfFile& file, const SectionTable& table, std::uint64_t index,
                       Elf64_Shdr* section) {
  return index < table.count &&
         file.ReadAt(table.offset + index * sizeof *section, sizeof *section, section);
}

// True when the string at `name` in the string table is our section name.
bool IsVersionSectionName(const ElfFile& file, const Elf64_Shdr& strings, std::uint32_t name) {
  char text[sizeof kSectionName];
  return Within(name, sizeof text, strings.sh_size) &&
         file.ReadAt(strings.sh_offset + name, sizeof text, text) &&
         std::memcmp(text, kSectionName, sizeof text) == 0;
}

bool IsPlausibleBlock(const ElfFile& file, const Elf64_Shdr& section) {
  return section.sh_type != SHT_NOBITS && section.sh_size > 0 && section.sh_size <= kMaxBlockSize &&
         Within(section.sh_offset, section.sh_size, file.size());
}

// Where the version block lies in the file, if the file is sound enough to
// say. The first section of that name decides.
std::optional<Extent> FindVersionBlock(const ElfFile& file) {
  Elf64_Ehdr header{};
  SectionTable table{};
  Elf64_Shdr names{};
  if (!ReadElfHeader(file, &header) || !ReadSectionTable(file, header, &table) ||
      !ReadSectionHeader(file, table, table.names, &names) || names.sh_type != SHT_STRTAB ||
      !Within(names.sh_offset, names.sh_size, file.size())) {
    return std::nullopt;
  }
  for (std::uint64_t i = 1; i < table.count; ++i) {
    Elf64_Shdr section{};
    if (!ReadSectionHeader(file, table, i, &section)) return std::nullopt;
    if (!IsVersionSectionName(file, names, section.sh_name)) continue;
    if (!IsPlausibleBlock(file, section)) return std::nullopt;
    return Extent{section.sh_offset, section.sh_size};
  }
  return std::nullopt;
}

}  // namespace

DWORD GetFileVersionInfoSize(const std::string& path) {
  const ElfFile file(path);
  const std::optional<Extent> block = FindVersionBlock(file);
  return block ? static_cast<DWORD>(block->size) : 0;
}

bool GetFileVersionInfo(const std::string& path, DWORD size, void* buffer) {
  if (buffer == nullptr) return false;
  const ElfFile file(path);
  const std::optional<Extent> block = FindVersionBlock(file);
  if (!block || block->size > size) return false;
  // Read aside first so that a failed read leaves the caller's buffer alone.
  std::vector<char> bytes(block->size);
  if (!file.ReadAt(block->offset, bytes.size(), bytes.data())) return false;
  std::memcpy(buffer, bytes.data(), bytes.size());
  return true;
}

bool VerQueryFixedFileInfo(const void* block, DWORD size, const VS_FIXEDFILEINFO** out) {
  if (block == nullptr || out == nullptr || size < sizeof(VS_FIXEDFILEINFO) ||
      reinterpret_cast<std::uintptr_t>(block) % alignof(VS_FIXEDFILEINFO) != 0) {
    return false;
  }
  const auto* info = static_cast<const VS_FIXEDFILEINFO*>(block);
  if (info->dwSignature != VS_FFI_SIGNATURE) return false;
  *out = info;
  return true;
}

std::string ModulePathOfAddress(const void* address) {
  Dl_info info{};
  void* extra = nullptr;
  if (dladdr1(address, &info, &extra, RTLD_DL_LINKMAP) == 0 || extra == nullptr) return {};
  // The main program's link map has an empty name; dladdr then reports
  // argv[0], which may be a bare name found on PATH or relative to a
  // directory the process has since left.
  const bool main_program = static_cast<const link_map*>(extra)->l_name[0] == '\0';
  const char* name = main_program ? "/proc/self/exe" : info.dli_fname;
  // Without a '/' the object has no file (the kernel's vDSO).
  if (name == nullptr || std::strchr(name, '/') == nullptr) return {};
  char resolved[PATH_MAX];
  if (realpath(name, resolved) == nullptr) return {};
  return resolved;
}
