// The document filter: IFilter and IPersistFile over a document parsed out
// of process by trovix-filterhost, whose framed output (see
// filter_host/frame.h) it checks and hands out as chunks and pieces.
//
// Load checks that the file is a regular file (the same codes as the
// plain-text filter) and starts a fresh helper for it; Init starts another
// one when text was already read. Chunks: the document's title (property
// PIDSI_TITLE of the summary information set) when it has one, then its
// body text (PSGUID_STORAGE, PID_STG_CONTENTS). Each GetChunk reads ahead
// only as far as the next chunk starts, so memory stays at one frame.
//
// How a file ends (GetChunk's answer after the last chunk, also returned by
// the GetText that meets it):
//   FILTER_E_END_OF_CHUNKS  the helper finished, or dropped text at its cap
//   the helper's code       it could not read or parse the file (an errno
//                           HRESULT, HRESULT_FROM_WIN32(ERROR_BAD_FORMAT)
//                           for a binary file, E_FAIL)
//   E_FAIL                  the helper's output ended without an end frame:
//                           it crashed or hit its CPU or memory limit
//   HRESULT_FROM_WIN32(ERROR_TIMEOUT)
//                           the helper kept the reader waiting longer than
//                           the wait budget; it is killed
//   FILTER_E_ACCESS         the output is not well-formed frames
// The helper is killed and reaped as soon as the file ends this way, on a
// new Load and on the last Release.
//
// Threads: an object belongs to one thread at a time, so it takes no locks.
#pragma once

#include <atomic>
#include <chrono>
#include <string>

#include "filters/filter_host/frame.h"
#include "filters/filter_object.h"
#include "filters/helper_process.h"

namespace docfilter {

// The summary information property set and its title property.
inline constexpr GUID FMTID_SummaryInformation = MakeGuid("{F29F85E0-4FF9-1068-AB91-08002B27B3D9}");
inline constexpr PROPID PIDSI_TITLE = 2;

struct HelperSettings {
  std::string program;  // empty: not installed, Load answers ENOENT's code
  // The time the helper may keep the reader waiting, per file.
  std::chrono::milliseconds budget{30'000};
};

// The environment variable TROVIX_FILTERHOST when set, else BinPath from
// HKCU\Software\Quillon\Trovix followed by "trovix-filterhost".
[[nodiscard]] HelperSettings InstalledHelper();

class DocFilter final : public trovix::filters::FilterObject {
 public:
  // A new object with one reference, or null when memory runs out.
  [[nodiscard]] static DocFilter* Create(std::atomic<long>* module_objects,
                                         HelperSettings settings);

  HRESULT Load(const WCHAR* pszFileName, DWORD dwMode) override;

  HRESULT Init(ULONG grfFlags, ULONG cAttributes, const FULLPROPSPEC* aAttributes,
               ULONG* pFlags) override;
  HRESULT GetChunk(STAT_CHUNK* pStat) override;
  HRESULT GetText(ULONG* pcwcBuffer, WCHAR* awcBuffer) override;

 private:
  DocFilter(std::atomic<long>* module_objects, HelperSettings settings);
  ~DocFilter() override = default;

  [[nodiscard]] HRESULT StartHelper();
  // Reads the next frame into header_/text_; an end frame or a failure ends
  // the file (end_status_).
  [[nodiscard]] HRESULT ReadFrame();
  // Moves past the rest of the current chunk to the first frame of the
  // next one (held in header_/text_); false when the file ended.
  bool ReachNextChunk();
  void End(HRESULT status);
  bool Wanted(std::uint16_t flags) const;

  const HelperSettings settings_;

  HelperProcess helper_;
  std::string path_;               // the loaded file, empty before Load
  bool initialised_ = false;       // Init called since Load
  bool read_from_helper_ = false;  // the running helper's output was read
  bool want_body_ = true;          // asked for by Init's attribute list
  bool want_title_ = true;
  HRESULT end_status_ = S_OK;       // S_OK while not ended
  FrameHeader header_;              // the last frame read
  std::u16string text_;             // its payload
  bool frame_pending_ = false;      // header_ opens a chunk not yet delivered
  std::uint32_t helper_chunk_ = 0;  // the helper's id of the current chunk
  std::uint16_t chunk_flags_ = 0;   // its frame flags
  ULONG chunk_id_ = 0;              // our id: 1, 2, ...
  bool chunk_done_ = true;          // the current chunk has no text left
  std::size_t delivered_ = 0;       // units of text_ handed out
};

}  // namespace docfilter
