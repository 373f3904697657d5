#include "indexstore/term_query.h"

#include <algorithm>
#include <functional>
#include <limits>
#include <optional>
#include <utility>

#include "analysis/term_fold.h"
#include "analysis/text_analyzer.h"
#include "indexstore/db_exception.h"
#include "indexstore/own_statement.h"
#include "indexstore/position_list.h"
#include "platform/wstring.h"
#include "shared/database_format.h"

namespace ordalis {
namespace {

using trovix::analysis::BareTerm;
using trovix::analysis::QueryTerm;
using trovix::analysis::QueryWord;

// Up to this many stored terms, a query term is a union of cursors over one
// term each, which seek; beyond, the engine gathers and sorts their files.
constexpr std::int64_t kSeekableTerms = 64;
// Rows a cursor steps through before it runs its statement again from the
// target instead: a step costs a fraction of a microsecond, a fresh run a
// few index seeks.
constexpr int kStepsBeforeSeek = 8;
// A bound above every term that begins with a given prefix: no UTF-8 text
// holds the byte 0xFF.
constexpr std::string_view kAfterPrefix = "\xFF";

// "*" stands for any characters; "?" and "[" match only themselves.
std::string GlobPattern(std::string_view pattern) {
  std::string glob;
  for (const char c : pattern) {
    if (c == '?') {
      glob += "[?]";
    } else if (c == '[') {
      glob += "[[]";
    } else {
      glob += c;
    }
  }
  return glob;
}

// The selection of the stored terms `term` stands for: a statement over
// Terms with the parameters ?1 (and ?2 for a prefix), bound by BindTerm.
std::string TermSelection(const QueryTerm& term, const TermMatching& matching) {
  if (term.pattern) {
    return matching.exact_accents ? "SELECT TermID FROM Terms WHERE Term GLOB ?1"
                                  : "SELECT TermID FROM Terms WHERE coalesce(Bare, Term) GLOB ?1";
  }
  if (term.prefix) {
    return matching.exact_accents
               ? "SELECT TermID FROM Terms WHERE Term >= ?1 AND Term < ?2"
               : "SELECT TermID FROM Terms WHERE Term >= ?1 AND Term < ?2 AND Bare IS NULL "
                 "UNION SELECT TermID FROM Terms WHERE Bare >= ?1 AND Bare < ?2";
  }
  return matching.exact_accents ? "SELECT TermID FROM Terms WHERE Term = ?1"
                                : "SELECT TermID FROM Terms WHERE Term = ?1 UNION SELECT TermID "
                                  "FROM Terms WHERE Bare = ?1";
}

void BindTerm(OwnStatement& statement, const QueryTerm& term, const TermMatching& matching) {
  const std::string text = matching.exact_accents ? term.text : BareTerm(term.text);
  if (term.pattern) {
    ORDALIS_CHECK(statement.BindUtf8(1, GlobPattern(text)));
    return;
  }
  ORDALIS_CHECK(statement.BindUtf8(1, text));
  if (term.prefix) ORDALIS_CHECK(statement.BindUtf8(2, text + std::string(kAfterPrefix)));
}

// The stored terms `term` stands for, at most `limit` of them (ascending).
std::vector<std::int64_t> TermIds(sqlite3* db, const QueryTerm& term, const TermMatching& matching,
                                  std::int64_t limit) {
  const std::string sql = "SELECT TermID FROM (" + TermSelection(term, matching) + ") LIMIT ?3";
  OwnStatement select(db, sql.c_str());
  ORDALIS_CHECK(select.status());
  BindTerm(select, term, matching);
  ORDALIS_CHECK(select.Bind(3, limit));
  std::vector<std::int64_t> ids;
  while (ORDALIS_CHECK(select.Step()) == S_OK) ids.push_back(sqlite3_column_int64(select.get(), 0));
  std::sort(ids.begin(), ids.end());
  return ids;
}

std::int64_t BlockOf(std::int64_t file_id) { return file_id >> trovix::kFileBlockBits; }

// The condition that keeps a statement on FileTerms to the block of the
// file identifier in parameter `lowest` and to the files from it on. The
// block is spelt as the index spells it, so that the engine seeks in the
// index; the upper bound lets a database whose index is still ordered by
// term (version 2, not yet upgraded) answer the same rows.
std::string InBlockFrom(int lowest) {
  const std::string bits = std::to_string(trovix::kFileBlockBits);
  const std::string low = "?" + std::to_string(lowest);
  return "(FileID >> " + bits + ") = (" + low + " >> " + bits + ") AND FileID >= " + low +
         " AND FileID < (((" + low + " >> " + bits + ") + 1) << " + bits + ")";
}

// The highest file identifier in the term index; 0 when it is empty.
std::int64_t LastIndexedFile(sqlite3* db) {
  OwnStatement last(db, "SELECT max(FileID) FROM FileTerms");
  ORDALIS_CHECK(last.status());
  return ORDALIS_CHECK(last.Step()) == S_OK ? sqlite3_column_int64(last.get(), 0) : 0;
}

// A statement whose rows are ascending file identifiers, with the lowest
// identifier wanted as its parameter `lowest`. A statement kept to one
// block (InBlockFrom) is run block after block, up to the block of `last`.
class StatementCursor final : public FileCursor {
 public:
  struct Blocks {
    std::int64_t last;  // the highest identifier there is to read
  };
  // `seekable` when a run from a higher lowest identifier costs an index
  // seek; otherwise (the engine sorts first) the cursor only steps.
  StatementCursor(sqlite3* db, const std::string& sql, int lowest, bool seekable,
                  std::optional<Blocks> blocks = std::nullopt)
      : statement_(db, sql.c_str()), lowest_(lowest), seekable_(seekable), blocks_(blocks) {
    ORDALIS_CHECK(statement_.status());
  }
  OwnStatement& statement() { return statement_; }
  // Runs the statement for the rows from the start (identifiers are
  // positive).
  void Open() { Run(0); }

