// The term search through the component, on real files written by batches
// (the term index) and by IndexFile (the word index of earlier versions):
// case, accent and compatibility folding in every script, CJK runs found in
// order wherever they start, numbers and short words, file names, the
// flags, queries without a searchable term, and the answer that joins both
// indexes while one is being filled.
#include <sqlite3.h>

#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "indexstore/term_rows.h"
#include "indexstore/testing/ordalis_fixture.h"
#include "platform/wstring.h"
#include "shared/database_format.h"
#include "shared/itrovixbatch.h"
#include "shared/itrovixterms.h"
#include "shared/search_result.h"

namespace ordalis::testing {
namespace {

using Names = std::set<std::string>;
using trovix::SearchResultRecord;

class TermSearchTest : public OpenedStoreTest {
 protected:
  void SetUp() override {
    OpenedStoreTest::SetUp();
    ASSERT_EQ(db_->QueryInterface(IID_ITrovixBatch, batch_.put_void()), S_OK);
    ASSERT_EQ(db_->QueryInterface(IID_ITrovixTerms, terms_.put_void()), S_OK);
    folder_ = tree_->home() + "/docs/";
    std::filesystem::create_directories(folder_);
  }
  void TearDown() override {
    terms_.reset();
    batch_.reset();
    OpenedStoreTest::TearDown();
  }

  // Writes each file and catalogues it through one batch; WritePrepared's
  // answers in order.
  std::vector<HRESULT> Index(const std::vector<std::pair<std::string, std::string>>& files) {
    std::vector<PreparedFile*> prepared;
    for (const auto& [name, text] : files) {
      trovix::testing::WriteFile(folder_ + name, text);
      PreparedFile* file = nullptr;
      EXPECT_EQ(batch_->PrepareFile(Utf8ToUtf16(folder_ + name).c_str(), nullptr, &file), S_OK);
      prepared.push_back(file);
    }
    std::vector<HRESULT> answers;
    EXPECT_EQ(batch_->BeginBatch(), S_OK);
    for (PreparedFile* file : prepared) answers.push_back(batch_->WritePrepared(file));
    EXPECT_EQ(batch_->CommitBatch(), S_OK);
    for (PreparedFile* file : prepared) batch_->ReleasePrepared(file);
    return answers;
  }

  // The names of the files SearchOpenTerms finds; "(none)" for S_FALSE and
  // "(failed)" for any other refusal, so that a table reads at a glance.
  Names Find(const std::u16string& query, UINT flags = 0) {
    UINT handle = 0;
    const HRESULT hr = terms_->SearchOpenTerms(query.c_str(), flags, &handle);
    if (hr == S_FALSE) return {"(none)"};
    if (hr != S_OK) return {"(failed)"};
    Names names;
    SearchResultRecord record{};
    while (db_->SearchNext(handle, reinterpret_cast<UINT_PTR>(&record)) == S_OK) {
      const std::string path = Utf16ToUtf8(record.path);
      names.insert(path.substr(path.rfind('/') + 1));
    }
    EXPECT_EQ(db_->SearchClose(handle), S_OK);
    return names;
  }

