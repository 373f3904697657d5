#include "filters/filter_host/zip_fixture.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include <zip.h>

#include <cstddef>
#include <sstream>

namespace docfilter::testing {
namespace {

struct Header {
  std::string_view signature;
  std::size_t name_length_at;
  std::size_t name_at;
  std::size_t flags_at;
  std::size_t size_at;
};
constexpr Header kLocal{{"PK\x03\x04", 4}, 26, 30, 6, 22};
constexpr Header kCentral{{"PK\x01\x02", 4}, 28, 46, 8, 24};

std::uint32_t Little(const std::string& bytes, std::size_t at, int width) {
  std::uint32_t value = 0;
  for (int i = width - 1; i >= 0; --i) {
    value = value << 8 | static_cast<unsigned char>(bytes[at + static_cast<std::size_t>(i)]);
  }
  return value;
}

void PutLittle(std::string* bytes, std::size_t at, int width, std::uint32_t value) {
  for (int i = 0; i < width; ++i)
    (*bytes)[at + static_cast<std::size_t>(i)] = static_cast<char>(value >> (8 * i));
}

// Offset of the header of `kind` for entry `name`; npos when there is none.
std::size_t FindHeader(const std::string& zip, const Header& kind, std::string_view name) {
  for (std::size_t at = zip.find(kind.signature); at != std::string::npos;
       at = zip.find(kind.signature, at + 1)) {
    if (at + kind.name_at + name.size() > zip.size()) break;
    if (Little(zip, at + kind.name_length_at, 2) == name.size() &&
        std::string_view(zip).substr(at + kind.name_at, name.size()) == name) {
      return at;
    }
  }
  return std::string::npos;
}

template <typename Patch>
void PatchBoth(std::string* zip, std::string_view name, Patch patch) {
  const std::size_t local = FindHeader(*zip, kLocal, name);
  const std::size_t central = FindHeader(*zip, kCentral, name);
  ASSERT_NE(local, std::string::npos) << name;
  ASSERT_NE(central, std::string::npos) << name;
  patch(local, kLocal);
  patch(central, kCentral);
}

}  // namespace

void WriteZip(const std::string& path, const std::vector<ZipEntry>& entries) {
  int error = 0;
  zip_t* zip = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
  ASSERT_NE(zip, nullptr) << error;
  for (const ZipEntry& entry : entries) {
    // The buffers stay the caller's until zip_close has written them.
    zip_source_t* source = zip_source_buffer(zip, entry.bytes.data(), entry.bytes.size(), 0);
    const zip_int64_t index =
        source != nullptr ? zip_file_add(zip, entry.name.c_str(), source, ZIP_FL_ENC_UTF_8) : -1;
    if (index < 0) zip_source_free(source);
    EXPECT_GE(index, 0) << entry.name << ": " << zip_strerror(zip);
    if (index >= 0 && entry.stored) {
      EXPECT_EQ(zip_set_file_compression(zip, static_cast<zip_uint64_t>(index), ZIP_CM_STORE, 0),
                0);
    }
  }
  if (zip_close(zip) != 0) {
    ADD_FAILURE() << zip_strerror(zip);
    zip_discard(zip);
  }
}

void SetEntryFlags(std::string* zip, std::string_view name, std::uint16_t flags) {
  PatchBoth(zip, name, [&](std::size_t at, const Header& kind) {
    PutLittle(zip, at + kind.flags_at, 2, Little(*zip, at + kind.flags_at, 2) | flags);
  });
}

void SetDeclaredSize(std::string* zip, std::string_view name, std::uint32_t size) {
  PatchBoth(zip, name, [&](std::size_t at, const Header& kind) {
    PutLittle(zip, at + kind.size_at, 4, size);
  });
}

}  // namespace docfilter::testing
