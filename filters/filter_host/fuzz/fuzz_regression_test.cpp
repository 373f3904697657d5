// Every input kept beside the fuzz targets, read through the real helper:
// the seed documents of corpus/<extension>/ must give text, and the damaged
// inputs under hostile/<extension>/ (a spread of what the fuzzers made,
// chosen for the parser paths they reach, and any input that once crashed
// or hung a parser) must end with text or a failure code of the parser,
// never with a crash, a limit or a time-out of the helper.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "filters/testing/filter_run.h"
#include "platform/testing/private_tree.h"

namespace docfilter {
namespace {

namespace fs = std::filesystem;

struct Input {
  std::string extension;
  fs::path path;
};

std::vector<Input> Inputs(const std::string& kind) {
  std::vector<Input> inputs;
  const fs::path root = fs::path(TROVIX_FUZZ_DIR) / kind;
  if (!fs::is_directory(root)) return inputs;
  for (const auto& folder : fs::directory_iterator(root)) {
    if (!folder.is_directory()) continue;
    for (const auto& file : fs::directory_iterator(folder.path())) {
      if (file.is_regular_file()) inputs.push_back({folder.path().filename().string(), file});
    }
  }
  return inputs;
}

class FuzzInputsTest : public ::testing::Test {
 protected:
  // The input under a name with its format's extension: the helper picks
  // the parser by extension.
  std::string Place(const Input& input) {
    const fs::path target = fs::path(tree_.home()) / ("input." + input.extension);
    fs::copy_file(input.path, target, fs::copy_options::overwrite_existing);
    return target.string();
  }
  trovix::testing::PrivateTree tree_;
};

TEST_F(FuzzInputsTest, SeedDocumentsGiveText) {
  const std::vector<Input> seeds = Inputs("corpus");
  EXPECT_FALSE(seeds.empty());
  for (const Input& seed : seeds) {
    const testing::FilterRun run = testing::RunFilter(Place(seed));
    EXPECT_EQ(run.end, FILTER_E_END_OF_CHUNKS) << seed.path << std::hex << " " << run.end;
    EXPECT_FALSE(run.Body().empty()) << seed.path;
  }
}

TEST_F(FuzzInputsTest, HostileInputsEndWithoutCrashingTheHelper) {
  const std::vector<Input> inputs = Inputs("hostile");
  EXPECT_FALSE(inputs.empty());
  for (const Input& input : inputs) {
    const testing::FilterRun run = testing::RunFilter(Place(input));
    ASSERT_EQ(run.load, S_OK) << input.path;
    EXPECT_NE(run.end, E_FAIL) << input.path << ": the helper died";
    EXPECT_NE(run.end, HRESULT_FROM_WIN32(ERROR_TIMEOUT)) << input.path;
    EXPECT_NE(run.end, FILTER_E_ACCESS) << input.path;
  }
}

}  // namespace
}  // namespace docfilter