  bool Next() override {
    if (!exhausted_) Step();
    return !exhausted_;
  }
  bool SeekTo(std::int64_t id) override {
    for (int steps = 1; !exhausted_ && current_ < id; ++steps) {
      const bool later_block = blocks_ && BlockOf(id) > block_;
      if (later_block || (steps > kStepsBeforeSeek && seekable_)) {
        Run(id);
      } else {
        Step();
      }
    }
    return !exhausted_;
  }

 private:
  void Run(std::int64_t lowest) {
    block_ = BlockOf(lowest);
    statement_.Reset();
    ORDALIS_CHECK(statement_.Bind(lowest_, lowest));
    Step();
  }
  // The next row; at the end of a block, the first row of the next block
  // that has one.
  void Step() {
    for (;;) {
      const HRESULT hr = ORDALIS_CHECK(statement_.Step());
      exhausted_ = hr != S_OK;
      if (!exhausted_) {
        current_ = sqlite3_column_int64(statement_.get(), 0);
        return;
      }
      if (!blocks_ || block_ >= BlockOf(blocks_->last)) return;
      ++block_;
      statement_.Reset();
      ORDALIS_CHECK(statement_.Bind(lowest_, block_ << trovix::kFileBlockBits));
    }
  }

  OwnStatement statement_;
  int lowest_;
  bool seekable_;
  std::optional<Blocks> blocks_;
  std::int64_t block_ = 0;  // of the statement's current run
};

// The files any of its cursors holds.
class UnionCursor final : public FileCursor {
 public:
  explicit UnionCursor(std::vector<std::unique_ptr<FileCursor>> parts) : parts_(std::move(parts)) {
    Settle();
  }
  bool Next() override {
    if (exhausted_) return false;
    const std::int64_t at = current_;
    for (auto& part : parts_) {
      if (!part->exhausted() && part->current() == at) static_cast<void>(part->Next());
    }
    Settle();
    return !exhausted_;
  }
  bool SeekTo(std::int64_t id) override {
    if (exhausted_ || current_ >= id) return !exhausted_;
    for (auto& part : parts_) {
      if (!part->exhausted()) static_cast<void>(part->SeekTo(id));
    }
    Settle();
    return !exhausted_;
  }

