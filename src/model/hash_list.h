// "hash.dat": the memory of what is already stored. Each line names a stored file by the MD5
// digest of its content, its path and size, and for files saved from the network the address
// they came from and, for those fetched inside an opened tunnel, a mark saying so. It answers
// two questions: is this content already stored under either scheme (IsKnown), and was this
// address saved before over the scheme asked about (LocalFileFor).
//
// The file stays the single source of truth: lookups answer exactly what reading it from the
// top would answer, also after another program changed or deleted it. They use an index of
// where each key's lines start, built on a thread of its own when the list is made and again
// whenever the file is no longer the one it was built from; until it is ready, lookups read
// the file. Every operation is safe from many threads at once; a rebuild writes a new file
// beside the old one and puts it in place with the lines appended meanwhile, and a second
// rebuild is refused while one runs.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <sys/stat.h>
#include <sys/types.h>

#include "model/hash_list_index.h"
#include "model/search_condition.h"
#include "platform/file_watch.h"
#include "platform/thread_annotations.h"

namespace trovanex {

inline constexpr char kHashListFileName[] = "hash.dat";

class THashList {
 public:
  // Called after each file digested by a rebuild, with the files done and the files in all.
  using Progress = std::function<void(std::size_t done, std::size_t total)>;

  // Seams for tests: the hash the index files keys under, and a call the index's thread makes,
  // holding no lock, before it puts a finished index in place.
  struct Seams {
    HashListIndex::KeyHash key_hash = HashListIndex::DefaultKeyHash;
    std::function<void()> before_index_ready;
  };

  // Starts building the index at once, on a thread of its own.
  explicit THashList(std::string file_path);
  THashList(std::string file_path, Seams seams);
  ~THashList();
  THashList(const THashList&) = delete;
  THashList& operator=(const THashList&) = delete;

  // Where a file that exists but cannot be read is reported, once until it can be read again;
  // lookups meanwhile answer as if nothing were stored. Set before the list is shared; called
  // on the thread that met the problem, outside the list's lock.
  void SetProblemReport(std::function<void(const std::string&)> report) {
    report_ = std::move(report);
  }

  const std::string& FilePath() const { return file_path_; }

  // Writes the file anew from the save folders of `first` and the conditions chained after it,
  // each folder once, subfolders not entered, in lines without an address (so they answer no
  // request under either scheme); lines appended meanwhile are kept as written, mark and all.
  // False, doing nothing, while another rebuild runs. Throws FileError when the new file cannot
  // be written (the old one is then kept).
  bool RebuildHashList(const TSearchCondition* first, const Progress& progress = {})
      EXCLUDES(lock_);

  // Adds the line of a saved file with the address it came from, fetched over plain HTTP; an
  // address that would break the line (a "<>" or a control character in it) is left out. Throws
  // FileError when the line cannot be written.
  void AppendHash(const std::string& path, const std::string& address) EXCLUDES(lock_);
  // The same for a copy fetched over `scheme`, with the digest of the file's content already
  // known (a large capture is then read once, not twice).
  void AppendHash(const std::string& path, const std::string& address, CopyScheme scheme,
                  const std::string& digest) EXCLUDES(lock_);

  // Whether a line has the digest of `path` and either its size or, where the size recorded is
  // 0 or absent, a stored file of that same size now.
  bool IsKnown(const std::string& path) EXCLUDES(lock_);
  // The same for content whose digest and listed size are already known.
  bool IsKnownContent(const std::string& digest, std::uint64_t size) EXCLUDES(lock_);

  // The stored file of the first line with exactly this address, fetched over `scheme`, whose
  // file still exists, or "". A request inside an opened tunnel asks for kHttps, any other for
  // kHttp.
  std::string LocalFileFor(const std::string& address, CopyScheme scheme) EXCLUDES(lock_);
  // A plain request's lookup.
  std::string LocalFileFor(const std::string& address) EXCLUDES(lock_) {
    return LocalFileFor(address, CopyScheme::kHttp);
  }

  // Waits until lookups are answered from an index of the file as it is now; false when that
  // did not happen within `limit` (for benchmarks and tests).
  bool WaitUntilIndexed(std::chrono::milliseconds limit) EXCLUDES(lock_);
  std::size_t IndexMemoryBytes() EXCLUDES(lock_);

