#include "indexer/tree_indexer.h"

#include <dirent.h>
#include <sys/stat.h>

#include <memory>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/file_info.h"
#include "platform/wstring.h"
#include "shared/index_limits.h"

namespace trovix::indexer {
namespace {

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};

std::uint64_t Ticks(FILETIME ft) {
  return static_cast<std::uint64_t>(ft.dwHighDateTime) << 32 | ft.dwLowDateTime;
}

// What the catalogue knows of the files of one folder, by name.
class FolderRows final : public ICatalogueRowSink {
 public:
  HRESULT Row(const CatalogueRow& row) override {
    rows_[Utf16ToUtf8(row.name)] = {Ticks(row.last_update), row.has_words != 0};
    return S_OK;
  }
  // True when `name` has words and a row written no earlier than
  // `last_write`.
  [[nodiscard]] bool Current(const std::string& name, FILETIME last_write) const {
    const auto found = rows_.find(name);
    return found != rows_.end() && found->second.has_words &&
           found->second.updated >= Ticks(last_write);
  }
  // Marks `name` as found wanted on disk.
  void Found(const std::string& name) {
    if (const auto found = rows_.find(name); found != rows_.end()) found->second.found = true;
  }
  // The catalogued names not marked found.
  [[nodiscard]] std::vector<std::string> NotFound() const {
    std::vector<std::string> names;
    for (const auto& [name, row] : rows_) {
      if (!row.found) names.push_back(name);
    }
    return names;
  }

 private:
  struct Known {
    std::uint64_t updated;
    bool has_words;
    bool found = false;
  };
  std::unordered_map<std::string, Known> rows_;
};

// The catalogued folders below a root, as ReadFolders reports them.
class CataloguedFolders final : public ICatalogueFolderSink {
 public:
  HRESULT Folder(const WCHAR* path) override {
    paths_.push_back(Utf16ToUtf8(path));
    return S_OK;
  }
  std::vector<std::string>& paths() { return paths_; }

 private:
  std::vector<std::string> paths_;
};

// Collects the name of every row of a folder, for the pruning of a folder the
// walk did not list.
class RowNames final : public ICatalogueRowSink {
 public:
  HRESULT Row(const CatalogueRow& row) override {
    names_.push_back(Utf16ToUtf8(row.name));
    return S_OK;
  }
  const std::vector<std::string>& names() const { return names_; }

 private:
  std::vector<std::string> names_;
};

struct Listing {
  std::vector<std::string> files;    // names
  std::vector<std::string> folders;  // names, on the walk's device
};

// The entries of `folder`, asking the file system only when the listing
// does not tell the type (some file systems report DT_UNKNOWN) or a folder
// may be another mount. False when it cannot be listed or the walk stops.
bool List(const std::string& folder, dev_t device, const std::function<bool()>& keep_going,
          const WantedFile& enter, Listing* listing) {
  const std::unique_ptr<DIR, DirCloser> dir(opendir(folder.c_str()));
  if (!dir) return false;
  while (keep_going()) {
    const dirent* entry = readdir(dir.get());
    if (entry == nullptr) return true;
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (entry->d_type == DT_REG) {
      listing->files.push_back(name);
      continue;
    }
    if (entry->d_type != DT_UNKNOWN && entry->d_type != DT_DIR) continue;
    if (entry->d_type == DT_DIR && enter && !enter(folder + name)) continue;
    struct stat st {};
    if (lstat((folder + name).c_str(), &st) != 0) continue;
    if (S_ISREG(st.st_mode)) listing->files.push_back(name);
    if (S_ISDIR(st.st_mode) && st.st_dev == device && (!enter || enter(folder + name))) {
      listing->folders.push_back(name);
    }
  }
  return false;
}

class TreeWalk {
 public:
  TreeWalk(ITrovixBatch* store, BulkIndexer& bulk, const WantedFile& wanted,
           const SettledFile& settled, const std::function<bool()>& keep_going,
           const WantedFile& enter, const WantedFile& prune)
      : store_(store),
        bulk_(bulk),
        wanted_(wanted),
        settled_(settled),
        keep_going_(keep_going),
        enter_(enter),
        prune_(prune) {}