 private:
  void Settle() {
    exhausted_ = true;
    for (const auto& part : parts_) {
      if (part->exhausted()) continue;
      if (exhausted_ || part->current() < current_) current_ = part->current();
      exhausted_ = false;
    }
  }
  std::vector<std::unique_ptr<FileCursor>> parts_;
};

// The files every cursor holds that `accept` (if given) accepts.
class IntersectionCursor final : public FileCursor {
 public:
  IntersectionCursor(std::vector<std::unique_ptr<FileCursor>> parts,
                     std::function<bool(std::int64_t)> accept)
      : parts_(std::move(parts)), accept_(std::move(accept)) {
    exhausted_ = false;
    Settle();
  }
  bool Next() override {
    if (exhausted_) return false;
    if (!parts_.front()->Next()) {
      exhausted_ = true;
      return false;
    }
    Settle();
    return !exhausted_;
  }
  bool SeekTo(std::int64_t id) override {
    if (exhausted_ || current_ >= id) return !exhausted_;
    if (!parts_.front()->SeekTo(id)) {
      exhausted_ = true;
      return false;
    }
    Settle();
    return !exhausted_;
  }

 private:
  // Moves every cursor up to the highest of them until all agree on an
  // identifier that is accepted.
  void Settle() {
    for (;;) {
      std::int64_t target = std::numeric_limits<std::int64_t>::min();
      for (const auto& part : parts_) {
        if (part->exhausted()) {
          exhausted_ = true;
          return;
        }
        target = std::max(target, part->current());
      }
      bool agreed = true;
      for (auto& part : parts_) {
        if (!part->SeekTo(target)) {
          exhausted_ = true;
          return;
        }
        if (part->current() != target) {
          agreed = false;
          break;
        }
      }
      if (!agreed) continue;
      if (!accept_ || accept_(target)) {
        current_ = target;
        return;
      }
      if (!parts_.front()->Next()) {
        exhausted_ = true;
        return;
      }
    }
  }

