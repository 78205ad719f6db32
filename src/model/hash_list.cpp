#include "model/hash_list.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "model/file_digest.h"
#include "model/hash_list_file.h"
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

THashList::THashList(std::string file_path) : THashList(std::move(file_path), Seams{}) {}

THashList::THashList(std::string file_path, Seams seams)
    : file_path_(std::move(file_path)),
      seams_(std::move(seams)),
      watch_(file_path_),
      index_(seams_.key_hash) {
  index_thread_ = std::thread(&THashList::BuildIndexes, this);
}

THashList::~THashList() {
  {
    MutexLock lock(lock_);
    stopping_ = true;
  }
  index_work_.notify_all();
  index_thread_.join();
}

THashList::OpenFile::~OpenFile() {
  ::close(fd);
}

THashList::ReportWhenDone::~ReportWhenDone() {
  if (problem.empty() || !list.report_) return;
  try {
    list.report_(problem);
  } catch (...) {
    // A report that fails must not fail the lookup that met the problem.
  }
}

std::string THashList::ProblemLocked(const std::exception& failure) {
  // Served as if nothing were stored; tried again on every use until it can be read.
  if (unreadable_reported_) return {};
  unreadable_reported_ = true;
  return std::string(failure.what()) + "; answering as if nothing were stored";
}

void THashList::DropIndexLocked() {
  index_ = HashListIndex(seams_.key_hash);
  indexed_file_.reset();
  stamp_ = Stamp{};
  index_valid_ = false;
}

void THashList::RequestIndexLocked() {
  // A build under way checks, before it puts its index in place, that the file is still the
  // one it read.
  if (index_building_ || index_wanted_) return;
  index_wanted_ = true;
  index_work_.notify_one();
}

THashList::Source THashList::CurrentLocked() {
  if (index_valid_ && watch_.Working()) {
    // The watch reports every write, whatever the time stamps can tell.
    if (!watch_.MaybeChanged()) return stamp_.exists ? Source::kIndex : Source::kNothing;
    DropIndexLocked();
  }
  struct stat st {};
  if (::stat(file_path_.c_str(), &st) != 0) {
    if (!index_valid_ || stamp_.exists) {
      DropIndexLocked();
      index_valid_ = true;  // of no file: nothing is stored
      racy_ = false;
    }
    return Source::kNothing;
  }
  if (!S_ISREG(st.st_mode)) {
    DropIndexLocked();
    throw FileError("cannot read " + file_path_ + ": not a regular file");
  }
  if (index_valid_ && !racy_ && StampOf(st) == stamp_)
    return stamp_.exists ? Source::kIndex : Source::kNothing;
  DropIndexLocked();
  RequestIndexLocked();
  return Source::kFile;
}

