// The scanner threads: one per index root, each bringing the index of its
// whole root up to date whenever the root's schedule says it is due (see
// scan_schedule.h), by walking every folder and handing each indexable file
// to the index store directly (not through the task list). Change monitoring
// keeps the index current between walks.
//
// A scanner thread's states:
//  1. suppressed — "Suppress Startup Scan" is set: the thread ends at once.
//  2. waiting — waits up to 20 seconds on ScanStopEvent; a timeout with the
//     root due starts a walk; a signal only makes it re-test RunningFlag.
//  3. walking — "Last Scan Start Text" written; the walk runs until its end
//     or until RunningFlag drops to 0 (an IndexFile call in progress stops
//     too, as RunningFlag is its continue flag); then the completion records
//     are written (outcome 0 for a stopped walk) and the thread waits again.
//  4. ended — RunningFlag is 0.
// The walk never removes catalogue entries of files that are gone; removals
// reach the index store through the change monitor and the task applier.
#pragma once

#include <functional>
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
};

// The thread procedure of one root's scanner; returns 0. Initialises the
// component library for its thread. When no index store object can be
// created, the due walk is put off to the next check and nothing is recorded.
DWORD DriveScannerThread(const DriveScannerParams& params);

// Walks `directory` (an absolute folder path) depth-first and processes every
// indexable file that is not one of `own` (see ProcessFile; an unchanged file
// that already has its words is left alone). Stops when state.running drops
// to 0. Returns true when the walk ran to its end, false when it was stopped.
// A folder that cannot be listed counts as done. The calling thread must have
// initialised the component library.
bool ScanDirectory(const std::string& directory, IndexerState& state, const IndexStoreFiles& own);

// True when the extension of `path`'s last component (from its last dot) is
// in `extensions`, compared without regard to case; false without one.
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