  std::vector<std::unique_ptr<FileCursor>> parts_;
  std::function<bool(std::int64_t)> accept_;
};

std::string NameFilter(const TermMatching& matching) {
  return matching.name_only ? " AND (Freq & 1) = 1" : "";
}

// The files holding one stored term, of the files up to `last`.
std::unique_ptr<FileCursor> OneTermCursor(sqlite3* db, std::int64_t term_id,
                                          const TermMatching& matching, std::int64_t last) {
  const std::string sql = "SELECT FileID FROM FileTerms WHERE TermID = ?1 AND " + InBlockFrom(2) +
                          NameFilter(matching) + " ORDER BY FileID";
  auto cursor = std::make_unique<StatementCursor>(db, sql, 2, /*seekable=*/true,
                                                  StatementCursor::Blocks{last});
  ORDALIS_CHECK(cursor->statement().Bind(1, term_id));
  cursor->Open();
  return cursor;
}

// What one query term stands for: a few stored terms by identifier, or many
// (then `ids` is empty and `many` set).
struct TermSet {
  std::vector<std::int64_t> ids;
  bool many = false;
};

TermSet StoredTerms(sqlite3* db, const QueryTerm& term, const TermMatching& matching) {
  TermSet set;
  set.ids = TermIds(db, term, matching, kSeekableTerms + 1);
  if (static_cast<std::int64_t>(set.ids.size()) > kSeekableTerms) {
    set.ids.clear();
    set.many = true;
  }
  return set;
}

// The blocks of the term-to-file index from the block of parameter ?3 to
// that of ?4, and the stored terms a query term stands for (read once), as
// the common table expressions Blocks and Wanted. CROSS JOIN keeps the
// engine's loops in this order, block, term, then an index seek; left to
// itself it scans FileTerms whole.
std::string BlocksAndTerms(const QueryTerm& term, const TermMatching& matching) {
  return "WITH RECURSIVE Blocks(Block) AS (SELECT ?3 >> " + std::to_string(trovix::kFileBlockBits) +
         " UNION ALL SELECT Block + 1 FROM Blocks WHERE Block < (?4 >> " +
         std::to_string(trovix::kFileBlockBits) + ")), Wanted(TermID) AS MATERIALIZED (" +
         TermSelection(term, matching) + ") ";
}

std::unique_ptr<FileCursor> TermCursor(sqlite3* db, const QueryTerm& term, const TermSet& set,
                                       const TermMatching& matching, std::int64_t last) {
  if (set.many) {
    const std::string sql =
        BlocksAndTerms(term, matching) +
        "SELECT DISTINCT FileID FROM Blocks CROSS JOIN Wanted CROSS JOIN FileTerms WHERE "
        "(FileTerms.FileID >> " +
        std::to_string(trovix::kFileBlockBits) +
        ") = Blocks.Block AND FileTerms.TermID = Wanted.TermID AND FileID >= ?3" +
        NameFilter(matching) + " ORDER BY FileID";
    auto cursor = std::make_unique<StatementCursor>(db, sql, 3, /*seekable=*/false);
    BindTerm(cursor->statement(), term, matching);
    ORDALIS_CHECK(cursor->statement().Bind(4, last));
    cursor->Open();
    return cursor;
  }
  if (set.ids.size() == 1) return OneTermCursor(db, set.ids.front(), matching, last);
  std::vector<std::unique_ptr<FileCursor>> parts;
  for (const std::int64_t id : set.ids) parts.push_back(OneTermCursor(db, id, matching, last));
  return std::make_unique<UnionCursor>(std::move(parts));
}

// True when some position p of positions[0] has p + offsets[i] in every
// positions[i] (each ascending).
bool Consecutive(const std::vector<std::vector<std::uint32_t>>& positions,
                 const std::vector<std::uint32_t>& offsets) {
  for (const std::uint32_t start : positions.front()) {
    bool all = true;
    for (std::size_t i = 1; i < positions.size() && all; ++i) {
      all = std::binary_search(positions[i].begin(), positions[i].end(), start + offsets[i]);
    }
    if (all) return true;
  }
  return false;
}

// Consecutive for position lists as they are stored, one per term: the
// lists are read together, each only as far as the first place where all
// stand in line, so a phrase of common words in a long text is found after
// its first occurrence rather than after decoding every position.
bool ConsecutiveInLists(const std::vector<std::string>& lists,
                        const std::vector<std::uint32_t>& offsets) {
  std::vector<PositionReader> readers;
  std::vector<std::uint32_t> at(lists.size(), 0);
  for (std::size_t i = 0; i < lists.size(); ++i) {
    readers.emplace_back(lists[i]);
    if (!readers[i].Next(&at[i])) return false;
  }
  for (;;) {
    const std::uint64_t start = at[0];
    bool all = true;
    for (std::size_t i = 1; i < lists.size() && all; ++i) {
      const std::uint64_t wanted = start + offsets[i];
      while (at[i] < wanted) {
        if (!readers[i].Next(&at[i])) return false;
      }
      if (at[i] == wanted) continue;
      // The first list's next candidate is the one that would put this
      // term where it stands now.
      all = false;
      const std::uint64_t next = at[i] - offsets[i];
      while (at[0] < next) {
        if (!readers[0].Next(&at[0])) return false;
      }
    }
    if (all) return true;
  }
}

void AddPositions(std::string_view bytes, std::vector<std::uint32_t>* positions) {
  PositionReader reader(bytes);
  for (std::uint32_t position = 0; reader.Next(&position);) positions->push_back(position);
}

void SortUnique(std::vector<std::uint32_t>* positions) {
  std::sort(positions->begin(), positions->end());
  positions->erase(std::unique(positions->begin(), positions->end()), positions->end());
}

class TermPositions final : public trovix::analysis::TermSink {
 public:
  void Term(std::string_view term, std::uint32_t position,
            trovix::analysis::TermKind /*kind*/) override {
    terms.emplace_back(std::string(term), position);
  }
  std::vector<std::pair<std::string, std::uint32_t>> terms;
};

// Whether a word of several terms stands in a file: its terms at
// consecutive positions of the text, or all of them in the name.
class PhraseCheck {
 public:
  PhraseCheck(sqlite3* db, const QueryWord& word, std::vector<TermSet> sets,
              const TermMatching& matching)
      : db_(db), word_(word), sets_(std::move(sets)), matching_(matching) {
    for (const QueryTerm& term : word_.terms) offsets_.push_back(term.offset);
  }

