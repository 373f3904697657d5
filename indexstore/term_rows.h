// Writing a file's terms to the term index (Terms, FileTerms; see
// shared/database_format.cpp for the columns): what PrepareFile collects
// and what WritePrepared writes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "analysis/text_analyzer.h"
#include "platform/types.h"

namespace ordalis {

// One term of a file, ready to be written.
struct PreparedTerm {
  std::string term;       // folded UTF-8
  std::uint32_t freq;     // FileTerms.Freq: text count times 2, plus 1 in the name
  std::string positions;  // FileTerms.Positions
};

// Collects the terms of one file: first those of its name (NameTerms), then
// those of its text as the analysis hands them over. Owned by one
// PrepareFile call.
//
// Memory is bounded whatever the file holds: at most kMaxTerms distinct
// terms (about 4 MiB with their entries) and kMaxPositionBytes of positions.
// A text past either bound (a word list, a dump of random tokens) keeps the
// terms and occurrences collected so far; later new terms, and any
// occurrence past the positions' bound, are left out. Natural text stays
// far below both: 310 MB of documents averaged 520 distinct terms a file.
class TermCollector final : public trovix::analysis::TermSink {
 public:
  static constexpr std::size_t kMaxTerms = 1u << 15;
  static constexpr std::size_t kMaxPositionBytes = 4u << 20;

  // Adds the terms of the file name `name`.
  void NameTerms(std::u16string_view name);
  void Term(std::string_view term, std::uint32_t position,
            trovix::analysis::TermKind kind) override;
  // True when the text gave at least one term.
  [[nodiscard]] bool has_text_terms() const { return text_terms_ > 0; }
  // Every term, smallest first (byte order), leaving the collector empty.
  [[nodiscard]] std::vector<PreparedTerm> TakeSorted();

 private:
  struct Entry {
    std::uint32_t count = 0;  // occurrences in the text
    std::uint32_t last = 0;   // the last position added
    bool in_name = false;
    std::string positions;
  };
  struct Hash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const {
      return std::hash<std::string_view>()(text);
    }
  };
  std::unordered_map<std::string, Entry, Hash, std::equal_to<>> entries_;
  bool naming_ = false;
  std::size_t text_terms_ = 0;
  std::size_t position_bytes_ = 0;
};

// Identifiers of terms already in Terms, as WordIdCache keeps those of
// Words: valid for the life of the file, since rows of Terms are never
// deleted or renumbered. Guarded by the write mutex.
class TermIdCache {
 public:
  [[nodiscard]] std::int64_t Find(std::string_view term) const;
  // Beyond kMaxTerms nothing more is added: the rest is looked up in the
  // database, whose unique index answers in a few microseconds, and the
  // cache's memory stays bounded (the terms seen first, the frequent ones
  // among them, stay).
  void Add(std::string_view term, std::int64_t id) {
    if (ids_.size() < kMaxTerms) ids_.emplace(term, id);
  }
  // Remembers the identifiers of a transaction that has committed.
  void Learn(TermIdCache&& learned);
  void Clear() { ids_.clear(); }

 private:
  static constexpr std::size_t kMaxTerms = 1u << 13;
  struct Hash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const {
      return std::hash<std::string_view>()(text);
    }
  };
  std::unordered_map<std::string, std::int64_t, Hash, std::equal_to<>> ids_;
};

// Inside the caller's transaction and write mutex: makes the FileTerms rows
// of `file_id` exactly `terms`, adding new terms to Terms (with their bare
// form). Only rows that change are written. Terms found in neither the
// module's cache nor `*learned` go to `*learned`. Answers whether the file
// had rows before. Raises a failure.
[[nodiscard]] bool ReplaceFileTerms(const std::vector<PreparedTerm>& terms, INT file_id,
                                    TermIdCache* learned);

// Inside the caller's transaction and write mutex: deletes the FileTerms
// rows of `file_id`. Raises a failure.
void DeleteFileTerms(INT file_id);

// Inside the caller's transaction: sets Files.Analysis of `file_id`.
void SetAnalysis(INT file_id, int analysis);

}  // namespace ordalis
