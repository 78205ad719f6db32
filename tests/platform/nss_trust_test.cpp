#include "platform/nss_trust.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "platform/child_process.h"
#include "support/temp_folder.h"
#include "tls/certificate_authority.h"

namespace trovanex {
namespace {

using testing::TempFolder;
using Kind = TrustChange::Kind;

// A home with a browser of each kind: Firefox profiles named in profiles.ini and found only as
// folders, the snap's, one damaged database, one behind a password, and Chromium's not made yet.
class NssTrust : public ::testing::Test {
 protected:
  NssTrust() {
    home_.Write(".mozilla/firefox/profiles.ini",
                "[General]\nStartWithLastProfile=1\n\n[Profile0]\nName=default\nIsRelative=1\n"
                "Path=abc.default\n\n[Profile1]\nName=gone\nIsRelative=1\nPath=gone.profile\n");
    for (const char* profile : {".mozilla/firefox/abc.default", ".mozilla/firefox/made-by-hand",
                                "snap/firefox/common/.mozilla/firefox/snap.default"})
      MakeDatabase(home_.MakeFolder(profile));
    home_.Write(".mozilla/firefox/broken/cert9.db", "not a database at all");
    // A primary password: certutil would ask for it on a terminal, and must not wait there.
    const std::string password_file = home_.Write("password.txt", "secret\n");
    EXPECT_TRUE(RunChild({"certutil", "-d", "sql:" + home_.MakeFolder(".mozilla/firefox/guarded"),
                          "-N", "-f", password_file})
                    .Succeeded());
    home_.MakeFolder(".mozilla/firefox/never-started");  // no database: not made there
  }

  static void MakeDatabase(const std::string& folder) {
    ASSERT_TRUE(
        RunChild({"certutil", "-d", "sql:" + folder, "-N", "--empty-password"}).Succeeded());
  }

  std::string Authority(const char* name) const {
    const std::string folder = authorities_.MakeFolder(name);
    EXPECT_TRUE(CertificateAuthority::Open(folder).authority);
    return folder + "/" + CertificateAuthority::kCertificateFileName;
  }

  // Each database's folder below the home, with what happened to it.
  std::map<std::string, Kind> Outcome(const std::vector<TrustChange>& changes) const {
    std::map<std::string, Kind> outcome;
    for (const TrustChange& change : changes) {
      std::string folder = std::filesystem::path(change.database.folder).lexically_normal();
      outcome[folder.substr(home_.path().size())] = change.kind;
      if (change.kind == Kind::kFailed) {
        EXPECT_FALSE(change.problem.empty());
      }
    }
    return outcome;
  }

  static bool Listed(const std::string& folder) {
    return RunChild({"certutil", "-d", "sql:" + folder, "-L"}).output.find(kTrustNickname) !=
           std::string::npos;
  }

  // Whether the database lists the authority as trusted for web sites.
  static bool Trusts(const std::string& folder) {
    const ChildResult listed = RunChild({"certutil", "-d", "sql:" + folder, "-L"});
    return listed.output.find(std::string(kTrustNickname) + " ") != std::string::npos &&
           listed.output.find("C,,") != std::string::npos;
  }

  TempFolder home_;
  TempFolder authorities_;
};

TEST_F(NssTrust, EveryDatabaseChangedAndTheDamagedOneNamed) {
  const std::string first = Authority("first");
  const std::vector<std::string> good = {".pki/nssdb", ".mozilla/firefox/abc.default",
                                         ".mozilla/firefox/made-by-hand",
                                         "snap/firefox/common/.mozilla/firefox/snap.default"};
  const auto all = [&](Kind kind) {
    std::map<std::string, Kind> expected;
    for (const std::string& folder : good) expected[folder] = kind;
    expected[".mozilla/firefox/broken"] = Kind::kFailed;
    // Nothing is left half-added behind the password, so there is nothing to take out.
    expected[".mozilla/firefox/guarded"] =
        kind == Kind::kRemoved || kind == Kind::kNotThere ? Kind::kNotThere : Kind::kFailed;
    return expected;
  };

  const std::vector<TrustChange> added = TrustAuthority(home_.path(), first);
  EXPECT_EQ(Outcome(added), all(Kind::kAdded));
  EXPECT_TRUE(AnyFailed(added));
  for (const std::string& folder : good) EXPECT_TRUE(Trusts(home_ / folder)) << folder;
  EXPECT_FALSE(std::filesystem::exists(home_ / ".mozilla/firefox/never-started/cert9.db"));
  EXPECT_FALSE(Listed(home_ / ".mozilla/firefox/guarded"));

  EXPECT_EQ(Outcome(TrustAuthority(home_.path(), first)), all(Kind::kAlready));
  // A new authority (the old one's files removed) takes the old one's place.
  EXPECT_EQ(Outcome(TrustAuthority(home_.path(), Authority("second"))), all(Kind::kReplaced));

  EXPECT_EQ(Outcome(DistrustAuthority(home_.path())), all(Kind::kRemoved));
  for (const std::string& folder : good) EXPECT_FALSE(Trusts(home_ / folder)) << folder;
  EXPECT_EQ(Outcome(DistrustAuthority(home_.path())), all(Kind::kNotThere));
}

// Removing the trust makes no database that was not there.
TEST_F(NssTrust, RemovingFromAHomeWithoutChromiumMakesNothing) {
  TempFolder empty_home;
  EXPECT_TRUE(DistrustAuthority(empty_home.path()).empty());
  EXPECT_FALSE(std::filesystem::exists(empty_home / ".pki"));
}

}  // namespace
}  // namespace trovanex
