#include "reliability/reliability_fixture.h"

#include <signal.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "indexer/kestine_settings.h"
#include "platform/reg_key.h"
#include "platform/testing/wait_until.h"
#include "platform/wstring.h"

namespace trovix::reliability {
namespace {

constexpr std::chrono::seconds kStopTimeout(60);

std::optional<long> EnvironmentNumber(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') return std::nullopt;
  return std::strtol(value, nullptr, 10);
}

}  // namespace

int Rounds(int short_run) {
  const std::optional<long> rounds = EnvironmentNumber("TROVIX_RELIABILITY_ROUNDS");
  return rounds && *rounds > 0 ? static_cast<int>(*rounds) : short_run;
}

std::chrono::seconds Window() {
  const std::optional<long> seconds = EnvironmentNumber("TROVIX_RELIABILITY_WINDOW");
  return std::chrono::seconds(seconds && *seconds > 0 ? *seconds : 8);
}

void Summarize(const std::string& line) {
  std::cout << "[ SUMMARY  ] " << line << std::endl;
  if (const char* file = std::getenv("TROVIX_RELIABILITY_SUMMARY"); file != nullptr && *file) {
    std::ofstream(file, std::ios::app) << line << "\n";
  }
}

Environment FaultEnvironment(const Environment& settings) {
  Environment environment = {{"LD_PRELOAD", TROVIX_FAULT_VFS}};
  for (const auto& [name, value] : settings) environment["TROVIX_FAULT_" + name] = value;
  return environment;
}

std::string& ReliabilityTest::Prefix() {
  static std::string prefix;
  return prefix;
}

// One installation serves every case: installing takes seconds, and no case
// changes the installation (each has its own home, hives and database).
void ReliabilityTest::SetUpTestSuite() {
  std::string pattern = std::filesystem::temp_directory_path().string() + "/trovix-rel-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) return;
  std::string output;
  if (trovix::testing::InstallBuild(CMAKE_COMMAND, TROVIX_BUILD_DIR, pattern + "/prefix",
                                    &output) != 0) {
    std::cerr << "installing the build failed:\n" << output;
    std::filesystem::remove_all(pattern);
    return;
  }
  Prefix() = pattern + "/prefix";
}

void ReliabilityTest::TearDownTestSuite() {
  if (Prefix().empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(std::filesystem::path(Prefix()).parent_path(), ignored);
  Prefix().clear();
}

void ReliabilityTest::SetUp() {
  ASSERT_FALSE(Prefix().empty()) << "the build could not be installed";
  // The installed programs use the machine hive of their installation.
  unsetenv("TROVIX_MACHINE_HIVE");
  // No display: kestine runs without an icon.
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) unsetenv(name);
  std::string output;
  ASSERT_EQ(RunToEnd({Prefix() + "/bin/trovix-setup"}, {}, OutputFile("setup"), &output), 0)
      << output;
  root_ = tree_.home() + "/docs";
  outside_ = tree_.home() + "/elsewhere";
  std::filesystem::create_directories(root_);
  std::filesystem::create_directories(outside_);
  RegKey key;
  ASSERT_EQ(RegKey::Create(HKEY_CURRENT_USER, u"Software\\Quillon\\Trovix\\Kestine", &key),
            ERROR_SUCCESS);
  ASSERT_EQ(key.SetMultiString(u"Index Roots", {Utf8ToUtf16(root_)}), ERROR_SUCCESS);
}

void ReliabilityTest::TearDown() {
  if (kestine_) {
    EXPECT_EQ(StopKestine(), 0) << "kestine did not stop cleanly";
  }
  EXPECT_EQ(IntegrityCheck(DatabasePath()), "ok") << "after the case";
}

std::string ReliabilityTest::DatabasePath() const { return tree_.data() + "/Quillon/Ordalis.mdb"; }

std::string ReliabilityTest::LogPath() const { return tree_.state() + "/Quillon/trovlog.txt"; }

std::string ReliabilityTest::OutputFile(const std::string& what) {
  std::filesystem::create_directories(tree_.root() + "/output");
  return tree_.root() + "/output/" + std::to_string(++outputs_) + "-" + what + ".txt";
}

int ReliabilityTest::Trovix(const std::vector<std::string>& args, std::string* output,
                            const Environment& environment) {
  std::vector<std::string> argv = {Prefix() + "/bin/trovix"};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunToEnd(argv, environment, OutputFile("trovix-" + args.front()), output);
}

std::unique_ptr<ChildProcess> ReliabilityTest::StartTrovix(const std::vector<std::string>& args,
                                                           const Environment& environment) {
  std::vector<std::string> argv = {Prefix() + "/bin/trovix"};
  argv.insert(argv.end(), args.begin(), args.end());
  return std::make_unique<ChildProcess>(argv, environment, OutputFile("trovix-" + args.front()));
}

void ReliabilityTest::StartKestine(const Environment& environment) {
  ASSERT_FALSE(kestine_) << "kestine runs already";
  kestine_ = std::make_unique<ChildProcess>(std::vector<std::string>{Prefix() + "/bin/kestine"},
                                            environment, OutputFile("kestine"));
  ASSERT_TRUE(kestine_->started());
}

int ReliabilityTest::StopKestine() {
  if (!kestine_) return 0;
  const int status = kestine_->Stop(kStopTimeout);
  if (status != 0) ADD_FAILURE() << "kestine's output:\n" << kestine_->Output();
  kestine_.reset();
  return status;
}

void ReliabilityTest::KillKestine() {
  if (!kestine_) return;
  kestine_->Signal(SIGKILL);
  EXPECT_EQ(kestine_->Wait(kStopTimeout), 128 + SIGKILL);
  kestine_.reset();
}

std::optional<int> ReliabilityTest::KestineEnded() {
  if (!kestine_ || kestine_->Running()) return std::nullopt;
  const std::optional<int> status = kestine_->Wait(std::chrono::milliseconds(0));
  kestine_.reset();
  return status;
}

bool ReliabilityTest::WaitUntilMonitorIsLive() {
  const std::string probe = root_ + "/probe.txt";
  trovix::testing::WriteFile(probe, "reliable probe\n");
  return trovix::testing::WaitUntil(
      [&] { return Catalogue(root_).value_or(PathSet{}).count(probe) > 0; },
      std::chrono::seconds(60), std::chrono::milliseconds(100));
}

std::optional<PathSet> ReliabilityTest::Catalogue(const std::string& folder, bool words_only) {
  std::vector<std::string> args = {"search", "--include", SubtreePattern(folder)};
  if (words_only) args.push_back("+");
  std::string output;
  const int status = Trovix(args, &output);
  if (status != 0 && status != 1) return std::nullopt;
  return PathsIn(output);
}

Difference ReliabilityTest::IndexVersusDisk(const std::string& folder, bool words_only) {
  const PathSet disk = IndexableFilesOnDisk(folder);
  const std::optional<PathSet> catalogue = Catalogue(folder, words_only);
  if (!catalogue) {
    Difference failed;
    failed.lost = disk.size();
    failed.example = "trovix search failed";
    return failed;
  }
  return Compare(disk, *catalogue);
}

Difference ReliabilityTest::WaitUntilIndexMatchesDisk(std::chrono::seconds timeout) {
  Difference last;
  static_cast<void>(trovix::testing::WaitUntil(
      [&] {
        last = IndexVersusDisk(root_);
        if (last.none()) last = IndexVersusDisk(root_, /*words_only=*/true);
        return last.none();
      },
      timeout, std::chrono::milliseconds(500)));
  return last;
}

std::optional<unsigned> ReliabilityTest::LastScanOutcome() const {
  const std::optional<DWORD> outcome =
      indexer::KestineKey::ForRoot(root_).Read(indexer::kestine::kLastScanOutcome);
  return outcome ? std::optional<unsigned>(*outcome) : std::nullopt;
}

void ReliabilityTest::MakeScanDue() const {
  const indexer::KestineKey key = indexer::KestineKey::ForRoot(root_);
  EXPECT_TRUE(key.Write(indexer::kestine::kLastScanOutcome, 0));
  RegKey raw;
  ASSERT_EQ(RegKey::Open(HKEY_CURRENT_USER, key.path(), &raw), ERROR_SUCCESS);
  const LONG deleted = raw.DeleteValue(indexer::kestine::kLastScanCompletionText.name);
  EXPECT_TRUE(deleted == ERROR_SUCCESS || deleted == ERROR_FILE_NOT_FOUND) << deleted;
}

bool ReliabilityTest::WaitForScan(std::chrono::seconds timeout) const {
  return trovix::testing::WaitUntil(
      [&] {
        return indexer::KestineKey::ForRoot(root_)
            .Read(indexer::kestine::kLastScanCompletionText)
            .has_value();
      },
      timeout, std::chrono::milliseconds(200));
}

std::vector<std::string> ReliabilityTest::WriteTextFiles(const std::string& folder,
                                                         const std::string& stem, int count) {
  static const char* const kWords[] = {"amber", "birch", "cedar", "delta", "ember", "fjord"};
  std::vector<std::string> paths;
  for (int i = 0; i < count; ++i) {
    const std::string path = folder + "/" + stem + std::to_string(i) + ".txt";
    trovix::testing::WriteFile(path, std::string("reliable ") + kWords[i % 6] + " " + stem + "\n");
    paths.push_back(path);
  }
  return paths;
}

}  // namespace trovix::reliability
