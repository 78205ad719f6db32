#include "model/hash_list.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <set>
#include <utility>

#include "model/file_digest.h"
#include "platform/errors.h"
#include "platform/file_system.h"

namespace trovanex {
namespace {

// A change within this long of the last one may carry the same time stamp as it.
constexpr long long kRacyWindowNs = 100'000'000;

bool IsRecent(const timespec& when) {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  const long long age = (static_cast<long long>(now.tv_sec) - when.tv_sec) * 1'000'000'000LL +
                        (now.tv_nsec - when.tv_nsec);
  return age < kRacyWindowNs && age > -kRacyWindowNs;
}

// A path or address with a line end or the field separator in it would break the file's
// lines apart; such a file is left out rather than written as a broken line.
bool Listable(std::string_view text) {
  return text.find_first_of("\r\n") == std::string_view::npos &&
         text.find("<>") == std::string_view::npos;
}

// An address holding the separator or a control character is left out of its line, which then
// still makes the content known.
bool ListableAddress(std::string_view address) {
  return Listable(address) && std::none_of(address.begin(), address.end(), [](char c) {
           return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
         });
}

std::string_view WithoutLineEnd(std::string_view line) {
  return line.substr(0, line.find_first_of("\r\n"));
}

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

bool THashList::Stamp::operator==(const Stamp& other) const {
  return exists == other.exists && device == other.device && inode == other.inode &&
         size == other.size && modified.tv_sec == other.modified.tv_sec &&
         modified.tv_nsec == other.modified.tv_nsec && changed.tv_sec == other.changed.tv_sec &&
         changed.tv_nsec == other.changed.tv_nsec;
}

THashList::Stamp THashList::StampOf(const struct stat& st) {
  return Stamp{true, st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim};
}

THashList::THashList(std::string file_path)
    : file_path_(std::move(file_path)), watch_(file_path_) {}

THashList::ReportWhenDone::~ReportWhenDone() {
  if (problem.empty() || !list.report_) return;
  try {
    list.report_(problem);
  } catch (...) {
    // A report that fails must not fail the lookup that met the problem.
  }
}

std::string THashList::RefreshLocked() {
  try {
    ReadLocked();
  } catch (const FileError& failure) {
    // Served as if nothing were stored; tried again on every use until it can be read.
    index_.Clear();
    stamp_ = Stamp{};
    index_valid_ = false;
    if (unreadable_reported_) return {};
    unreadable_reported_ = true;
    return std::string(failure.what()) + "; answering as if nothing were stored";
  }
  unreadable_reported_ = false;
  return {};
}

void THashList::ReadLocked() {
  if (watch_.Working()) {
    // The watch reports every write, whatever the time stamps can tell: read the file again
    // exactly when it changed.
    if (index_valid_ && !watch_.MaybeChanged()) return;
    index_valid_ = false;
  }
  struct stat st {};
  if (::stat(file_path_.c_str(), &st) != 0) {
    if (!index_valid_ || stamp_.exists) {
      index_.Clear();
      stamp_ = Stamp{};
      index_valid_ = true;
      racy_ = false;
    }
    return;
  }
  if (index_valid_ && !racy_ && StampOf(st) == stamp_) return;

  // Read until the file holds still while we read it.
  for (int attempt = 0;; ++attempt) {
    const int fd = ::open(file_path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      if (errno == ENOENT) return ReadLocked();  // deleted meanwhile
      throw FileError("cannot open " + file_path_ + ": " + SystemErrorText(errno));
    }
    struct stat before = {};
    struct stat after = {};
    ::fstat(fd, &before);
    if (!S_ISREG(before.st_mode)) {
      ::close(fd);
      throw FileError("cannot read " + file_path_ + ": not a regular file");
    }
    std::string text(static_cast<std::size_t>(before.st_size), '\0');
    std::size_t got = 0;
    for (;;) {
      if (got == text.size()) text.resize(text.size() + 65536);
      const ssize_t n = ::read(fd, text.data() + got, text.size() - got);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        if (n < 0) {
          const int error = errno;
          ::close(fd);
          throw FileError("cannot read " + file_path_ + ": " + SystemErrorText(error));
        }
        break;
      }
      got += static_cast<std::size_t>(n);
    }
    text.resize(got);
    ::fstat(fd, &after);
    ::close(fd);
    if (!(StampOf(before) == StampOf(after)) && attempt < 3) continue;

    index_.Clear();
    index_.AddText(std::move(text));
    stamp_ = StampOf(after);
    index_valid_ = true;
    racy_ = IsRecent(stamp_.modified) || IsRecent(stamp_.changed);
    return;
  }
}

void THashList::AppendHash(const std::string& path, const std::string& address) {
  AppendHash(path, address, FileDigest(path));
}

void THashList::AppendHash(const std::string& path, const std::string& address,
                           const std::string& digest) {
  if (!Listable(path))
    throw FileError("cannot list " + path + " in " + file_path_ +
                    ": its name would break the line");
  const std::string line = FormatHashLine(digest, path, ListedFileSize(path),
                                          ListableAddress(address) ? &address : nullptr);

  std::string problem;
  const ReportWhenDone report{*this, problem};  // runs once the lock below is released
  MutexLock lock(lock_);
  problem = RefreshLocked();
  const int fd = ::open(file_path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) throw FileError("cannot open " + file_path_ + ": " + SystemErrorText(errno));
  struct stat st {};
  const bool stated_before = ::fstat(fd, &st) == 0;
  const off_t old_size = st.st_size;
  const bool written = WriteAll(fd, line);
  const int error = errno;
  if (!written) {
    // Half a line would glue the next one onto it: the file goes back to what it was.
    const bool restored = stated_before && ::ftruncate(fd, old_size) == 0;
    ::close(fd);
    index_valid_ = false;
    throw FileError("cannot write " + file_path_ + ": " + SystemErrorText(error) +
                    (restored ? "" : "; the file may end in a cut line"));
  }
  const bool stated = ::fstat(fd, &st) == 0;
  ::close(fd);
  if (collecting_) appended_meanwhile_.push_back(line);

  // Our line alone was added to the file the index describes: extend the index in place.
  const off_t size_before = stamp_.exists ? stamp_.size : 0;
  const bool same_file = !stamp_.exists || stamp_.inode == st.st_ino;
  if (stated && same_file && st.st_size == size_before + static_cast<off_t>(line.size())) {
    index_.AddLine(std::string(WithoutLineEnd(line)));
    stamp_ = StampOf(st);
    // What the watch queued for this write is our own line; another program's write in the
    // same few microseconds would have changed the size checked above.
    if (watch_.Working())
      watch_.MaybeChanged();
    else
      racy_ = true;  // our write's time stamp cannot tell the next change apart
  } else {
    index_valid_ = false;
  }
}

bool THashList::IsKnown(const std::string& path) {
  return IsKnownContent(FileDigest(path), ListedFileSize(path));
}

bool THashList::IsKnownContent(const std::string& digest, std::uint64_t size) {
  if (digest.empty()) return false;  // unreadable content is not known content
  std::vector<std::pair<std::string, std::uint64_t>> candidates;
  std::string problem;
  {
    const ReportWhenDone report{*this, problem};
    MutexLock lock(lock_);
    problem = RefreshLocked();
    candidates = index_.FilesWithDigest(digest);
  }
  for (auto& [stored, number] : candidates) {
    if (number == 0) number = ListedFileSize(stored);
    if (number == size) return true;
  }
  return false;
}

std::string THashList::LocalFileFor(const std::string& address) {
  if (address.empty()) return {};
  std::vector<std::string> candidates;
  std::string problem;
  {
    const ReportWhenDone report{*this, problem};
    MutexLock lock(lock_);
    problem = RefreshLocked();
    candidates = index_.PathsForAddress(address);
  }
  for (auto& stored : candidates)
    if (FileExists(stored)) return std::move(stored);
  return {};
}

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