  bool Walk(const std::string& folder, dev_t device) {
    Listing listing;
    if (!List(folder, device, keep_going_, enter_, &listing)) return keep_going_();
    if (prune_) listed_.insert(folder);
    if (!Files(folder, listing.files)) return false;
    for (const std::string& name : listing.folders) {
      if (!keep_going_() || !Walk(folder + name + "/", device)) return false;
    }
    return keep_going_();
  }

  // After a complete walk from `root`: the catalogued files of the folders
  // not listed that prune_ rejects. False when the walk stops meanwhile.
  bool PruneUnlisted(const std::string& root) {
    if (!prune_ || !listed_.contains(root)) return keep_going_();
    CataloguedFolders folders;
    if (store_->ReadFolders(Utf8ToUtf16(root).c_str(), &folders) != S_OK) return keep_going_();
    for (const std::string& folder : folders.paths()) {
      if (listed_.contains(folder)) continue;
      RowNames rows;
      if (store_->ReadFolder(Utf8ToUtf16(folder).c_str(), &rows) != S_OK) continue;
      for (const std::string& name : rows.names()) {
        if (!keep_going_()) return false;
        if (!prune_(folder + name)) static_cast<void>(bulk_.Remove(folder + name));
      }
    }
    return keep_going_();
  }

 private:
  bool Files(const std::string& folder, const std::vector<std::string>& names) {
    FolderRows rows;
    // A folder that cannot be read is as one without rows: every file is
    // written again, which is correct if slower, and none is removed.
    static_cast<void>(store_->ReadFolder(Utf8ToUtf16(folder).c_str(), &rows));
    for (const std::string& name : names) {
      if (!keep_going_()) return false;
      const std::string path = folder + name;
      if (!wanted_(path)) continue;
      if (!FitsCatalogue(path)) {
        settled_(path, FileOutcome::kTooLong);
        continue;
      }
      rows.Found(name);
      FileAttributes attributes{};
      if (ReadFileAttributes(path, &attributes) == 0 && rows.Current(name, attributes.last_write)) {
        settled_(path, FileOutcome::kUnchanged);
        continue;
      }
      // Refused after a store failure: told, so that the caller can count
      // what was not done; the caller's keep_going decides whether to go on.
      if (!bulk_.Add(path)) settled_(path, FileOutcome::kStoreUnavailable);
    }
    if (prune_) {
      // Asked on disk once more: a file made after the listing may have
      // been catalogued (by the change monitor) before the rows were read.
      // A refused removal follows a store failure, which ends the walk.
      for (const std::string& name : rows.NotFound()) {
        if (!prune_(folder + name)) static_cast<void>(bulk_.Remove(folder + name));
      }
    }
    return true;
  }

  ITrovixBatch* store_;
  BulkIndexer& bulk_;
  const WantedFile& wanted_;
  const SettledFile& settled_;
  const std::function<bool()>& keep_going_;
  const WantedFile& enter_;
  const WantedFile& prune_;
  std::unordered_set<std::string> listed_;  // folders listed, with their trailing '/'
};

}  // namespace

bool IndexTree(const std::string& folder, ITrovixBatch* store, BulkIndexer& bulk,
               const WantedFile& wanted, const SettledFile& settled,
               const std::function<bool()>& keep_going, const WantedFile& enter,
               const WantedFile& prune) {
  struct stat st {};
  if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return keep_going();
  const std::string start = folder.ends_with('/') ? folder : folder + "/";
  TreeWalk walk(store, bulk, wanted, settled, keep_going, enter, prune);
  return walk.Walk(start, st.st_dev) && walk.PruneUnlisted(start);
}

}  // namespace trovix::indexer
