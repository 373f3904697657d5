#include "indexer/directory_walk.h"

#include <dirent.h>
#include <sys/stat.h>

#include <memory>

namespace trovix::indexer {
namespace {

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};

// The entry's type, asking the file system only when the listing does not
// say (some file systems report DT_UNKNOWN).
unsigned char EntryType(const std::string& path, const dirent& entry, dev_t* device) {
  struct stat st {};
  if (entry.d_type != DT_UNKNOWN && entry.d_type != DT_DIR) return entry.d_type;
  if (lstat(path.c_str(), &st) != 0) return DT_UNKNOWN;
  *device = st.st_dev;
  if (S_ISDIR(st.st_mode)) return DT_DIR;
  if (S_ISREG(st.st_mode)) return DT_REG;
  return DT_UNKNOWN;
}

bool Walk(const std::string& folder, dev_t root_device, const FileVisitor& visit,
          const std::function<bool()>& keep_going) {
  std::unique_ptr<DIR, DirCloser> dir(opendir(folder.c_str()));
  if (!dir) return keep_going();
  while (keep_going()) {
    const dirent* entry = readdir(dir.get());
    if (entry == nullptr) break;
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    const std::string path = folder + name;
    dev_t device = root_device;
    const unsigned char type = EntryType(path, *entry, &device);
    if (type == DT_REG) {
      visit(path);
    } else if (type == DT_DIR && device == root_device) {
      if (!Walk(path + "/", root_device, visit, keep_going)) return false;
    }
  }
  return keep_going();
}

}  // namespace

bool WalkFolder(const std::string& folder, const FileVisitor& visit,
                const std::atomic<unsigned>& keep_going) {
  return WalkFolder(folder, visit, [&keep_going] { return keep_going.load() != 0; });
}

bool WalkFolder(const std::string& folder, const FileVisitor& visit,
                const std::function<bool()>& keep_going) {
  struct stat st {};
  if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return keep_going();
  const std::string start = folder.ends_with('/') ? folder : folder + "/";
  return Walk(start, st.st_dev, visit, keep_going);
}

}  // namespace trovix::indexer