  std::string temp = file_path_ + ".XXXXXX";
  const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) throw FileError("cannot create " + temp + ": " + SystemErrorText(errno));
  ::fchmod(fd, 0644);
  const auto fail = [&](int error) {
    ::close(fd);
    ::unlink(temp.c_str());
    throw FileError("cannot write " + file_path_ + ": " + SystemErrorText(error));
  };

  std::string pending;
  std::size_t done = 0;
  for (const FolderScan& scan : scans) {
    for (const std::string& name : scan.names) {
      const std::string path = scan.folder + name;
      pending += FormatHashLine(FileDigest(path), path, ListedFileSize(path), nullptr);
      if (pending.size() >= 65536) {
        if (!WriteAll(fd, pending)) fail(errno);
        pending.clear();
      }
      if (progress) progress(++done, total);
    }
  }

  MutexLock lock(lock_);
  for (const std::string& line : appended_meanwhile_) pending += line;
  if (!WriteAll(fd, pending) || ::fsync(fd) != 0) fail(errno);
  if (::close(fd) != 0 || ::rename(temp.c_str(), file_path_.c_str()) != 0) {
    const int error = errno;
    ::unlink(temp.c_str());
    throw FileError("cannot write " + file_path_ + ": " + SystemErrorText(error));
  }
  index_valid_ = false;
  return true;
}

}  // namespace trovanex
