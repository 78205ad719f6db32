// Trust in the local certificate authority, in the NSS databases of this user that browsers
// read: Chromium's (~/.pki/nssdb, made when missing, and those of its snap and flatpak), and
// every Firefox profile's (the profiles.ini of each Firefox folder, and every folder there that
// holds a database; also the snap's and flatpak's). Changed with `certutil` from NSS's tools,
// one database at a time: one that is locked or damaged is named, the others still changed.
#pragma once

#include <string>
#include <vector>

namespace trovanex {

// The name the authority is listed under in each database.
inline constexpr char kTrustNickname[] = "Trovanex local CA";

struct NssDatabase {
  std::string browser;  // "Chromium", "Firefox"
  std::string folder;   // the folder holding cert9.db, without "sql:"
};

// The databases under `home` that exist now (Chromium's own one also when it does not).
std::vector<NssDatabase> BrowserNssDatabases(const std::string& home);

struct TrustChange {
  enum class Kind {
    kAdded,     // trusted now
    kReplaced,  // another certificate stood under the name and was taken out first
    kAlready,   // this certificate was trusted already
    kRemoved,   // no longer trusted
    kNotThere,  // nothing under the name to remove
    kFailed,    // `problem` says why
  };
  NssDatabase database;
  Kind kind = Kind::kFailed;
  std::string problem;  // certutil's own words
};

// Adds the PEM certificate in `certificate_file` as an authority trusted for web sites to every
// database, under kTrustNickname.
std::vector<TrustChange> TrustAuthority(const std::string& home,
                                        const std::string& certificate_file);

// Takes whatever is listed under kTrustNickname out of every database.
std::vector<TrustChange> DistrustAuthority(const std::string& home);

// Whether any change failed.
bool AnyFailed(const std::vector<TrustChange>& changes);

}  // namespace trovanex