  // The name is analysed again only when every term of the word is a term
  // of it, which the rows read for the text tell.
  bool operator()(std::int64_t file) {
    const bool in_text = InText(file);
    if (!matching_.name_only && in_text) return true;
    return all_in_name_ && InName(file);
  }

 private:
  // Whether the word's terms stand at consecutive positions of the text;
  // sets all_in_name_ too.
  bool InText(std::int64_t file) {
    std::vector<bool> named(sets_.size(), false);
    const bool many =
        std::any_of(sets_.begin(), sets_.end(), [](const TermSet& set) { return set.many; });
    std::vector<std::vector<std::uint32_t>> positions(sets_.size());
    if (many) {
      // Every term of the file, matched here: a prefix or pattern stands for
      // too many stored terms to look each up.
      OwnStatement& select =
          Prepared(every_term_,
                   "SELECT Terms.Term, FileTerms.Positions, FileTerms.Freq FROM FileTerms, "
                   "Terms WHERE FileTerms.FileID = ? AND Terms.TermID = FileTerms.TermID");
      ORDALIS_CHECK(select.Bind(1, file));
      while (ORDALIS_CHECK(select.Step()) == S_OK) {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(select.get(), 0));
        const std::string_view term(
            text == nullptr ? "" : text,
            static_cast<std::size_t>(sqlite3_column_bytes(select.get(), 0)));
        for (std::size_t i = 0; i < word_.terms.size(); ++i) {
          if (TermMatches(word_.terms[i], term, matching_)) {
            AddPositions(Blob(select, 1), &positions[i]);
            if ((sqlite3_column_int64(select.get(), 2) & 1) != 0) named[i] = true;
          }
        }
      }
    } else {
      OwnStatement& select = Prepared(
          positions_, "SELECT Positions, Freq FROM FileTerms WHERE FileID = ? AND TermID = ?");
      std::vector<std::vector<std::string>> stored(sets_.size());
      for (std::size_t i = 0; i < sets_.size(); ++i) {
        for (const std::int64_t id : sets_[i].ids) {
          select.Reset();
          ORDALIS_CHECK(select.Bind(1, file));
          ORDALIS_CHECK(select.Bind(2, id));
          if (ORDALIS_CHECK(select.Step()) != S_OK) continue;
          stored[i].emplace_back(Blob(select, 0));
          if ((sqlite3_column_int64(select.get(), 1) & 1) != 0) named[i] = true;
        }
      }
      all_in_name_ = std::all_of(named.begin(), named.end(), [](bool in) { return in; });
      const bool one_each = std::all_of(stored.begin(), stored.end(),
                                        [](const auto& lists) { return lists.size() == 1; });
      if (one_each) {
        std::vector<std::string> lists;
        for (auto& list : stored) lists.push_back(std::move(list.front()));
        return ConsecutiveInLists(lists, offsets_);
      }
      for (std::size_t i = 0; i < stored.size(); ++i) {
        for (const std::string& list : stored[i]) AddPositions(list, &positions[i]);
      }
    }
    all_in_name_ = std::all_of(named.begin(), named.end(), [](bool in) { return in; });
    for (auto& list : positions) {
      if (list.empty()) return false;
      SortUnique(&list);
    }
    return Consecutive(positions, offsets_);
  }

