// The scanner threads: one per index root, each bringing the index of its
// whole root up to date whenever the root's schedule says it is due (see
// scan_schedule.h), by walking every folder and handing each indexable file
// to the index store directly (not through the task list). Change monitoring
// keeps the index current between walks.
//
// A scanner thread's states:
//  1. suppressed — "Suppress Startup Scan" is set: the thread ends at once.
//  2. waiting — waits up to 20 seconds on ScanStopEvent; a timeout with the
//     root due starts a walk, unless indexing is paused or the root left
//     the settings; a signal only makes it re-test RunningFlag.
//  3. walking — "Last Scan Start Text" written; the walk runs until its end,
//     until indexing is paused, until RunningFlag drops to 0 (an IndexFile call in progress stops
//     too, as RunningFlag is its continue flag), or until the database fails
//     (disk full, I/O error, locked, damaged: the store health is told, see
//     store_health.h). Skipped folders (skip_paths.h) are not entered. A walk
//     that ran to its end then prunes the catalogue below the root: every
//     entry that no longer names an indexable regular file on the root's
//     file system, or that lies in a skipped folder, leaves the index with
//     its words. Then
//     the completion records are written: outcome 1 for a complete walk and
//     prune, 0 for a stopped one, 2 (with the reason) for a failed one.
//  4. backing off — after a failed walk: waits until the store is usable
//     again and at least the back-off has passed (doubling from 20 s to 10
//     minutes over consecutive failures), then walks again.
//  5. ended — RunningFlag is 0.
// After a complete walk and prune, every indexable file below the root is
// catalogued and no entry below it names a file that is gone.
#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "indexer/file_processing.h"
#include "indexer/indexer_state.h"
#include "indexer/scan_schedule.h"

namespace trovix::indexer {

// How long a scanner waits on ScanStopEvent between two schedule checks.
inline constexpr DWORD kScanPollMs = 20000;
// At most this many scanner threads are started.
inline constexpr std::size_t kMaxDriveScanners = 100;

struct DriveScannerParams {
  // RunningFlag and IndexableExtensionSet; outlives the thread.
  IndexerState* state = nullptr;
  // ScanStopEvent: manual-reset, shared by every scanner. Set only after
  // RunningFlag was cleared: while the flag is 1 a set event would make the
  // loop spin.
  Event* scan_stop = nullptr;
  // The index root: an absolute folder path, with or without a trailing '/'.
  std::string root;
  const Clock* clock = &SystemClock();
  DWORD poll_ms = kScanPollMs;
  // Run at SCHED_IDLE, so that walks use only otherwise idle processor time.
  bool idle_priority = true;
  // The previous run of the indexer ended without a clean stop: changes it
  // had seen may be lost, so the root is walked even when startup scans are
  // suppressed (once; the thread then ends as a suppressed one would).
  bool recover = false;
  // The pause after a failed walk; doubled per further failure.
  DWORD retry_ms = 20000;
  // When given and false, no walk starts: the root was taken out of the
  // settings while the indexer runs (it may come back).
  const std::atomic<bool>* active = nullptr;
};

enum class WalkEnd {
  kCompleted,    // every folder was walked
  kStopped,      // RunningFlag dropped to 0
  kStoreFailed,  // the database failed; the store health was told
};

// The thread procedure of one root's scanner; returns 0. Initialises the
// component library for its thread. When no index store object can be
// created, the due walk is put off to the next check and nothing is recorded.
DWORD DriveScannerThread(const DriveScannerParams& params);

// Walks `directory` (an absolute folder path) depth-first, passing over the
// folders and files state.skip leaves out, and processes every indexable
// file that is not one of `own` (see ProcessFile; an unchanged file
// that already has its words is left alone). Files left out by a limit are
// told once each through state.notices. Stops when state.running drops to 0
// or state.paused is set (kStopped), or at the first store failure (reported to state.health;
// `*failure` receives its status). A folder that cannot be listed counts as done. The files go
// through the bulk pipeline (bulk_indexer.h): read on every core, written many per transaction,
// each told only once its batch committed; a crash loses at most the open batch, which the next
// walk redoes. The calling thread must have initialised the component library.
// With `prune_device` (the device of `directory`, which must be listable) the
// walk also takes out of the catalogue what is gone below `directory`: files
// no longer there, no longer wanted, skipped or on another mount.
[[nodiscard]] WalkEnd ScanDirectory(const std::string& directory, IndexerState& state,
                                    const IndexStoreFiles& own, HRESULT* failure,
                                    std::optional<dev_t> prune_device = std::nullopt);

// The pause after the `failures`-th consecutive failed walk of a root:
// `first_ms` doubled per further failure, at most 10 minutes.
[[nodiscard]] DWORD ScanRetryDelayMs(unsigned failures, DWORD first_ms);

// True when the extension of `path`'s last component (from its last dot) is
// in `extensions`, compared without regard to case; false without one,
// unless `extensions` wants every name.
[[nodiscard]] bool IsIndexableFile(const std::string& path,
                                   const IndexableExtensionSet& extensions);

using DriveTypeFn = std::function<UINT(const std::string& path)>;

// The roots that get a scanner thread at start-up, in the order given: those
// on a fixed file system (never removable, remote, optical or RAM ones), at
// most kMaxDriveScanners. Every fixed root gets one, due or not: each thread
// looks every 20 s whether its scan is due, so a rescan requested after lost
// changes (RequestRescan) is honoured without a restart.
[[nodiscard]] std::vector<std::string> RootsToScan(const std::vector<std::string>& roots,
                                                   const DriveTypeFn& drive_type = nullptr);

}  // namespace trovix::indexer
