// CountWord through the store's relevance interface, on a small index of
// real files: exact and prefix words, the per-file counts, the number of
// files holding a word, and the refusals.
#include <string>
#include <vector>

#include "indexstore/testing/ordalis_fixture.h"
#include "platform/wstring.h"
#include "shared/itrovixrelevance.h"

namespace ordalis::testing {
namespace {

class RelevanceTest : public OpenedStoreTest {
 protected:
  void SetUp() override {
    OpenedStoreTest::SetUp();
    plan_ = AddIndexed("plan.txt", "budget budget Budget forecast");
    notes_ = AddIndexed("notes.txt", "budgetary budget notes");
    garden_ = AddIndexed("garden.txt", "garden roses");
    ASSERT_EQ(db_->QueryInterface(IID_ITrovixRelevance, relevance_.put_void()), S_OK);
  }
  void TearDown() override {
    relevance_.reset();
    OpenedStoreTest::TearDown();
  }

  struct Counted {
    HRESULT hr;
    std::vector<UINT> counts;
    UINT files;
  };
  // CountWord over `files`; the outputs start at 77 to show what was written.
  Counted Count(const WString& word, bool prefix, const std::vector<INT>& files) {
    Counted out{E_FAIL, std::vector<UINT>(files.size(), 77), 77};
    out.hr = relevance_->CountWord(word.c_str(), prefix ? 1 : 0, files.data(),
                                   static_cast<UINT>(files.size()), out.counts.data(), &out.files);
    return out;
  }

  ComPtr<ITrovixRelevance> relevance_;
  INT plan_ = 0;
  INT notes_ = 0;
  INT garden_ = 0;
};

TEST_F(RelevanceTest, AWholeWordIsCountedPerFileIgnoringCase) {
  const Counted budget = Count(u"BUDGET", false, {plan_, notes_, garden_, 9999, plan_});
  EXPECT_EQ(budget.hr, S_OK);
  // Files not holding it, and files not catalogued, count 0; a file named
  // twice is counted twice.
  EXPECT_EQ(budget.counts, (std::vector<UINT>{3, 1, 0, 0, 3}));
  EXPECT_EQ(budget.files, 2u);
  const Counted forecast = Count(u"forecast", false, {notes_, plan_});
  EXPECT_EQ(forecast.counts, (std::vector<UINT>{0, 1}));
  EXPECT_EQ(forecast.files, 1u);
  // "budg" is no word of its own.
  const Counted part = Count(u"budg", false, {plan_});
  EXPECT_EQ(part.hr, S_FALSE);
  EXPECT_EQ(part.counts, (std::vector<UINT>{0}));
  EXPECT_EQ(part.files, 0u);
}

TEST_F(RelevanceTest, APrefixCountsEveryWordItBeginsAndItsFilesPerWord) {
  const Counted budg = Count(u"Budg", true, {plan_, notes_, garden_});
  EXPECT_EQ(budg.hr, S_OK);
  EXPECT_EQ(budg.counts, (std::vector<UINT>{3, 2, 0}));
  // budget is in two files, budgetary in one: counted per word.
  EXPECT_EQ(budg.files, 3u);
  // The pattern characters of LIKE are plain letters in a prefix.
  for (const WString& pattern : {WString(u"b%"), WString(u"_udget"), WString(u"\\")}) {
    const Counted none = Count(pattern, true, {plan_, notes_});
    EXPECT_EQ(none.hr, S_FALSE) << Utf16ToUtf8(pattern);
    EXPECT_EQ(none.counts, (std::vector<UINT>{0, 0}));
    EXPECT_EQ(none.files, 0u);
  }
  // No files asked: only the number of files holding the word.
  UINT files = 0;
  EXPECT_EQ(relevance_->CountWord(u"garden", 0, nullptr, 0, nullptr, &files), S_OK);
  EXPECT_EQ(files, 1u);
}

// A prefix standing for more words than a file is looked up word by word
// reads the file's whole word list instead; the sum is the same.
TEST_F(RelevanceTest, APrefixOfManyWordsSumsTheirCountsInAFile) {
  std::string text;
  UINT expected = 0;
  for (char c = 'a'; c <= 't'; ++c) {
    const int times = c == 'a' ? 3 : 1;
    for (int i = 0; i < times; ++i) text += std::string("zeta") + c + c + " ";
    expected += times;
  }
  const INT many = AddIndexed("many.txt", text + "unrelated words");
  const Counted zeta = Count(u"zeta", true, {many, plan_});
  EXPECT_EQ(zeta.hr, S_OK);
  EXPECT_EQ(zeta.counts, (std::vector<UINT>{expected, 0}));
  EXPECT_EQ(zeta.files, 20u);
}

TEST_F(RelevanceTest, BadArgumentsAreRefusedAndWriteNothing) {
  const INT files[] = {plan_};
  UINT counts[] = {77};
  UINT holding = 77;
  EXPECT_EQ(relevance_->CountWord(nullptr, 0, files, 1, counts, &holding), E_INVALIDARG);
  EXPECT_EQ(relevance_->CountWord(u"", 1, files, 1, counts, &holding), E_INVALIDARG);
  EXPECT_EQ(relevance_->CountWord(u"budget", 0, nullptr, 1, counts, &holding), E_INVALIDARG);
  EXPECT_EQ(relevance_->CountWord(u"budget", 0, files, 1, nullptr, &holding), E_INVALIDARG);
  EXPECT_EQ(relevance_->CountWord(u"budget", 0, files, kRelevanceMaxFiles + 1, counts, &holding),
            E_INVALIDARG);
  EXPECT_EQ(relevance_->CountWord(u"budget", 0, files, 1, counts, nullptr), E_POINTER);
  EXPECT_EQ(counts[0], 77u);
  EXPECT_EQ(holding, 77u);
}

TEST_F(RelevanceTest, CountingNeedsAnOpenDatabase) {
  const INT files[] = {plan_};
  UINT counts[] = {77};
  UINT holding = 77;
  ASSERT_EQ(db_->Cleanup(), S_OK);
  EXPECT_EQ(relevance_->CountWord(u"budget", 0, files, 1, counts, &holding), E_UNEXPECTED);
  EXPECT_EQ(counts[0], 77u);
  ASSERT_EQ(db_->Init(), S_OK);
  EXPECT_EQ(relevance_->CountWord(u"budget", 0, files, 1, counts, &holding), S_OK);
  EXPECT_EQ(counts[0], 3u);
  // A store object never initialised hands out an object that refuses too.
  relevance_.reset();
  ASSERT_EQ(db_->Cleanup(), S_OK);
  ComPtr<ITrovixDB> fresh = Create();
  ComPtr<ITrovixRelevance> early;
  ASSERT_EQ(fresh->QueryInterface(IID_ITrovixRelevance, early.put_void()), S_OK);
  EXPECT_EQ(early->CountWord(u"budget", 0, files, 1, counts, &holding), E_UNEXPECTED);
  ASSERT_EQ(db_->Init(), S_OK);
}

}  // namespace
}  // namespace ordalis::testing