  bool InName(std::int64_t file) {
    OwnStatement& select = Prepared(name_, "SELECT Name FROM Files WHERE FileID = ?");
    ORDALIS_CHECK(select.Bind(1, file));
    if (ORDALIS_CHECK(select.Step()) != S_OK) return false;
    const auto* name = reinterpret_cast<const char*>(sqlite3_column_text(select.get(), 0));
    TermPositions found;
    trovix::analysis::AnalyseText(Utf8ToUtf16(name == nullptr ? "" : name), found);
    std::vector<std::vector<std::uint32_t>> positions(word_.terms.size());
    for (const auto& [term, position] : found.terms) {
      for (std::size_t i = 0; i < word_.terms.size(); ++i) {
        if (TermMatches(word_.terms[i], term, matching_)) positions[i].push_back(position);
      }
    }
    for (auto& list : positions) {
      if (list.empty()) return false;
      SortUnique(&list);
    }
    return Consecutive(positions, offsets_);
  }

  // `statement`, prepared on first use and reset for the next: the check
  // runs once per candidate file. Raises a failure to prepare.
  OwnStatement& Prepared(std::optional<OwnStatement>& statement, const char* sql) {
    if (!statement) {
      statement.emplace(db_, sql);
      if (FAILED(statement->status())) {
        const HRESULT failed = statement->status();
        statement.reset();
        ORDALIS_CHECK(failed);
      }
    }
    statement->Reset();
    return *statement;
  }

  static std::string_view Blob(OwnStatement& statement, int column) {
    const void* bytes = sqlite3_column_blob(statement.get(), column);
    return bytes == nullptr
               ? std::string_view()
               : std::string_view(
                     static_cast<const char*>(bytes),
                     static_cast<std::size_t>(sqlite3_column_bytes(statement.get(), column)));
  }

  sqlite3* db_;
  const QueryWord& word_;
  std::vector<TermSet> sets_;
  TermMatching matching_;
  std::vector<std::uint32_t> offsets_;
  bool all_in_name_ = false;  // of the file InText read last
  std::optional<OwnStatement> positions_;
  std::optional<OwnStatement> every_term_;
  std::optional<OwnStatement> name_;
};

}  // namespace

bool TermMatches(const QueryTerm& query, std::string_view term, const TermMatching& matching) {
  return trovix::analysis::TermMatches(query, term, matching.exact_accents);
}

std::unique_ptr<FileCursor> OpenWordCursor(sqlite3* db, const QueryWord& word,
                                           const TermMatching& matching) {
  std::vector<TermSet> sets;
  std::vector<std::unique_ptr<FileCursor>> cursors;
  const std::int64_t last = LastIndexedFile(db);
  for (const QueryTerm& term : word.terms) {
    TermSet set = StoredTerms(db, term, matching);
    if (!set.many && set.ids.empty()) return nullptr;
    cursors.push_back(TermCursor(db, term, set, matching, last));
    sets.push_back(std::move(set));
  }
  if (cursors.size() == 1) return std::move(cursors.front());
  auto check = std::make_shared<PhraseCheck>(db, word, std::move(sets), matching);
  return std::make_unique<IntersectionCursor>(
      std::move(cursors), [check](std::int64_t file) { return (*check)(file); });
}

std::unique_ptr<FileCursor> OpenWholeIndexCursor(sqlite3* db, char16_t word) {
  std::string sql;
  if (word == u'*') {
    sql = "SELECT FileID FROM Files WHERE FileID >= ?1 ORDER BY FileID";
  } else {
    const std::string has_words =
        "(Analysis = 2 OR EXISTS (SELECT 1 FROM FilesWords WHERE FilesWords.FileID = "
        "Files.FileID))";
    sql = "SELECT FileID FROM Files WHERE " + std::string(word == u'+' ? "" : "NOT ") + has_words +
          " AND FileID >= ?1 ORDER BY FileID";
  }
  auto cursor = std::make_unique<StatementCursor>(db, sql, 1, /*seekable=*/true);
  cursor->Open();
  return cursor;
}

std::vector<INT> IntersectAll(std::vector<std::unique_ptr<FileCursor>> cursors) {
  std::vector<INT> ids;
  if (cursors.empty()) return ids;
  for (const auto& cursor : cursors) {
    if (cursor == nullptr) return ids;
  }
  IntersectionCursor all(std::move(cursors), nullptr);
  // Identifiers are 32-bit in the catalogue.
  for (bool more = !all.exhausted(); more; more = all.Next())
    ids.push_back(static_cast<INT>(all.current()));
  return ids;
}

