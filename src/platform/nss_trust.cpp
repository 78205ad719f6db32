#include "platform/nss_trust.h"

#include <algorithm>
#include <filesystem>
#include <set>

#include "platform/child_process.h"
#include "platform/file_system.h"
#include "platform/ini_file.h"

namespace trovanex {
namespace {

namespace fs = std::filesystem;

// certutil ends its list of one certificate or a deletion with no more than this many
// certificates under one name, however the database came to hold them.
constexpr int kMostUnderOneName = 16;

bool HoldsDatabase(const fs::path& folder) {
  std::error_code error;
  return fs::is_regular_file(folder / "cert9.db", error);
}

// The profiles a Firefox folder names in its profiles.ini, and every folder in it that holds
// a database (a profile made outside the profile manager too).
std::vector<fs::path> FirefoxProfiles(const fs::path& root) {
  std::vector<fs::path> profiles;
  std::error_code error;
  if (!fs::is_directory(root, error)) return profiles;
  const IniFile ini = IniFile::Load((root / "profiles.ini").string());
  for (int i = 0; i < 100; ++i) {
    const std::string section = "Profile" + std::to_string(i);
    const auto path = ini.Get(section, "Path");
    if (!path) continue;
    const bool relative = ini.Get(section, "IsRelative").value_or("1") != "0";
    profiles.push_back(relative ? root / *path : fs::path(*path));
  }
  for (const auto& entry : fs::directory_iterator(root, error))
    if (entry.is_directory(error)) profiles.push_back(entry.path());
  return profiles;
}

ChildResult Certutil(const NssDatabase& database, std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), {"certutil", "-d", "sql:" + database.folder});
  return RunChild(arguments);
}

// The certificate listed under the name, as PEM; empty when there is none.
std::string Listed(const NssDatabase& database) {
  const ChildResult listed = Certutil(database, {"-L", "-n", kTrustNickname, "-a"});
  return listed.Succeeded() ? listed.output : std::string();
}

// The base64 body of the first PEM certificate in `text`, without line ends.
std::string PemBody(const std::string& text) {
  constexpr std::string_view kBegin = "-----BEGIN CERTIFICATE-----";
  const std::size_t begin = text.find(kBegin);
  if (begin == std::string::npos) return {};
  const std::size_t end = text.find("-----END", begin + kBegin.size());
  std::string body = text.substr(begin + kBegin.size(), end - begin - kBegin.size());
  std::erase_if(body, [](char c) { return c == '\r' || c == '\n' || c == ' '; });
  return body;
}

// Deletes everything listed under the name; certutil deletes one certificate per call.
bool DeleteAll(const NssDatabase& database, std::string& problem) {
  for (int i = 0; i < kMostUnderOneName && !Listed(database).empty(); ++i) {
    const ChildResult deleted = Certutil(database, {"-D", "-n", kTrustNickname});
    if (!deleted.Succeeded()) {
      problem = FirstLine(deleted.output);
      return false;
    }
  }
  return true;
}

// Whether the name is listed as an authority for web sites ("C" in the SSL field of its trust).
bool TrustedForWebSites(const NssDatabase& database) {
  const ChildResult listed = Certutil(database, {"-L"});
  const std::string name = kTrustNickname;
  std::size_t at = 0;
  while ((at = listed.output.find(name + "  ", at)) != std::string::npos) {
    if (at == 0 || listed.output[at - 1] == '\n') {
      const std::size_t end = std::min(listed.output.find('\n', at), listed.output.size());
      const std::string line = listed.output.substr(at + name.size(), end - at - name.size());
      const std::size_t trust = line.find_first_not_of(' ');
      if (trust != std::string::npos &&
          line.substr(trust, line.find(',', trust) - trust).find('C') != std::string::npos)
        return true;
    }
    at += name.size();
  }
  return false;
}

