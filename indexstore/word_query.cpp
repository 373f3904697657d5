#include "indexstore/word_query.h"

#include <limits>
#include <utility>

#include "indexstore/db_exception.h"
#include "indexstore/engine.h"
#include "platform/hresult.h"
#include "platform/wstring.h"

namespace ordalis {
namespace {

// Each statement ends with the lowest identifier wanted, so that a cursor far
// behind its target can start again from there. The word statements keep the
// join with Files, because catalogue deletions leave FilesWords rows behind;
// they select fileswords.fileid (equal to files.fileid by the join) and order
// by it, which lets the engine stream the rows of one word from the index
// FilesWordsByWord in order, with neither a sort nor a table of seen rows.
// "+" and "-" ask for the existence of a FilesWords row, a lookup in its
// primary key per file, instead of joining every row of every file.
constexpr const char* kAllFiles =
    "select distinct files.fileid from files where files.fileid >= ? order by files.fileid";
constexpr const char* kFilesWithWords =
    "select distinct files.fileid from files where exists (select 1 from fileswords where "
    "fileswords.fileid = files.fileid) and files.fileid >= ? order by files.fileid";
constexpr const char* kFilesWithoutWords =
    "select distinct files.fileid from files where not exists (select 1 from fileswords where "
    "fileswords.fileid = files.fileid) and files.fileid >= ? order by files.fileid";
// A pattern gathers the files of all its words into the engine's sorted
// table of an `in` list first, which also drops repeats; Files is then looked
// up once per distinct file, in ascending order, with no sort of its own
// (joined before the gathering, it was looked up once per file and word, and
// the rows were sorted again for `distinct`).
constexpr const char* kFilesWithWordLike =
    "select files.fileid from files where files.fileid in (select fileswords.fileid from words, "
    "fileswords where fileswords.wordid = words.id and words.word like ? escape '\\') and "
    "files.fileid >= ? order by files.fileid";
// No `distinct` here, as no file can repeat: at most one Words row matches
// (Word is unique without regard to case, as `=` compares it), and the
// primary key of FilesWords holds each file once per word. The engine cannot
// see that, and would compare every row with the one before.
constexpr const char* kFilesWithWord =
    "select fileswords.fileid from files, words, fileswords where files.fileid = "
    "fileswords.fileid and fileswords.wordid = words.id and words.word = ? and "
    "fileswords.fileid >= ? order by fileswords.fileid";

// The candidate statements of a word and of a pattern (BuildWordQuery with
// check_catalogue false): the word index alone, without the join with Files.
// A file removed from the catalogue keeps its FilesWords rows until a
// compaction, so these also answer such files; their sets are read with
// ReadResultRows, which looks every file up in Files anyway and skips them.
// Each row then costs a step in FilesWordsByWord instead of a seek in Files
// too, and Files is read once per file, by the reading, not twice.
constexpr const char* kIndexedWithWord =
    "select fileswords.fileid from words, fileswords where fileswords.wordid = words.id and "
    "words.word = ? and fileswords.fileid >= ? order by fileswords.fileid";
constexpr const char* kIndexedWithWordLike =
    "select distinct fileswords.fileid from words, fileswords where fileswords.wordid = words.id "
    "and words.word like ? escape '\\' and fileswords.fileid >= ? order by fileswords.fileid";

// Rows a cursor steps through before it runs its statement again from the
// target instead: a step costs a fraction of a microsecond, a fresh run a
// few index seeks.
constexpr int kStepsBeforeSeek = 8;

}  // namespace

std::vector<WString> SplitQueryWords(std::u16string_view text) {
  std::vector<WString> tokens;
  std::size_t at = text.find_first_not_of(kQuerySeparators);
  while (at != std::u16string_view::npos) {
    const std::size_t end = text.find_first_of(kQuerySeparators, at);
    tokens.emplace_back(text.substr(at, end == std::u16string_view::npos ? end : end - at));
    at = end == std::u16string_view::npos ? end : text.find_first_not_of(kQuerySeparators, end);
  }
  return tokens;
}

WString LikePattern(std::u16string_view text) {
  WString pattern;
  pattern.reserve(text.size());
  for (const WCHAR c : text) {
    if (c == u'\\' || c == u'%' || c == u'_') pattern += u'\\';
    pattern += c == u'*' ? u'%' : c;
  }
  return pattern;
}

bool BuildWordQuery(std::u16string_view token, WordQuery* query, bool check_catalogue) {
  WordQuery built;
  built.seekable = true;
  if (token == u"*") {
    built.sql = kAllFiles;
  } else if (token == u"+") {
    built.sql = kFilesWithWords;
  } else if (token == u"-") {
    built.sql = kFilesWithoutWords;
  } else if (token.find(u'*') != std::u16string_view::npos) {
    if (token.size() > kMaxQueryPatternUnits) return false;
    // Several words match: the engine gathers and sorts their files first.
    built.sql = check_catalogue ? kFilesWithWordLike : kIndexedWithWordLike;
    built.word = LikePattern(token);
    built.word_parameter = true;
    built.seekable = false;
  } else {
    if (token.size() > kMaxQueryWordUnits) return false;
    built.sql = check_catalogue ? kFilesWithWord : kIndexedWithWord;
    built.word = WString(token);
    built.word_parameter = true;
  }
  *query = std::move(built);
  return true;
}

WordCursor::~WordCursor() { sqlite3_finalize(stmt_); }

WordCursor::WordCursor(WordCursor&& other) noexcept
    : db_(other.db_),
      query_(std::move(other.query_)),
      stmt_(std::exchange(other.stmt_, nullptr)),
      current_(other.current_),
      exhausted_(other.exhausted_) {}

HRESULT WordCursor::Open() {
  HRESULT hr = EngineStatus(db_, sqlite3_prepare_v3(db_, query_.sql, -1, 0, &stmt_, nullptr));
  if (FAILED(hr)) return hr;
  if (query_.word_parameter) {
    // As the engine adapter binds text: lone surrogates stand for bytes.
    const std::string word = Utf16ToUtf8(query_.word);
    hr = EngineStatus(db_, sqlite3_bind_text(stmt_, 1, word.data(), static_cast<int>(word.size()),
                                             SQLITE_TRANSIENT));
    if (FAILED(hr)) return hr;
  }
  hr = Execute(std::numeric_limits<std::int64_t>::min());
  return hr == DB_S_ENDOFROWSET ? S_OK : hr;
}

HRESULT WordCursor::Execute(std::int64_t lowest) {
  sqlite3_reset(stmt_);
  const int lowest_index = query_.word_parameter ? 2 : 1;
  const HRESULT hr = EngineStatus(db_, sqlite3_bind_int64(stmt_, lowest_index, lowest));
  if (FAILED(hr)) {
    exhausted_ = true;
    return hr;
  }
  return Step();
}

HRESULT WordCursor::Step() {
  const HRESULT hr = EngineStatus(db_, sqlite3_step(stmt_));
  exhausted_ = hr != S_OK;
  if (hr == S_OK) current_ = sqlite3_column_int64(stmt_, 0);
  return hr;
}

bool WordCursor::Next() { return !exhausted_ && Step() == S_OK; }

WordCursor::Seek WordCursor::SeekTo(std::int64_t id) {
  for (int steps = 1; !exhausted_ && current_ < id; ++steps) {
    const HRESULT hr = steps > kStepsBeforeSeek && query_.seekable ? Execute(id) : Step();
    if (FAILED(hr)) return Seek::kFailed;
  }
  if (exhausted_) return Seek::kExhausted;
  return current_ == id ? Seek::kFound : Seek::kPassed;
}

std::vector<INT> MatchWordTokens(sqlite3* db, const std::vector<WString>& tokens,
                                 bool check_catalogue) {
  std::vector<WordCursor> cursors;
  cursors.reserve(tokens.size());
  for (const WString& token : tokens) {
    WordQuery query;
    if (!BuildWordQuery(token, &query, check_catalogue)) ORDALIS_CHECK(E_FAIL);
    cursors.emplace_back(db, std::move(query));
    ORDALIS_CHECK(cursors.back().Open());
  }
  return IntersectCursors(cursors);
}

// A leapfrog merge: the target is the highest identifier seen, and the
// cursors take turns moving up to it. A cursor that passes the target sets
// a new one, so the cursor of the rarest word, whose rows lie farthest
// apart, sets most targets and the others seek past whole runs of rows
// that cannot match; no count of each word's files is needed to find it.
// Once any cursor is exhausted, no further identifier can be in all.
std::vector<INT> IntersectCursors(std::vector<WordCursor>& cursors) {
  std::vector<INT> ids;
  for (const WordCursor& cursor : cursors) {
    if (cursor.exhausted()) return ids;
  }
  const std::size_t count = cursors.size();
  if (count == 0) return ids;
  std::int64_t target = cursors[0].current();
  std::size_t agreeing = 1;  // the cursors just before `turn` stand on target
  std::size_t turn = 1 % count;
  for (;;) {
    if (agreeing == count) {
      // Identifiers are 32-bit in the catalogue.
      ids.push_back(static_cast<INT>(target));
      if (!cursors[turn].Next()) break;
      target = cursors[turn].current();
      agreeing = 1;
    } else {
      const WordCursor::Seek answer = cursors[turn].SeekTo(target);
      if (answer == WordCursor::Seek::kExhausted || answer == WordCursor::Seek::kFailed) break;
      if (answer == WordCursor::Seek::kFound) {
        ++agreeing;
      } else {
        target = cursors[turn].current();
        agreeing = 1;
      }
    }
    turn = (turn + 1) % count;
  }
  return ids;
}

}  // namespace ordalis