bool CountTerm(sqlite3* db, const QueryTerm& term, const TermMatching& matching,
               const std::vector<INT>& files, std::vector<double>* counts, std::int64_t cap,
               std::int64_t* files_with_term) {
  constexpr std::int64_t kRankedTerms = 2000;
  const std::vector<std::int64_t> ids = TermIds(db, term, matching, kRankedTerms);
  if (ids.empty()) return false;
  // A term's files are counted block by block, a seek each. Past this many
  // seeks (a prefix of thousands of stored terms in a large index) the
  // terms counted stand for the rest, in proportion: the count only weighs
  // how rare the query term is.
  constexpr std::int64_t kCountSeeks = 20000;
  const std::int64_t blocks = BlockOf(LastIndexedFile(db)) + 1;
  const std::string sql = "SELECT COUNT(*) FROM (SELECT 1 FROM FileTerms WHERE TermID = ?1 AND " +
                          InBlockFrom(2) + " LIMIT ?3)";
  OwnStatement holders(db, sql.c_str());
  ORDALIS_CHECK(holders.status());
  std::int64_t total = 0;
  std::int64_t seeks = 0;
  std::size_t counted = 0;
  for (; counted < ids.size() && total < cap && seeks < kCountSeeks; ++counted) {
    for (std::int64_t block = 0; block < blocks && total < cap; ++block, ++seeks) {
      holders.Reset();
      ORDALIS_CHECK(holders.Bind(1, ids[counted]));
      ORDALIS_CHECK(holders.Bind(2, block << trovix::kFileBlockBits));
      ORDALIS_CHECK(holders.Bind(3, cap - total));
      if (ORDALIS_CHECK(holders.Step()) == S_OK) total += sqlite3_column_int64(holders.get(), 0);
    }
  }
  if (total < cap && counted < ids.size()) {
    total = static_cast<std::int64_t>(static_cast<double>(total) * static_cast<double>(ids.size()) /
                                      static_cast<double>(counted));
  }
  *files_with_term = std::min(total, cap);
  // Up to this many stored terms a file's count is read term by term (one
  // key lookup each); beyond, the file's whole term list is read once.
  constexpr std::size_t kLookupsPerFile = 16;
  OwnStatement one(db, "SELECT Freq FROM FileTerms WHERE FileID = ? AND TermID = ?");
  OwnStatement all(db, "SELECT TermID, Freq FROM FileTerms WHERE FileID = ?");
  ORDALIS_CHECK(one.status());
  ORDALIS_CHECK(all.status());
  for (std::size_t i = 0; i < files.size(); ++i) {
    std::int64_t sum = 0;
    if (ids.size() <= kLookupsPerFile) {
      for (const std::int64_t id : ids) {
        one.Reset();
        ORDALIS_CHECK(one.Bind(1, std::int64_t{files[i]}));
        ORDALIS_CHECK(one.Bind(2, id));
        if (ORDALIS_CHECK(one.Step()) == S_OK) sum += sqlite3_column_int64(one.get(), 0) >> 1;
      }
    } else {
      all.Reset();
      ORDALIS_CHECK(all.Bind(1, std::int64_t{files[i]}));
      while (ORDALIS_CHECK(all.Step()) == S_OK) {
        if (std::binary_search(ids.begin(), ids.end(), sqlite3_column_int64(all.get(), 0))) {
          sum += sqlite3_column_int64(all.get(), 1) >> 1;
        }
      }
    }
    (*counts)[i] += static_cast<double>(sum);
  }
  return true;
}

std::vector<std::string> NameTerms(std::u16string_view name) {
  TermPositions found;
  trovix::analysis::AnalyseText(name, found);
  std::vector<std::string> terms;
  for (auto& [term, position] : found.terms) terms.push_back(std::move(term));
  return terms;
}

}  // namespace ordalis
