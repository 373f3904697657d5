#include "indexstore/term_rows.h"

#include <algorithm>
#include <map>
#include <utility>

#include "analysis/term_fold.h"
#include "indexstore/catalogue.h"
#include "indexstore/db_exception.h"
#include "indexstore/engine.h"
#include "indexstore/index_store_module.h"
#include "indexstore/position_list.h"

namespace ordalis {
namespace {

constexpr const char* kSelectTerm = "SELECT TermID FROM Terms WHERE Term = ?";
constexpr const char* kInsertTerm = "INSERT INTO Terms (Term, Bare) VALUES (?, ?) RETURNING TermID";
constexpr const char* kFileTerms =
    "SELECT TermID, Freq, Positions FROM FileTerms WHERE FileID = ? ORDER BY TermID";
constexpr const char* kInsertFileTerm =
    "INSERT INTO FileTerms (FileID, TermID, Freq, Positions) VALUES (?, ?, ?, ?)";
constexpr const char* kUpdateFileTerm =
    "UPDATE FileTerms SET Freq = ?, Positions = ? WHERE FileID = ? AND TermID = ?";
constexpr const char* kDeleteFileTerm = "DELETE FROM FileTerms WHERE FileID = ? AND TermID = ?";
constexpr const char* kDeleteFileTerms = "DELETE FROM FileTerms WHERE FileID = ?";
constexpr const char* kSetAnalysis = "UPDATE Files SET Analysis = ? WHERE FileID = ?";

std::int64_t LookUpOrInsertTerm(Engine& engine, const std::string& term) {
  {
    Statement select(engine, kSelectTerm);
    ORDALIS_CHECK(select.BindUtf8(1, term));
    if (ORDALIS_CHECK(select.Step()) == S_OK) return select.ColumnInt(0);
  }
  Statement insert(engine, kInsertTerm);
  ORDALIS_CHECK(insert.BindUtf8(1, term));
  const std::string bare = trovix::analysis::BareTerm(term);
  ORDALIS_CHECK(bare == term ? insert.BindNull(2) : insert.BindUtf8(2, bare));
  // RETURNING always yields the new row; no row is an unexpected answer.
  if (ORDALIS_CHECK(insert.Step()) != S_OK) ORDALIS_CHECK(E_FAIL);
  return insert.ColumnInt(0);
}

std::int64_t TermId(Engine& engine, const TermIdCache& cache, const std::string& term,
                    TermIdCache* learned) {
  if (const std::int64_t known = cache.Find(term)) return known;
  if (const std::int64_t known = learned->Find(term)) return known;
  const std::int64_t id = LookUpOrInsertTerm(engine, term);
  learned->Add(term, id);
  return id;
}

void InsertRow(Engine& engine, INT file_id, std::int64_t term_id, const PreparedTerm& term) {
  Statement insert(engine, kInsertFileTerm);
  ORDALIS_CHECK(insert.Bind(1, std::int64_t{file_id}));
  ORDALIS_CHECK(insert.Bind(2, term_id));
  ORDALIS_CHECK(insert.Bind(3, std::int64_t{term.freq}));
  ORDALIS_CHECK(insert.BindBlob(4, term.positions));
  ORDALIS_CHECK(insert.Step());
}

void UpdateRow(Engine& engine, INT file_id, std::int64_t term_id, const PreparedTerm& term) {
  Statement update(engine, kUpdateFileTerm);
  ORDALIS_CHECK(update.Bind(1, std::int64_t{term.freq}));
  ORDALIS_CHECK(update.BindBlob(2, term.positions));
  ORDALIS_CHECK(update.Bind(3, std::int64_t{file_id}));
  ORDALIS_CHECK(update.Bind(4, term_id));
  ORDALIS_CHECK(update.Step());
}

void DeleteRow(Engine& engine, INT file_id, std::int64_t term_id) {
  Statement remove(engine, kDeleteFileTerm);
  ORDALIS_CHECK(remove.Bind(1, std::int64_t{file_id}));
  ORDALIS_CHECK(remove.Bind(2, term_id));
  ORDALIS_CHECK(remove.Step());
}

struct StoredRow {
  std::int64_t term_id;
  std::int64_t freq;
  std::string positions;
};

}  // namespace

void TermCollector::NameTerms(std::u16string_view name) {
  naming_ = true;
  trovix::analysis::AnalyseText(name, *this);
  naming_ = false;
}

void TermCollector::Term(std::string_view term, std::uint32_t position,
                         trovix::analysis::TermKind /*kind*/) {
  if (!naming_ && position_bytes_ >= kMaxPositionBytes) return;
  auto found = entries_.find(term);
  if (found == entries_.end()) {
    // The name's terms always find room: they come first.
    if (entries_.size() >= kMaxTerms) return;
    found = entries_.emplace(std::string(term), Entry{}).first;
  }
  Entry& entry = found->second;
  if (naming_) {
    entry.in_name = true;
    return;
  }
  // Positions only grow: a term given again at the same position would be
  // a delta of 0, one occurrence counted twice.
  if (entry.count > 0 && position <= entry.last) return;
  const std::size_t before = entry.positions.size();
  AppendVarint(&entry.positions, position - entry.last);
  position_bytes_ += entry.positions.size() - before;
  entry.last = position;
  ++entry.count;
  ++text_terms_;
}

std::vector<PreparedTerm> TermCollector::TakeSorted() {
  std::vector<PreparedTerm> terms;
  terms.reserve(entries_.size());
  for (auto& [term, entry] : entries_) {
    terms.push_back({term, entry.count * 2 + (entry.in_name ? 1 : 0), std::move(entry.positions)});
  }
  entries_.clear();
  std::sort(terms.begin(), terms.end(),
            [](const PreparedTerm& a, const PreparedTerm& b) { return a.term < b.term; });
  return terms;
}

std::int64_t TermIdCache::Find(std::string_view term) const {
  const auto found = ids_.find(term);
  return found != ids_.end() ? found->second : 0;
}

void TermIdCache::Learn(TermIdCache&& learned) {
  if (ids_.size() + learned.ids_.size() > kMaxTerms) ids_.clear();
  ids_.merge(learned.ids_);
  learned.ids_.clear();
}

bool ReplaceFileTerms(const std::vector<PreparedTerm>& terms, INT file_id, TermIdCache* learned) {
  IndexStoreModule& module = IndexStoreModule::Get();
  Engine& engine = module.engine();
  std::vector<std::pair<std::int64_t, const PreparedTerm*>> wanted;  // by term id
  wanted.reserve(terms.size());
  for (const PreparedTerm& term : terms) {
    wanted.emplace_back(TermId(engine, module.term_ids, term.term, learned), &term);
  }
  std::sort(wanted.begin(), wanted.end());
  std::vector<StoredRow> stored;  // ascending term id
  {
    Statement select(engine, kFileTerms);
    ORDALIS_CHECK(select.Bind(1, std::int64_t{file_id}));
    // A failed step raises: a partial list would make the merge insert rows
    // that exist.
    for (HRESULT hr = ORDALIS_CHECK(select.Step()); hr == S_OK; hr = ORDALIS_CHECK(select.Step())) {
      stored.push_back(
          {select.ColumnInt(0), select.ColumnInt(1), std::string(select.ColumnBytes(2))});
    }
  }
  auto old_row = stored.begin();
  for (const auto& [term_id, term] : wanted) {
    for (; old_row != stored.end() && old_row->term_id < term_id; ++old_row) {
      DeleteRow(engine, file_id, old_row->term_id);
    }
    if (old_row != stored.end() && old_row->term_id == term_id) {
      if (old_row->freq != term->freq || old_row->positions != term->positions) {
        UpdateRow(engine, file_id, term_id, *term);
      }
      ++old_row;
    } else {
      InsertRow(engine, file_id, term_id, *term);
    }
  }
  for (; old_row != stored.end(); ++old_row) {
    DeleteRow(engine, file_id, old_row->term_id);
  }
  return !stored.empty();
}

void DeleteFileTerms(INT file_id) {
  Statement remove(IndexStoreModule::Get().engine(), kDeleteFileTerms);
  ORDALIS_CHECK(remove.Bind(1, std::int64_t{file_id}));
  ORDALIS_CHECK(remove.Step());
}

void SetAnalysis(INT file_id, int analysis) {
  Statement update(IndexStoreModule::Get().engine(), kSetAnalysis);
  ORDALIS_CHECK(update.Bind(1, std::int64_t{analysis}));
  ORDALIS_CHECK(update.Bind(2, std::int64_t{file_id}));
  ORDALIS_CHECK(update.Step());
}

}  // namespace ordalis