  ComPtr<ITrovixBatch> batch_;
  ComPtr<ITrovixTerms> terms_;
  std::string folder_;
};

TEST_F(TermSearchTest, EveryScriptIsFoundInEveryCaseAndAccentForm) {
  Index({{"fr.txt", "Le café était très bon"},
         {"plain.txt", "a cafe on the corner"},
         {"de.txt", "Die Straße ist groß"},
         {"el.txt", "Ελληνικά κείμενο, τελικός"},
         {"ru.txt", "Ёлка и ЧАЙ"},
         {"compat.txt", "ﬁnal ＡＢＣ ligature"},
         {"no.txt", "Smørbrød på Øya"}});
  const std::vector<std::pair<std::u16string, Names>> cases = {
      {u"CAFÉ", {"fr.txt", "plain.txt"}},
      {u"cafe", {"fr.txt", "plain.txt"}},
      {u"Café", {"fr.txt", "plain.txt"}},
      {u"ETAIT", {"fr.txt"}},
      {u"STRASSE", {"de.txt"}},
      {u"strasse", {"de.txt"}},
      {u"straße", {"de.txt"}},
      {u"GROSS", {"de.txt"}},
      {u"ελληνικά", {"el.txt"}},
      {u"ΕΛΛΗΝΙΚΆ", {"el.txt"}},
      {u"ελληνικα", {"el.txt"}},
      {u"ΤΕΛΙΚΟΣ", {"el.txt"}},  // capital sigma finds the final one
      {u"ёлка", {"ru.txt"}},
      {u"елка", {"ru.txt"}},
      {u"чай", {"ru.txt"}},
      {u"final", {"compat.txt"}},
      {u"abc", {"compat.txt"}},
      {u"ＦＩＮＡＬ", {"compat.txt"}},
      {u"smorbrod", {"no.txt"}},
      {u"OYA", {"no.txt"}},
      {u"corner", {"plain.txt"}},
      {u"cafés", {}},
  };
  for (const auto& [query, names] : cases) {
    EXPECT_EQ(Find(query), names) << Utf16ToUtf8(query);
  }
}

// A phrase holds its words in order and next to each other, in the text or
// in the name; words too short to be terms still keep their places, by a
// check of the text; a quote left open runs to the end.
TEST_F(TermSearchTest, PhrasesAreExact) {
  Index({{"a.txt", "The annual report for 2024."},
         {"b.txt", "report of the annual meeting"},
         {"vit-a.txt", "signs of vitamin a deficiency"},
         {"vit-b.txt", "signs of vitamin b deficiency"},
         {"diabetes.txt", "type 1 diabetes, not the other"},
         {"annual-report.txt", "nothing of it in the text"},
         {"fr.txt", "un café noir"}});
  const std::vector<std::pair<std::u16string, Names>> cases = {
      {u"\"annual report\"", {"a.txt", "annual-report.txt"}},
      {u"\"report annual\"", {}},
      {u"\"annual report\" 2024", {"a.txt"}},
      {u"\"annual rep*\"", {"a.txt", "annual-report.txt"}},
      {u"\"vitamin a deficiency\"", {"vit-a.txt"}},
      {u"\"VITAMIN B deficiency\"", {"vit-b.txt"}},
      {u"\"vitamin c deficiency\"", {}},
      {u"\"type 1 diabetes\"", {"diabetes.txt"}},
      {u"\"type 2 diabetes\"", {}},
      {u"\"of vitamin\"", {"vit-a.txt", "vit-b.txt"}},
      {u"\"cafe noir\"", {"fr.txt"}},
      {u"\"noir", {"fr.txt"}},
      {u"\"\"", {"(none)"}},
  };
  for (const auto& [query, names] : cases) {
    EXPECT_EQ(Find(query), names) << Utf16ToUtf8(query);
  }
  EXPECT_EQ(Find(u"\"annual report\"", kTermsNameOnly), Names{"annual-report.txt"});
  EXPECT_EQ(Find(u"\"café noir\"", kTermsExactAccents), Names{"fr.txt"});
  EXPECT_EQ(Find(u"\"cafe noir\"", kTermsExactAccents), Names{});
  UINT words = 0;
  EXPECT_EQ(terms_->CountQueryWords(u"\"annual report\" budget", &words), S_OK);
  EXPECT_EQ(words, 2u);
}

TEST_F(TermSearchTest, ExactAccentsKeepsAccentsApartButStillFoldsCase) {
  Index({{"fr.txt", "Le café était"}, {"plain.txt", "a cafe"}});
  EXPECT_EQ(Find(u"café", kTermsExactAccents), Names{"fr.txt"});
  EXPECT_EQ(Find(u"CAFÉ", kTermsExactAccents), Names{"fr.txt"});
  EXPECT_EQ(Find(u"cafe", kTermsExactAccents), Names{"plain.txt"});
  EXPECT_EQ(Find(u"etait", kTermsExactAccents), Names{});
  EXPECT_EQ(Find(u"caf*", kTermsExactAccents), (Names{"fr.txt", "plain.txt"}));
}

// Runs of Han, Hiragana, Katakana and Hangul have no spaces: any two or
// more characters of a run find the file, and only where they stand in that
// order.
TEST_F(TermSearchTest, CjkRunsAreFoundInOrderWhereverTheyStart) {
  Index({{"ja.txt", "東京都の天気は晴れです。カタカナのテスト"},
         {"zh.txt", "我们正在学习中文信息处理"},
         {"ko.txt", "한국어 형태소 분석기"},
         {"mixed.txt", "京 東 都 (the same characters, apart)"}});
  const std::vector<std::pair<std::u16string, Names>> cases = {
      {u"東京都", {"ja.txt"}},
      {u"東京", {"ja.txt"}},
      {u"京都", {"ja.txt"}},
      {u"天気", {"ja.txt"}},
      {u"都の天", {"ja.txt"}},
      {u"晴れです", {"ja.txt"}},
      {u"カタカナ", {"ja.txt"}},
      {u"タカ", {"ja.txt"}},
      {u"京東", {}},
      {u"東都", {}},
      {u"中文", {"zh.txt"}},
      {u"信息处理", {"zh.txt"}},
      {u"学习 处理", {"zh.txt"}},
      {u"习学", {}},
      {u"한국어", {"ko.txt"}},
      {u"형태", {"ko.txt"}},
      {u"東", {"ja.txt", "mixed.txt"}},  // a lone character: every pair it begins
  };
  for (const auto& [query, names] : cases) {
    EXPECT_EQ(Find(query), names) << Utf16ToUtf8(query);
  }
}

TEST_F(TermSearchTest, NumbersShortWordsAndCompoundsAreSearchable) {
  Index({{"invoice.txt", "Invoice 47110815, 2024. Ref INV-2024-0042"},
         {"tech.txt", "AI and Go on x86_64; the 2nd try. see os.path and l'homme"},
         {"other.txt", "nothing 2023 here"}});
  const std::vector<std::pair<std::u16string, Names>> cases = {
      {u"47110815", {"invoice.txt"}},
      {u"2024", {"invoice.txt"}},
      {u"INV-2024-0042", {"invoice.txt"}},
      {u"inv-2024", {"invoice.txt"}},
      {u"2024-0042", {"invoice.txt"}},
      {u"0042-2024", {}},
      {u"0042", {"invoice.txt"}},
      {u"AI", {"tech.txt"}},
      {u"go", {"tech.txt"}},
      {u"x86_64", {"tech.txt"}},
      {u"x86", {"tech.txt"}},
      {u"2nd", {"tech.txt"}},
      {u"os.path", {"tech.txt"}},
      {u"x86-64", {"tech.txt"}},  // a compound is its parts side by side
      {u"path.os", {}},
      {u"path", {"tech.txt"}},
      {u"homme", {"tech.txt"}},
      {u"L’HOMME", {"tech.txt"}},
      {u"20*", {"invoice.txt", "other.txt"}},
      {u"*voice", {"invoice.txt"}},
      {u"2024 AI", {}},
      {u"C++", {}},  // "c" is one letter: no searchable term
  };
  for (const auto& [query, names] : cases) {
    EXPECT_EQ(Find(query), (query == u"C++" ? Names{"(none)"} : names)) << Utf16ToUtf8(query);
  }
}

// A file is found by the words of its name, also when no filter reads its
// type (it is catalogued by name alone); kTermsNameOnly asks the names only.
TEST_F(TermSearchTest, FileNamesAreSearchableWords) {
  EXPECT_EQ(Index({{"budget-2024.ods", "PK binary"}, {"Notes_März.txt", "meeting budget"}}),
            (std::vector<HRESULT>{E_NOINTERFACE, S_OK}));
  EXPECT_EQ(Find(u"budget"), (Names{"budget-2024.ods", "Notes_März.txt"}));
  EXPECT_EQ(Find(u"budget", kTermsNameOnly), Names{"budget-2024.ods"});
  EXPECT_EQ(Find(u"2024"), Names{"budget-2024.ods"});
  EXPECT_EQ(Find(u"budget 2024"), Names{"budget-2024.ods"});
  EXPECT_EQ(Find(u"budget-2024", kTermsNameOnly), Names{"budget-2024.ods"});
  EXPECT_EQ(Find(u"2024-budget"), Names{});
  EXPECT_EQ(Find(u"marz"), Names{"Notes_März.txt"});
  EXPECT_EQ(Find(u"meeting", kTermsNameOnly), Names{});
  EXPECT_EQ(Find(u"binary"), Names{});  // the unread content is not searched

  // The name hit ranks: every term of the word in the name.
  INT ids[2] = {};
  UINT handle = 0;
  ASSERT_EQ(terms_->SearchOpenTerms(u"budget", 0, &handle), S_OK);
  SearchResultRecord record{};
  for (INT& id : ids) {
    ASSERT_EQ(db_->SearchNext(handle, reinterpret_cast<UINT_PTR>(&record)), S_OK);
    id = record.FileID;
  }
  EXPECT_EQ(db_->SearchClose(handle), S_OK);
  double weights[2] = {-1, -1};
  BOOL name_hits[2] = {-1, -1};
  ASSERT_EQ(terms_->RankFiles(u"budget", 0, ids, 2, weights, name_hits), S_OK);
  EXPECT_EQ(name_hits[0] + name_hits[1], 1);
  EXPECT_GT(weights[0] + weights[1], 0.0);
}

// The term-to-file index is ordered by blocks of file identifiers: words
// are found in every block, over empty blocks, by single terms, by
// intersections that seek from block to block, by prefixes of many stored
// terms, and counted in every block for their rarity.
TEST_F(TermSearchTest, FilesInEveryBlockOfTheTermIndexAreFound) {
  constexpr std::int64_t kBlock = std::int64_t{1} << trovix::kFileBlockBits;
  sqlite3* raw = nullptr;
  ASSERT_EQ(sqlite3_open(DatabasePath().c_str(), &raw), SQLITE_OK);
  const std::unique_ptr<sqlite3, int (*)(sqlite3*)> side(raw, sqlite3_close);
  sqlite3_busy_timeout(raw, 10000);
  // New files take the identifier after the highest: a placeholder row
  // moves the next file to where the test wants it.
  const auto next_id = [&](std::int64_t id) {
    const std::string sql = "INSERT INTO Files (FileID, DirectoryID, Name) VALUES (" +
                            std::to_string(id - 1) + ", 0, 'placeholder " + std::to_string(id) +
                            "')";
    ASSERT_EQ(sqlite3_exec(raw, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
  };
  std::string many;  // 80 stored terms: a prefix beyond the seekable ones
  for (int i = 0; i < 80; ++i) many += " zeta" + std::to_string(i);
  Index({{"first.txt", "common alpha" + many}});
  next_id(kBlock - 1);
  Index({{"last-of-0.txt", "common beta"}});
  Index({{"first-of-1.txt", "common beta zeta3"}});
  next_id(3 * kBlock + 10);
  Index({{"in-3.txt", "common rare zeta79"}, {"also-in-3.txt", "beta"}});
  ASSERT_EQ(sqlite3_exec(raw, "DELETE FROM Files WHERE Name GLOB 'placeholder*'", nullptr, nullptr,
                         nullptr),
            SQLITE_OK);

  EXPECT_EQ(Find(u"common"), (Names{"first.txt", "last-of-0.txt", "first-of-1.txt", "in-3.txt"}));
  EXPECT_EQ(Find(u"beta"), (Names{"last-of-0.txt", "first-of-1.txt", "also-in-3.txt"}));
  EXPECT_EQ(Find(u"common beta"), (Names{"last-of-0.txt", "first-of-1.txt"}));
  EXPECT_EQ(Find(u"alpha common"), Names{"first.txt"});
  EXPECT_EQ(Find(u"rare common"), Names{"in-3.txt"});
  EXPECT_EQ(Find(u"beta rare"), Names{});
  EXPECT_EQ(Find(u"zeta*"), (Names{"first.txt", "first-of-1.txt", "in-3.txt"}));
  EXPECT_EQ(Find(u"zeta* beta"), Names{"first-of-1.txt"});
  EXPECT_EQ(Find(u"zeta7*"), (Names{"first.txt", "in-3.txt"}));

  // "rare" is held by one file and "common" by four: the rarer term weighs
  // more in the file that holds each once, however far apart the holders.
  UINT handle = 0;
  ASSERT_EQ(terms_->SearchOpenTerms(u"rare", 0, &handle), S_OK);
  SearchResultRecord record{};
  ASSERT_EQ(db_->SearchNext(handle, reinterpret_cast<UINT_PTR>(&record)), S_OK);
  EXPECT_EQ(db_->SearchClose(handle), S_OK);
  EXPECT_GT(record.FileID, 3 * kBlock);
  const INT id = record.FileID;
  double rare = 0;
  double common = 0;
  BOOL name_hit = 0;
  ASSERT_EQ(terms_->RankFiles(u"rare", 0, &id, 1, &rare, &name_hit), S_OK);
  ASSERT_EQ(terms_->RankFiles(u"common", 0, &id, 1, &common, &name_hit), S_OK);
  EXPECT_GT(rare, common * 1.2);
}

// A file's terms are collected within fixed bounds, so that no text can
// make the indexer's memory grow: past the number of distinct terms no new
// term is taken (the name's always are), past the bytes of positions no
// occurrence is; what came before stays searchable.
TEST_F(TermSearchTest, AFileOfEndlessWordsIsIndexedUpToTheBounds) {
  std::string distinct = "start";
  for (std::size_t i = 0; i < TermCollector::kMaxTerms + 100; ++i) {
    distinct += " w" + std::to_string(i) + "x";
  }
  distinct += " finale";
  // One-byte position differences: one byte of positions per occurrence.
  std::string repeated = "opening";
  repeated.reserve(3 * TermCollector::kMaxPositionBytes + 64);
  for (std::size_t i = 0; i < TermCollector::kMaxPositionBytes + 10; ++i) repeated += " zz";
  repeated += " closing";
  Index({{"wordlist-name.txt", distinct}, {"repeated.txt", repeated}});
  EXPECT_EQ(Find(u"start"), Names{"wordlist-name.txt"});
  EXPECT_EQ(Find(u"w100x"), Names{"wordlist-name.txt"});
  EXPECT_EQ(Find(u"finale"), Names{});
  EXPECT_EQ(Find(u"wordlist"), Names{"wordlist-name.txt"});
  EXPECT_EQ(Find(u"opening zz"), Names{"repeated.txt"});
  EXPECT_EQ(Find(u"closing"), Names{});
}

TEST_F(TermSearchTest, AQueryWithoutASearchableTermIsRefused) {
  Index({{"a.txt", "ab 12 text"}});
  UINT words = 77;
  for (const std::u16string query : {u"", u"  ", u"!!", u"x y", u"a", u"¿?", u"-- ;"}) {
    EXPECT_EQ(Find(query), Names{"(none)"}) << Utf16ToUtf8(query);
    EXPECT_EQ(terms_->CountQueryWords(query.c_str(), &words), S_FALSE) << Utf16ToUtf8(query);
  }
  EXPECT_EQ(Find(u"ab"), Names{"a.txt"});
  EXPECT_EQ(Find(u"12"), Names{"a.txt"});
  EXPECT_EQ(terms_->CountQueryWords(u"ab !! 12 x", &words), S_OK);
  EXPECT_EQ(words, 2u);
  // "*" stands for every catalogued file, as in SearchOpenWord.
  EXPECT_EQ(Find(u"*"), Names{"a.txt"});

  UINT handle = 0;
  EXPECT_EQ(terms_->SearchOpenTerms(nullptr, 0, &handle), E_INVALIDARG);
  EXPECT_EQ(terms_->SearchOpenTerms(u"ab", 0, nullptr), E_INVALIDARG);
  EXPECT_EQ(terms_->SearchOpenTerms(u"ab", 0x80, &handle), E_INVALIDARG);
  EXPECT_EQ(terms_->CountQueryWords(u"ab", nullptr), E_POINTER);
}

// Files IndexFile wrote (the word index, as an earlier version left every
// file) are found by its rules until they have terms; the answer joins both.
TEST_F(TermSearchTest, FilesWithoutTermsAreFoundByTheWordIndexRules) {
  AddIndexed("docs/old.txt", "Kestrel café hovering");
  Index({{"new.txt", "kestrel wings café"}});
  EXPECT_EQ(Find(u"KESTREL"), (Names{"old.txt", "new.txt"}));
  EXPECT_EQ(Find(u"kestrel wings"), Names{"new.txt"});
  EXPECT_EQ(Find(u"hovering"), Names{"old.txt"});
  UINT pending = 0;
  UINT files = 0;
  ASSERT_EQ(terms_->GetAnalysisProgress(&pending, &files), S_OK);
  EXPECT_EQ(pending, 1u);
  EXPECT_EQ(files, 2u);

  // Batched again, the old file moves to the term index and keeps being
  // found, now with the analysis's folding.
  Index({{"old.txt", "Kestrel café hovering"}});
  ASSERT_EQ(terms_->GetAnalysisProgress(&pending, &files), S_OK);
  EXPECT_EQ(pending, 0u);
  EXPECT_EQ(Find(u"kestrel"), (Names{"old.txt", "new.txt"}));
  EXPECT_EQ(Find(u"CAFE"), (Names{"old.txt", "new.txt"}));
}

}  // namespace
}  // namespace ordalis::testing
