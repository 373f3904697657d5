// QueryCleanup through the component's interface: the query text keeps the
// words a word search can find, joined by single spaces, in place.
#include "indexstore/testing/ordalis_fixture.h"

namespace ordalis::testing {
namespace {

// No database is needed: the method works on its argument alone.
class QueryCleanupTest : public OrdalisTest {
 protected:
  void SetUp() override {
    OrdalisTest::SetUp();
    db_ = Create();
  }
  void TearDown() override {
    db_.reset();
    OrdalisTest::TearDown();
  }

  // The cleaned text and the reported length (-1 when not reported), with
  // the buffer guarded beyond the input's terminator.
  std::pair<WString, long> Clean(const WString& query, bool with_length = true) {
    std::vector<WCHAR> buffer(query.begin(), query.end());
    buffer.push_back(0);
    buffer.insert(buffer.end(), 4, u'#');
    UINT n = 12345;
    EXPECT_EQ(db_->QueryCleanup(buffer.data(), with_length ? &n : nullptr), S_OK);
    EXPECT_EQ(WString(buffer.end() - 4, buffer.end()), u"####") << "wrote past the input";
    return {WString(buffer.data()), with_length ? static_cast<long>(n) : -1};
  }

  ComPtr<ITrovixDB> db_;
};

TEST_F(QueryCleanupTest, KeepsAcceptedWordsAndPatternsJoinedBySingleSpaces) {
  using Result = std::pair<WString, long>;
  EXPECT_EQ(Clean(u"the, 2 ab* fox's 99* go"), Result(u"the ab* fox 99*", 15));
  EXPECT_EQ(Clean(u"cat dog"), Result(u"cat dog", 7));
  EXPECT_EQ(Clean(u"  cat,\tdog;  "), Result(u"cat dog", 7)) << "separators around";
  EXPECT_EQ(Clean(u"cat dog", /*with_length=*/false), Result(u"cat dog", -1));
  EXPECT_EQ(Clean(u"a bc 12 3d ' ,"), Result(u"", 0)) << "nothing keepable";
  EXPECT_EQ(Clean(u""), Result(u"", 0));
  EXPECT_EQ(Clean(u"*"), Result(u"*", 1)) << "a pattern word of any length";
  EXPECT_EQ(Clean(u"_ab été über"), Result(u"_ab été über", 12)) << "letters beyond ASCII";
  EXPECT_EQ(Clean(u"caf\u00e9-cr\u00e8me"), Result(u"caf\u00e9 cr\u00e8me", 10));
}

TEST_F(QueryCleanupTest, ALoneSignStaysAndNullIsRefused) {
  using Result = std::pair<WString, long>;
  EXPECT_EQ(Clean(u"+"), Result(u"+", 2));
  EXPECT_EQ(Clean(u"-"), Result(u"-", 2));
  EXPECT_EQ(Clean(u"+ -"), Result(u"", 0)) << "only the lone sign is the whole-index query";
  EXPECT_EQ(Clean(u"+cat"), Result(u"cat", 3));
  UINT n = 0;
  EXPECT_EQ(db_->QueryCleanup(nullptr, &n), E_INVALIDARG);
}

}  // namespace
}  // namespace ordalis::testing