 private:
  struct Stamp {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{};
    timespec changed{};
    bool operator==(const Stamp& other) const;
  };
  static Stamp StampOf(const struct stat& st);

  // An open descriptor of the file an index was built from; lookups read candidate lines
  // through it after the lock is released.
  struct OpenFile {
    explicit OpenFile(int descriptor) : fd(descriptor) {}
    ~OpenFile();
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;
    const int fd;
  };
  // Where a lookup finds the file's lines.
  enum class Source { kNothing, kIndex, kFile };
  // Which lines may answer a lookup, taken under the lock and read after it.
  struct Candidates {
    Source source = Source::kNothing;
    std::shared_ptr<const OpenFile> file;
    std::vector<std::uint64_t> offsets;  // kIndex: where the candidate lines start
    std::uint64_t size = 0;              // kFile: read this far
  };
  enum class Field { kDigest, kAddress };

  // Calls fits(line) for each line whose `field` is exactly `key`, in file order, until it
  // returns true; returns whether one did. Reports a file that cannot be read.
  bool FindLine(Field field, std::string_view key, const std::function<bool(const HashLine&)>& fits)
      EXCLUDES(lock_);
  Candidates CandidatesLocked(Field field, std::string_view key) REQUIRES(lock_);
  // Whether index_ answers for the file as it is now (kIndex), the file is missing (kNothing),
  // or the file must be read (kFile; an index of it has been asked for). Throws FileError when
  // the file cannot be read.
  Source CurrentLocked() REQUIRES(lock_);
  void DropIndexLocked() REQUIRES(lock_);
  void RequestIndexLocked() REQUIRES(lock_);
  // The text to report for a file that cannot be read: once, until it can be read again.
  std::string ProblemLocked(const std::exception& failure) REQUIRES(lock_);
  // Reports a problem when it goes out of scope: declared before the lock it was met under.
  struct ReportWhenDone {
    const THashList& list;
    const std::string& problem;
    ~ReportWhenDone();
  };

  // The index's thread: builds whenever asked, until the list is destroyed.
  void BuildIndexes() EXCLUDES(lock_);
  // The index of the first `size` bytes, or nothing when stopped or a read failed.
  std::optional<HashListIndex> ReadIndex(int fd, std::uint64_t size) const;

  const std::string file_path_;
  const Seams seams_;
  std::atomic<bool> rebuilding_{false};
  std::atomic<bool> stopping_{false};

  Mutex lock_;  // also held over every write to the file
  // Spares a stat of the file on lookups when nothing changed.
  FileChangeWatch watch_ GUARDED_BY(lock_);
  HashListIndex index_ GUARDED_BY(lock_);  // the lines of the file as stamp_ describes it
  std::shared_ptr<const OpenFile> indexed_file_ GUARDED_BY(lock_);  // index_'s file
  Stamp stamp_ GUARDED_BY(lock_);  // the file the index was built from
  // The rule: while index_valid_, index_ names every line of the file as stamp_ describes it
  // (no file at all when !stamp_.exists), and the watch reports whatever was written since. For
  // a file, only the index's thread sets it, once the file's stamp held still while it was read;
  // an append of our own extends it in place; anything else that may have changed the file
  // drops it, and lookups read the file until the thread has built the index anew.
  bool index_valid_ GUARDED_BY(lock_) = false;
  // Without a working watch: the file changed too recently for its stamp to tell a new change.
  bool racy_ GUARDED_BY(lock_) = false;
  bool index_wanted_ GUARDED_BY(lock_) = true;  // the index's thread is asked to build
  bool index_building_ GUARDED_BY(lock_) = false;
  std::condition_variable index_work_;   // index_wanted_ or stopping_ was set
  std::condition_variable index_built_;  // index_building_ went back to false
  // A rebuild runs: appended lines also go to appended_meanwhile_.
  bool collecting_ GUARDED_BY(lock_) = false;
  std::vector<std::string> appended_meanwhile_ GUARDED_BY(lock_);
  bool unreadable_reported_ GUARDED_BY(lock_) =
      false;  // the file could not be read, and that was reported

  std::function<void(const std::string&)> report_;  // set before use, then only read
  std::thread index_thread_;                        // last: starts once everything above is made
};

}  // namespace trovanex