void THashList::BuildIndexes() {
  MutexLock lock(lock_);
  for (;;) {
    while (!stopping_ && !index_wanted_) lock.Wait(index_work_);
    if (stopping_) return;
    index_wanted_ = false;
    index_building_ = true;
    // Read until the file holds still while it is read.
    while (!stopping_) {
      // Whatever the watch saw so far is in what is read now; until then lookups read the file.
      DropIndexLocked();
      if (watch_.Working()) watch_.MaybeChanged();
      const int fd = ::open(file_path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
      if (fd < 0) {
        if (errno == ENOENT) {
          DropIndexLocked();
          index_valid_ = true;  // of no file
          racy_ = false;
        }
        break;  // else lookups read the file, and report why they cannot
      }
      auto file = std::make_shared<const OpenFile>(fd);
      struct stat before {};
      if (::fstat(fd, &before) != 0 || !S_ISREG(before.st_mode)) break;

      lock.Unlock();
      std::optional<HashListIndex> built =
          ReadIndex(fd, static_cast<std::uint64_t>(before.st_size));
      struct stat after {};
      const bool stated = ::fstat(fd, &after) == 0;
      if (built && seams_.before_index_ready) seams_.before_index_ready();
      lock.Lock();

      if (!built) break;
      struct stat now {};
      if (stated && ::stat(file_path_.c_str(), &now) == 0 && StampOf(before) == StampOf(after) &&
          StampOf(before) == StampOf(now)) {
        index_ = std::move(*built);
        indexed_file_ = std::move(file);
        stamp_ = StampOf(before);
        index_valid_ = true;
        racy_ = IsRecent(stamp_.modified) || IsRecent(stamp_.changed);
        break;
      }
      lock.Unlock();
      built.reset();  // freed before the next read, not under the lock
      file.reset();
      lock.Lock();
    }
    index_building_ = false;
    index_built_.notify_all();
  }
}

std::optional<HashListIndex> THashList::ReadIndex(int fd, std::uint64_t size) const {
  HashListIndex built(seams_.key_hash);
  try {
    HashFileBlocks blocks(fd, size, file_path_);
    std::string_view lines;
    std::uint64_t offset = 0;
    while (blocks.Next(lines, offset)) {
      if (stopping_) return std::nullopt;
      built.AddText(lines, offset);
      if (offset == 0) built.ReserveFor(lines.size(), size);
    }
  } catch (const FileError&) {
    return std::nullopt;  // lookups read the file meanwhile, and report what fails
  }
  built.Seal();
  return built;
}

bool THashList::WaitUntilIndexed(std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  MutexLock lock(lock_);
  for (;;) {
    try {
      if (CurrentLocked() != Source::kFile) return true;
    } catch (const FileError&) {
      return false;
    }
    while (index_wanted_ || index_building_)
      if (!lock.WaitUntil(index_built_, deadline)) return false;
  }
}

std::size_t THashList::IndexMemoryBytes() {
  MutexLock lock(lock_);
  return index_.MemoryBytes();
}

void THashList::AppendHash(const std::string& path, const std::string& address) {
  AppendHash(path, address, CopyScheme::kHttp, FileDigest(path));
}

void THashList::AppendHash(const std::string& path, const std::string& address, CopyScheme scheme,
                           const std::string& digest) {
  if (!Listable(path))
    throw FileError("cannot list " + path + " in " + file_path_ +
                    ": its name would break the line");
  const std::string line = FormatHashLine(digest, path, ListedFileSize(path),
                                          ListableAddress(address) ? &address : nullptr, scheme);

  std::string problem;
  const ReportWhenDone report{*this, problem};  // runs once the lock below is released
  MutexLock lock(lock_);
  try {
    CurrentLocked();
  } catch (const FileError& failure) {
    problem = ProblemLocked(failure);
  }
  const int fd = ::open(file_path_.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) throw FileError("cannot open " + file_path_ + ": " + SystemErrorText(errno));
  struct stat st {};
  const bool stated_before = ::fstat(fd, &st) == 0;
  const off_t old_size = st.st_size;
  // A last line left without its line end by another program would swallow this one.
  char last = '\n';
  const bool glued = stated_before && old_size > 0 && ::pread(fd, &last, 1, old_size - 1) == 1 &&
                     last != '\n' && last != '\r';
  const bool written = WriteAll(fd, glued ? "\r\n" + line : line);
  const int error = errno;
  if (!written) {
    // Half a line would glue the next one onto it: the file goes back to what it was.
    const bool restored = stated_before && ::ftruncate(fd, old_size) == 0;
    ::close(fd);
    if (index_valid_) DropIndexLocked();
    throw FileError("cannot write " + file_path_ + ": " + SystemErrorText(error) +
                    (restored ? "" : "; the file may end in a cut line"));
  }
  const bool stated = ::fstat(fd, &st) == 0;
  ::close(fd);
  if (collecting_) appended_meanwhile_.push_back(line);

  // Our line alone was added to the file the index describes: extend the index in place.
  const off_t line_at = old_size + (glued ? 2 : 0);
  if (index_valid_ && indexed_file_ && stated && stamp_.inode == st.st_ino &&
      stamp_.device == st.st_dev && stamp_.size == old_size &&
      st.st_size == line_at + static_cast<off_t>(line.size())) {
    index_.AddLine(WithoutLineEnd(line), static_cast<std::uint64_t>(line_at));
    stamp_ = StampOf(st);
    // What the watch queued for this write is our own line; another program's write in the
    // same few microseconds would have changed the size checked above.
    if (watch_.Working())
      watch_.MaybeChanged();
    else
      racy_ = true;  // our write's time stamp cannot tell the next change apart
  } else if (index_valid_) {
    DropIndexLocked();
    RequestIndexLocked();
  }
}

bool THashList::IsKnown(const std::string& path) {
  return IsKnownContent(FileDigest(path), ListedFileSize(path));
}

bool THashList::IsKnownContent(const std::string& digest, std::uint64_t size) {
  if (digest.empty()) return false;  // unreadable content is not known content
  return FindLine(Field::kDigest, digest, [size](const HashLine& line) {
    const std::uint64_t number =
        line.number != 0 ? line.number : ListedFileSize(std::string(line.path));
    return number == size;
  });
}

std::string THashList::LocalFileFor(const std::string& address, CopyScheme scheme) {
  if (address.empty()) return {};
  std::string found;
  FindLine(Field::kAddress, address, [&found, scheme](const HashLine& line) {
    if (line.scheme != scheme || !FileExists(std::string(line.path))) return false;
    found = line.path;
    return true;
  });
  return found;
}

THashList::Candidates THashList::CandidatesLocked(Field field, std::string_view key) {
  Candidates candidates;
  candidates.source = CurrentLocked();
  if (candidates.source == Source::kIndex) {
    candidates.file = indexed_file_;
    candidates.offsets =
        field == Field::kAddress ? index_.LinesWithAddress(key) : index_.LinesWithDigest(key);
  } else if (candidates.source == Source::kFile) {
    // Opened under the lock: the size read now ends with a whole line of our own appends.
    const int fd = ::open(file_path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      if (errno == ENOENT) return Candidates{};  // deleted meanwhile
      throw FileError("cannot open " + file_path_ + ": " + SystemErrorText(errno));
    }
    candidates.file = std::make_shared<const OpenFile>(fd);
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
      throw FileError("cannot read " + file_path_ + ": not a regular file");
    candidates.size = static_cast<std::uint64_t>(st.st_size);
  }
  unreadable_reported_ = false;
  return candidates;
}

bool THashList::FindLine(Field field, std::string_view key,
                         const std::function<bool(const HashLine&)>& fits) {
  std::string problem;
  const ReportWhenDone report{*this, problem};
  Candidates candidates;
  {
    MutexLock lock(lock_);
    try {
      candidates = CandidatesLocked(field, key);
    } catch (const FileError& failure) {
      problem = ProblemLocked(failure);
      return false;
    }
  }
  // The lines are read and the stored files looked at with the lock released.
  const auto fitting = [&](std::string_view text) {
    const HashLine line = ParseHashLine(text);
    return (field == Field::kAddress ? line.address : line.digest) == key && fits(line);
  };
  try {
    if (candidates.source == Source::kIndex) {
      for (const std::uint64_t offset : candidates.offsets)
        if (fitting(ReadHashLineAt(candidates.file->fd, offset, file_path_))) return true;
    } else if (candidates.source == Source::kFile) {
      bool found = false;
      ForEachHashLineHolding(candidates.file->fd, candidates.size, file_path_, key,
                             [&](std::string_view text) { return found = fitting(text); });
      return found;
    }
  } catch (const FileError& failure) {
    MutexLock lock(lock_);
    problem = ProblemLocked(failure);
  }
  return false;
}

}  // namespace trovanex
