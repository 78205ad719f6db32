// The hash list made anew from the files in the folders of the user's rules, while captures go
// on: a line appended during the rebuild is carried into the new file.
#include <sys/stat.h>

#include <set>
#include <utility>

#include "model/file_digest.h"
#include "model/hash_list.h"
#include "model/hash_list_index.h"
#include "platform/atomic_write.h"
#include "platform/errors.h"
#include "platform/file_system.h"

namespace trovanex {
namespace {

// The folders of a condition chain, each once, with the files each holds.
struct FolderScan {
  std::string folder;  // ends with the separator
  std::vector<std::string> names;
};

std::vector<FolderScan> ScanFolders(const TSearchCondition* first, std::size_t& total) {
  std::vector<FolderScan> scans;
  std::set<std::pair<dev_t, ino_t>> seen_folders;  // the same folder under any spelling
  std::set<std::string> seen_missing;
  total = 0;
  for (const TSearchCondition* condition = first; condition; condition = condition->Next) {
    for (auto* item = condition->FirstFolder(); item; item = item->NextItem()) {
      std::string folder = WithTrailingSeparator(item->Path);
      struct stat st {};
      const bool is_folder = ::stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
      const bool first_time = is_folder ? seen_folders.insert({st.st_dev, st.st_ino}).second
                                        : seen_missing.insert(folder).second;
      if (!first_time) continue;
      FolderScan scan{std::move(folder), {}};
      if (is_folder) scan.names = ListFiles(scan.folder);
      std::erase_if(scan.names,
                    [&](const std::string& name) { return !Listable(scan.folder + name); });
      total += scan.names.size();
      scans.push_back(std::move(scan));
    }
  }
  return scans;
}

}  // namespace

bool THashList::RebuildHashList(const TSearchCondition* first, const Progress& progress) {
  bool idle = false;
  if (!rebuilding_.compare_exchange_strong(idle, true)) return false;
  struct Running {
    THashList& list;
    ~Running() {
      MutexLock lock(list.lock_);
      list.collecting_ = false;
      list.appended_meanwhile_.clear();
      list.rebuilding_ = false;
    }
  } running{*this};

  // Lines appended from here on are carried into the new file: a file saved after its folder
  // was listed has no rebuilt line.
  {
    MutexLock lock(lock_);
    collecting_ = true;
    appended_meanwhile_.clear();
  }
  std::size_t total = 0;
  const std::vector<FolderScan> scans = ScanFolders(first, total);

  FileReplacement replacement(file_path_);
  const auto fail = [&] {
    throw FileError("cannot write " + file_path_ + ": " +
                    SystemErrorText(replacement.Result().error));
  };
  if (!replacement.Result().ok()) fail();

  std::string pending;
  std::size_t done = 0;
  for (const FolderScan& scan : scans) {
    for (const std::string& name : scan.names) {
      const std::string path = scan.folder + name;
      pending += FormatHashLine(FileDigest(path), path, ListedFileSize(path), nullptr);
      if (pending.size() >= 65536) {
        if (!replacement.Write(pending)) fail();
        pending.clear();
      }
      if (progress) progress(++done, total);
    }
  }

  MutexLock lock(lock_);
  for (const std::string& line : appended_meanwhile_) pending += line;
  if (!replacement.Write(pending) || !replacement.Commit().ok()) fail();
  DropIndexLocked();
  RequestIndexLocked();
  return true;
}

}  // namespace trovanex
