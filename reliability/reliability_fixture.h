// The fixture of the reliability suite: the build installed once into a
// private prefix, a private tree per case with one index root, and the real
// programs of that installation started, stopped and killed as a user's
// desktop would.
//
// After every case the database must pass PRAGMA integrity_check; TearDown
// checks it once every process of the case has ended.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/testing/private_tree.h"
#include "reliability/child_process.h"
#include "reliability/index_view.h"

namespace trovix::reliability {

// Rounds of the crash cases: TROVIX_RELIABILITY_ROUNDS when set, else
// `short_run` (the default keeps the whole binary to a few minutes).
[[nodiscard]] int Rounds(int short_run);
// How long the damaged-database cases watch kestine:
// TROVIX_RELIABILITY_WINDOW seconds when set, else 8 s.
[[nodiscard]] std::chrono::seconds Window();
// Prints `line` and appends it to the file TROVIX_RELIABILITY_SUMMARY names,
// so a long run can list the outcome of every case at its end.
void Summarize(const std::string& line);

// The environment that preloads the fault VFS with `settings` (the
// TROVIX_FAULT_* variables without their prefix, e.g. {"OP", "write"}).
[[nodiscard]] Environment FaultEnvironment(const Environment& settings);

class ReliabilityTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite();
  static void TearDownTestSuite();
  void SetUp() override;
  void TearDown() override;

  [[nodiscard]] std::string DatabasePath() const;
  [[nodiscard]] std::string LogPath() const;
  // A fresh file name in the case's tree for a child's output.
  [[nodiscard]] std::string OutputFile(const std::string& what);

  // Runs the installed trovix to its end; stdout and stderr in `*output`.
  int Trovix(const std::vector<std::string>& args, std::string* output,
             const Environment& environment = {});
  // Starts the installed trovix and leaves it running.
  [[nodiscard]] std::unique_ptr<ChildProcess> StartTrovix(const std::vector<std::string>& args,
                                                          const Environment& environment = {});

  // Starts the installed kestine (no display, so no icon).
  void StartKestine(const Environment& environment = {});
  // SIGTERM and the exit status (-1 when it had to be killed).
  int StopKestine();
  // SIGKILL; waits until the process is gone.
  void KillKestine();
  [[nodiscard]] ChildProcess* kestine() { return kestine_.get(); }
  // When kestine has ended by itself: its status, and it is forgotten.
  [[nodiscard]] std::optional<int> KestineEnded();

  // Writes root/probe.txt and waits up to a minute until kestine has
  // catalogued it: from then on its monitor sees every change.
  [[nodiscard]] bool WaitUntilMonitorIsLive();

  // Every catalogued file under `folder` (with or without words), or
  // nullopt when trovix could not search; `words_only`: only the files that
  // have words.
  [[nodiscard]] std::optional<PathSet> Catalogue(const std::string& folder,
                                                 bool words_only = false);
  // How the catalogue under `folder` differs from the disk (a failed search
  // counts every file on the disk as lost); `words_only` as for Catalogue.
  [[nodiscard]] Difference IndexVersusDisk(const std::string& folder, bool words_only = false);
  // Waits up to `timeout` until the catalogue under the root equals the
  // disk, and the files with words too; the last difference.
  Difference WaitUntilIndexMatchesDisk(std::chrono::seconds timeout);

  // The outcome of the root's last scan as kestine recorded it (1: it ran to
  // its end).
  [[nodiscard]] std::optional<unsigned> LastScanOutcome() const;
  // Makes the root's scan due at kestine's next schedule check, as the
  // passing of the scan interval would, and forgets the last scan's
  // completion text so that WaitForScan sees the next one.
  void MakeScanDue() const;
  // Waits up to `timeout` until the root has a completion text: the last
  // record of a scan, written after its outcome.
  [[nodiscard]] bool WaitForScan(std::chrono::seconds timeout) const;

  // Writes `count` text files named `stem`N.txt into `folder`, each with
  // the word "reliable" and a word of its own; answers their paths.
  std::vector<std::string> WriteTextFiles(const std::string& folder, const std::string& stem,
                                          int count);

  trovix::testing::PrivateTree tree_;
  std::string root_;     // the index root, home/docs
  std::string outside_;  // a folder of the same home outside every root

 private:
  static std::string& Prefix();
  std::unique_ptr<ChildProcess> kestine_;
  std::atomic<int> outputs_{0};  // output files may be named on several threads
};

}  // namespace trovix::reliability
