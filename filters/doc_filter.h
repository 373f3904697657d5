// The document filter: IFilter and IPersistFile over a document parsed out
// of process by trovix-filterhost, whose framed output (see
// filter_host/frame.h) it checks and hands out as chunks and pieces.
//
// Load opens the file (OpenRegularFile: the same codes as the
// plain-text filter) and asks a helper for it: an idle one from the pool
// when settings give one, else a new one; Init asks again when text was
// already read. Chunks: the document's title (property
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
// new Load and on the last Release; after a clean end it goes back to the
// pool, if any.
//
// Threads: an object belongs to one thread at a time, so it takes no locks.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <string>

#include "filters/filter_host/frame.h"
#include "filters/filter_object.h"
#include "filters/helper_pool.h"
#include "filters/helper_process.h"

namespace docfilter {

// The summary information property set and its title property.
inline constexpr GUID FMTID_SummaryInformation = MakeGuid("{F29F85E0-4FF9-1068-AB91-08002B27B3D9}");
inline constexpr PROPID PIDSI_TITLE = 2;

struct HelperSettings {
  std::string program;  // empty: not installed, Load answers ENOENT's code
  // The time the helper may keep the reader waiting, per file.
  std::chrono::milliseconds budget{30'000};
  // Where helpers wait between files; null: a new helper for every file.
  HelperPool* pool = nullptr;
  // UTF-16 units of text per file; 0: the helper's own default.
  std::size_t max_chars = 0;
};

// The helper program of the installation whose programs lie in `bin_path`
// (<prefix>/bin/): <prefix>/libexec/trovix/trovix-filterhost. Users never run
// the helper, so it lies outside bin/; BinPath is what trovix-setup records.
[[nodiscard]] std::string HelperBeside(const std::string& bin_path);

// The environment variable TROVIX_FILTERHOST when set, else the helper beside
// BinPath from HKCU\Software\Quillon\Trovix; the text cap from that key's
// "Max Text Per File" (a DWORD of characters) when set.
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
  ~DocFilter() override;

  [[nodiscard]] HRESULT StartHelper();
  // Hands path_, and a copy of fd_, to a helper: an idle one from the pool
  // unless `fresh`, else a new one.
  [[nodiscard]] HRESULT Request(bool fresh);
  void CloseFile();
  // Kills the current helper, if any, mid-file or not.
  void Abandon();
  [[nodiscard]] HRESULT ReadHeader();
  // Reads the next frame into header_/text_; an end frame or a failure ends
  // the file (end_status_).
  [[nodiscard]] HRESULT ReadFrame();
  // Moves past the rest of the current chunk to the first frame of the
  // next one (held in header_/text_); false when the file ended.
  bool ReachNextChunk();
  // Ends the file with `status`; the helper goes back to the pool when
  // `reusable`, else it is killed.
  void End(HRESULT status, bool reusable);
  bool Wanted(std::uint16_t flags) const;

  const HelperSettings settings_;

  std::unique_ptr<HelperProcess> helper_;  // null between files
  bool from_pool_ = false;                 // helper_ served files before
  std::string path_;                       // the loaded file, empty before Load
  int fd_ = -1;                            // open on path_ from Load on
  bool initialised_ = false;               // Init called since Load
  bool read_from_helper_ = false;          // the running helper's output was read
  bool want_body_ = true;                  // asked for by Init's attribute list
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