TrustChange Trust(const NssDatabase& database, const std::string& certificate_file,
                  const std::string& wanted_body) {
  TrustChange change{database, TrustChange::Kind::kAdded, {}};
  const std::string listed = Listed(database);
  if (!listed.empty()) {
    if (PemBody(listed) == wanted_body && TrustedForWebSites(database)) {
      change.kind = TrustChange::Kind::kAlready;
      return change;
    }
    // An authority made before this one (its files removed since), which can sign nothing
    // now, or this one listed without the trust (left by an addition that failed halfway).
    if (!DeleteAll(database, change.problem)) {
      change.kind = TrustChange::Kind::kFailed;
      return change;
    }
    if (PemBody(listed) != wanted_body) change.kind = TrustChange::Kind::kReplaced;
  }
  const ChildResult added =
      Certutil(database, {"-A", "-t", "C,,", "-n", kTrustNickname, "-i", certificate_file});
  if (!added.Succeeded()) {
    change.kind = TrustChange::Kind::kFailed;
    change.problem = FirstLine(added.output);
    // A database behind a password takes the certificate but not its trust: nothing half-added
    // stays listed.
    std::string ignored;
    DeleteAll(database, ignored);
  }
  return change;
}

// Chromium reads ~/.pki/nssdb and makes it at its first start; made here when it is not there
// yet, so that a Chromium started later finds the authority.
bool MakeChromiumDatabase(const NssDatabase& database, std::string& problem) {
  if (HoldsDatabase(database.folder)) return true;
  if (const int error = MakeFolders(database.folder, 0700)) {
    problem = database.folder + ": " + SystemErrorText(error);
    return false;
  }
  const ChildResult made = Certutil(database, {"-N", "--empty-password"});
  if (made.Succeeded()) return true;
  problem = FirstLine(made.output);
  return false;
}

std::string ChromiumFolder(const std::string& home) {
  return home + "/.pki/nssdb";
}

}  // namespace

std::vector<NssDatabase> BrowserNssDatabases(const std::string& home) {
  std::vector<NssDatabase> databases;
  std::set<fs::path> seen;
  const auto add = [&](const char* browser, const fs::path& folder, bool must_exist) {
    std::error_code error;
    const fs::path real = fs::weakly_canonical(folder, error);
    if (must_exist && !HoldsDatabase(folder)) return;
    if (!seen.insert(error ? folder : real).second) return;
    databases.push_back({browser, folder.string()});
  };
  add("Chromium", ChromiumFolder(home), false);
  add("Chromium", home + "/snap/chromium/current/.pki/nssdb", true);
  add("Chromium", home + "/.var/app/org.chromium.Chromium/.pki/nssdb", true);
  for (const char* root : {"/.mozilla/firefox", "/snap/firefox/common/.mozilla/firefox",
                           "/.var/app/org.mozilla.firefox/.mozilla/firefox"})
    for (const fs::path& profile : FirefoxProfiles(home + root)) add("Firefox", profile, true);
  return databases;
}

std::vector<TrustChange> TrustAuthority(const std::string& home,
                                        const std::string& certificate_file) {
  const std::string wanted_body = PemBody(ReadWholeFile(certificate_file).value_or(""));
  std::vector<TrustChange> changes;
  for (const NssDatabase& database : BrowserNssDatabases(home)) {
    std::string problem;
    if (database.folder == ChromiumFolder(home) && !MakeChromiumDatabase(database, problem)) {
      changes.push_back({database, TrustChange::Kind::kFailed, problem});
      continue;
    }
    if (wanted_body.empty()) {
      changes.push_back(
          {database, TrustChange::Kind::kFailed, certificate_file + ": no PEM certificate"});
      continue;
    }
    changes.push_back(Trust(database, certificate_file, wanted_body));
  }
  return changes;
}

std::vector<TrustChange> DistrustAuthority(const std::string& home) {
  std::vector<TrustChange> changes;
  for (const NssDatabase& database : BrowserNssDatabases(home)) {
    if (!HoldsDatabase(database.folder)) continue;
    TrustChange change{database, TrustChange::Kind::kNotThere, {}};
    if (!Listed(database).empty()) {
      change.kind = DeleteAll(database, change.problem) ? TrustChange::Kind::kRemoved
                                                        : TrustChange::Kind::kFailed;
    } else {
      // Nothing listed, or a database that cannot be read: certutil tells them apart.
      const ChildResult listed = Certutil(database, {"-L"});
      if (!listed.Succeeded()) {
        change.kind = TrustChange::Kind::kFailed;
        change.problem = FirstLine(listed.output);
      }
    }
    changes.push_back(std::move(change));
  }
  return changes;
}

bool AnyFailed(const std::vector<TrustChange>& changes) {
  return std::any_of(changes.begin(), changes.end(), [](const TrustChange& change) {
    return change.kind == TrustChange::Kind::kFailed;
  });
}

}  // namespace trovanex
