#include "indexer/long_task_record.h"

#include <algorithm>
#include <cstdint>

#include "indexer/task_file.h"
#include "platform/wstring.h"
#include "shared/index_limits.h"

namespace trovix::indexer {
namespace {

constexpr std::size_t kHeadUnits = (kTaskRecordSize - 16) / 2;  // 262
constexpr std::size_t kMoreUnits = (kTaskRecordSize - 4) / 2;   // 268
constexpr char16_t kHeadMark = u'L';
constexpr char16_t kMoreMark = u'C';
// A path of kMaxCataloguedPathBytes bytes has at most that many units.
constexpr std::size_t kMaxUnits = kMaxCataloguedPathBytes;

void PutUnit(char16_t unit, std::string* out) {
  out->push_back(static_cast<char>(unit & 0xFF));
  out->push_back(static_cast<char>(unit >> 8));
}

void PutWord(std::uint32_t value, std::string* out) {
  for (int shift = 0; shift < 32; shift += 8) out->push_back(static_cast<char>(value >> shift));
}

char16_t UnitAt(std::string_view bytes, std::size_t offset) {
  return static_cast<char16_t>(static_cast<unsigned char>(bytes[offset]) |
                               static_cast<unsigned char>(bytes[offset + 1]) << 8);
}

std::uint32_t WordAt(std::string_view bytes, std::size_t offset) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(bytes[offset + i]);
  return value;
}

// Appends up to `units` units of `path` from `*next`, then zeros to fill.
void PutPiece(const WString& path, std::size_t* next, std::size_t units, std::string* out) {
  for (std::size_t i = 0; i < units; ++i, ++*next) {
    PutUnit(*next < path.size() ? path[*next] : u'\0', out);
  }
}

bool ValidKind(std::uint32_t kind) { return kind >= kAdded && kind <= kRenamedNewName; }

bool ValidPath(const WString& path) {
  return !path.empty() && path[0] == u'/' && path.find(u'\0') == WString::npos &&
         FitsCatalogue(Utf16ToUtf8(path));
}

}  // namespace

bool EncodeLongTaskRecords(const IndexTask& task, std::string* records) {
  const WString& path = task.path;
  if (!ValidKind(task.kind) || !ValidPath(path)) return false;
  std::string out;
  PutUnit(u'\0', &out);
  PutUnit(kHeadMark, &out);
  PutWord(task.kind, &out);
  PutWord(task.time_stamp, &out);
  PutWord(static_cast<std::uint32_t>(path.size()), &out);
  std::size_t next = 0;
  PutPiece(path, &next, kHeadUnits, &out);
  while (next < path.size()) {
    PutUnit(u'\0', &out);
    PutUnit(kMoreMark, &out);
    PutPiece(path, &next, kMoreUnits, &out);
  }
  records->append(out);
  return true;
}

bool IsLongTaskRecord(std::string_view record) {
  return record.size() == kTaskRecordSize && UnitAt(record, 0) == u'\0';
}

bool IsLongTaskContinuation(std::string_view record) {
  return IsLongTaskRecord(record) && UnitAt(record, 2) == kMoreMark;
}

LongTaskReader::Step LongTaskReader::Take(std::string_view record, IndexTask* task,
                                          std::string* why) {
  const char16_t mark = UnitAt(record, 2);
  if (mark == kHeadMark) {
    const Step started = Start(record, why);
    if (started == Step::kDamaged) return started;
    return length_ <= kHeadUnits ? Finish(task, why) : Step::kMore;
  }
  if (mark != kMoreMark || !open_) {
    *why = mark == kMoreMark ? "continuation of a long path without its first record"
                             : "extended record of an unknown type";
    return Step::kDamaged;
  }
  const std::size_t units = std::min(kMoreUnits, length_ - task_.path.size());
  for (std::size_t i = 0; i < units; ++i) task_.path.push_back(UnitAt(record, 4 + 2 * i));
  return task_.path.size() == length_ ? Finish(task, why) : Step::kMore;
}

bool LongTaskReader::End(std::string* why) {
  if (!open_) return false;
  open_ = false;
  *why = "long path of " + std::to_string(length_) + " units cut short";
  return true;
}

LongTaskReader::Step LongTaskReader::Start(std::string_view record, std::string* why) {
  const std::uint32_t kind = WordAt(record, 4);
  const std::uint32_t length = WordAt(record, 12);
  if (!ValidKind(kind)) {
    *why = "kind field is not a change kind";
    return Step::kDamaged;
  }
  if (length == 0 || length > kMaxUnits) {
    *why = "long path of " + std::to_string(length) + " units";
    return Step::kDamaged;
  }
  open_ = false;
  task_ = IndexTask{};
  task_.kind = kind;
  task_.time_stamp = WordAt(record, 8);
  length_ = length;
  const std::size_t units = std::min<std::size_t>(kHeadUnits, length);
  for (std::size_t i = 0; i < units; ++i) task_.path.push_back(UnitAt(record, 16 + 2 * i));
  open_ = true;
  return Step::kMore;
}

LongTaskReader::Step LongTaskReader::Finish(IndexTask* task, std::string* why) {
  open_ = false;
  if (!ValidPath(task_.path)) {
    *why = "long path is not absolute, holds a zero unit or is too long";
    return Step::kDamaged;
  }
  *task = std::move(task_);
  return Step::kTask;
}

}  // namespace trovix::indexer
