// The stream trovix-filterhost writes to its standard output and the
// document filter reads: a sequence of frames, each a fixed header followed
// by its payload, in the byte order of the machine (both ends run on it).
//
//   text frame: type kFrameText, chunk id, flags (kFlagText, maybe
//               kFlagTitle), length = 1..kMaxFrameUnits UTF-16 units of
//               payload. A chunk longer than one frame continues in the next
//               frames with the same chunk id; chunk ids increase.
//   end frame:  type kFrameEnd, length 0, no payload, and the status of the
//               whole file: S_OK, S_FALSE when text was dropped at the cap,
//               or the failure code of the parse. Nothing follows it.
//
// A frame never splits a surrogate pair, so every payload is whole text.
//
// In serve mode the helper reads requests from its standard input, a Unix
// socket, each a RequestHeader followed by `length` bytes of path (no
// terminator) with a descriptor open on the file attached to the header
// (SCM_RIGHTS), and answers each with text frames and one end frame; end of
// input ends it. The path only chooses the parser.
#pragma once

#include <cstdint>

#include "platform/hresult.h"

namespace docfilter {

inline constexpr std::uint32_t kFrameMagic = 0x46585654;  // "TVXF"
inline constexpr std::uint16_t kFrameText = 1;
inline constexpr std::uint16_t kFrameEnd = 2;
inline constexpr std::uint16_t kFlagText = 0x1;
inline constexpr std::uint16_t kFlagTitle = 0x2;
// 64 KiB of payload: the reader's buffer per frame.
inline constexpr std::uint32_t kMaxFrameUnits = 32 * 1024;

struct FrameHeader {
  std::uint32_t magic = kFrameMagic;
  std::uint16_t type = 0;
  std::uint16_t flags = 0;
  std::uint32_t chunk_id = 0;
  std::uint32_t length = 0;  // payload units (char16_t)
  std::int32_t status = 0;   // end frame only
};
static_assert(sizeof(FrameHeader) == 20, "the header is read and written as raw bytes");

inline constexpr std::uint32_t kRequestMagic = 0x52585654;  // "TVXR"
inline constexpr std::uint32_t kMaxRequestPath = 4096;      // bytes, PATH_MAX

struct RequestHeader {
  std::uint32_t magic = kRequestMagic;
  std::uint32_t length = 0;  // path bytes, 1..kMaxRequestPath
};
static_assert(sizeof(RequestHeader) == 8, "the header is read and written as raw bytes");

// Whether a header read from the stream can be trusted on its own; the
// reader checks the order of chunk ids itself.
constexpr bool IsWellFormed(const FrameHeader& h) {
  if (h.magic != kFrameMagic) return false;
  if (h.type == kFrameEnd) return h.length == 0 && h.flags == 0 && h.chunk_id == 0;
  if (h.type != kFrameText) return false;
  return h.chunk_id != 0 && h.length != 0 && h.length <= kMaxFrameUnits &&
         (h.flags & kFlagText) != 0 && (h.flags & ~(kFlagText | kFlagTitle)) == 0 && h.status == 0;
}

}  // namespace docfilter
