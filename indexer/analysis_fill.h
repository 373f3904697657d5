// Filling the term index for the files an earlier version catalogued. Such
// a database was upgraded in place when it was opened: its catalogue and
// word index stand, and searches find its files by the word index's rules
// until each file has its terms. This thread gives every such file its
// terms, reading it again through the bulk pipeline at idle CPU priority,
// in ascending file identifiers, and ends when none is left.
//
// A file that cannot be read (gone, unreadable) keeps its words and is
// passed over; the next start tries again, and the scanner's walk removes
// what is gone. A stop or a crash loses nothing: a file's terms and its
// mark are written in the transaction that writes the file.
//
// Threads: the thread running AnalysisFillThread, which initialises the
// component library itself.
#pragma once

#include <atomic>
#include <cstddef>

namespace trovix::indexer {

struct AnalysisFillParams {
  const std::atomic<unsigned>* running = nullptr;  // 0 stops the fill
  const std::atomic<bool>* paused = nullptr;       // no file is queued while true
  bool idle_priority = true;
  // Files asked for at a time; bounded so that a stop is quick.
  std::size_t chunk = 256;
};

// Runs the fill to its end or to the stop. Answers the number of files
// handed to the pipeline.
std::size_t AnalysisFillThread(const AnalysisFillParams& params);

}  // namespace trovix::indexer
