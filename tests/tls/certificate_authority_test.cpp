#include "tls/certificate_authority.h"

#include <gtest/gtest.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <functional>
#include <map>

#include "support/temp_folder.h"
#include "tls/authority_files.h"

namespace trovanex {
namespace {

using testing::Days;
using testing::ReadFile;
using testing::TempFolder;
using testing::WriteAuthority;

// Every file of the folder with its content, to show that nothing was written.
std::map<std::string, std::string> Snapshot(const TempFolder& folder) {
  std::map<std::string, std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(folder.path()))
    files[entry.path().filename()] = ReadFile(entry.path());
  return files;
}

TEST(CertificateAuthorityTest, MadeOnceWithAPrivateKeyThenLoadedAsItIs) {
  TempFolder folder;
  const auto made = CertificateAuthority::Open(folder.path());
  ASSERT_TRUE(made.authority) << made.error;
  EXPECT_TRUE(made.created);
  EXPECT_EQ(made.warning, "");
  struct stat key {};
  ASSERT_EQ(::stat((folder / "trovanex-ca.key").c_str(), &key), 0);
  EXPECT_EQ(key.st_mode & 0777, 0600u);

  X509* certificate = made.authority->Certificate();
  EXPECT_EQ(X509_check_ca(certificate), 1);
  EXPECT_EQ(X509_get_extension_flags(certificate) & EXFLAG_SS, EXFLAG_SS);  // self-signed
  EXPECT_EQ(X509_get_key_usage(certificate), uint32_t{KU_KEY_CERT_SIGN | KU_CRL_SIGN});
  char name[256] = {};
  X509_NAME_get_text_by_NID(X509_get_subject_name(certificate), NID_commonName, name, sizeof name);
  EXPECT_EQ(std::string(name).rfind("Trovanex local CA (", 0), 0u) << name;
  int days = 0;
  int seconds = 0;
  ASSERT_EQ(ASN1_TIME_diff(&days, &seconds, X509_get0_notBefore(certificate),
                           X509_get0_notAfter(certificate)),
            1);
  EXPECT_GE(days, 3652);
  EXPECT_EQ(made.authority->CertificatePem(), ReadFile(folder / "trovanex-ca.crt"));

  const auto files = Snapshot(folder);
  EXPECT_EQ(files.size(), 2u);  // no temporary file left
  const auto loaded = CertificateAuthority::Open(folder.path().substr(0, folder.path().size() - 1));
  ASSERT_TRUE(loaded.authority) << loaded.error;
  EXPECT_FALSE(loaded.created);
  EXPECT_EQ(loaded.warning, "");
  EXPECT_EQ(X509_cmp(loaded.authority->Certificate(), certificate), 0);
  EXPECT_EQ(Snapshot(folder), files);

  ASSERT_EQ(loaded.authority->SaveCertificate(folder / "saved.crt"), "");
  EXPECT_EQ(ReadFile(folder / "saved.crt"), made.authority->CertificatePem());
  EXPECT_NE(loaded.authority->SaveCertificate(folder / "no/such/folder.crt"), "");
}

TEST(CertificateAuthorityTest, BadOrLoneFilesAreReportedAndNothingIsWritten) {
  TempFolder other;
  ASSERT_TRUE(CertificateAuthority::Open(other.path()).authority);
  const std::string other_key = ReadFile(other / "trovanex-ca.key");

  struct Case {
    const char* name;
    std::function<void(const TempFolder&)> spoil;
    const char* named_file;
  };
  const Case cases[] = {
      {"key cut off",
       [](const TempFolder& f) {
         f.Write("trovanex-ca.key", ReadFile(f / "trovanex-ca.key").substr(0, 60));
       },
       "trovanex-ca.key"},
      {"certificate not PEM", [](const TempFolder& f) { f.Write("trovanex-ca.crt", "garbage\n"); },
       "trovanex-ca.crt"},
      {"key of another authority",
       [&](const TempFolder& f) { f.Write("trovanex-ca.key", other_key); }, "trovanex-ca.key"},
      {"key missing", [](const TempFolder& f) { std::filesystem::remove(f / "trovanex-ca.key"); },
       "trovanex-ca.key"},
      {"certificate missing",
       [](const TempFolder& f) { std::filesystem::remove(f / "trovanex-ca.crt"); },
       "trovanex-ca.crt"},
      {"key is a folder",
       [](const TempFolder& f) {
         std::filesystem::remove(f / "trovanex-ca.key");
         f.MakeFolder("trovanex-ca.key");
       },
       "trovanex-ca.key"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempFolder folder;
    ASSERT_TRUE(CertificateAuthority::Open(folder.path()).authority);
    c.spoil(folder);
    const auto before = Snapshot(folder);
    const auto opened = CertificateAuthority::Open(folder.path());
    EXPECT_FALSE(opened.authority);
    EXPECT_NE(opened.error.find(folder / c.named_file), std::string::npos) << opened.error;
    EXPECT_EQ(Snapshot(folder), before);
  }
}

// The key file's mode bits and owner, and its content, as they are now.
struct KeyFileState {
  mode_t mode;
  uid_t owner;
  std::string content;
  bool operator==(const KeyFileState&) const = default;
};

KeyFileState KeyFile(const TempFolder& folder) {
  struct stat st {};
  EXPECT_EQ(::stat((folder / "trovanex-ca.key").c_str(), &st), 0);
  return {st.st_mode & 07777, st.st_uid, ReadFile(folder / "trovanex-ca.key")};
}

// As OpenSSH does with private keys: a key that others may read is refused, with the file and
// the fix named, and left exactly as it is.
TEST(CertificateAuthorityTest, KeyFileThatOthersCanReadIsRefusedAndLeftAsItIs) {
  struct Case {
    mode_t mode;
    bool refused;
  };
  const Case cases[] = {
      {0644, true}, {0640, true},  {0604, true},  {0660, true},
      {0610, true}, {0600, false}, {0400, false}, {0700, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    TempFolder folder;
    ASSERT_TRUE(CertificateAuthority::Open(folder.path()).authority);
    const std::string key = folder / "trovanex-ca.key";
    ASSERT_EQ(::chmod(key.c_str(), c.mode), 0);
    const KeyFileState before = KeyFile(folder);
    const auto files = Snapshot(folder);
    const auto opened = CertificateAuthority::Open(folder.path());
    EXPECT_EQ(KeyFile(folder), before);
    EXPECT_EQ(Snapshot(folder), files);
    if (!c.refused) {
      EXPECT_TRUE(opened.authority) << opened.error;
      continue;
    }
    EXPECT_FALSE(opened.authority);
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(c.mode));
    EXPECT_EQ(opened.error, std::string("Permissions ") + mode + " for '" + key +
                                "' are too open: the local authority's key must be readable by "
                                "its owner only; run chmod 600 " +
                                key);
  }
}

TEST(CertificateAuthorityTest, KeyFileOfAnotherUserIsRefusedAndLeftAsItIs) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root can give a file to another user";
  constexpr uid_t kNobody = 65534;
  for (const mode_t mode : {0600, 0644}) {
    SCOPED_TRACE(mode);
    TempFolder folder;
    ASSERT_TRUE(CertificateAuthority::Open(folder.path()).authority);
    const std::string key = folder / "trovanex-ca.key";
    ASSERT_EQ(::chown(key.c_str(), kNobody, static_cast<gid_t>(-1)), 0);
    ASSERT_EQ(::chmod(key.c_str(), mode), 0);
    const KeyFileState before = KeyFile(folder);
    const auto opened = CertificateAuthority::Open(folder.path());
    EXPECT_FALSE(opened.authority);
    EXPECT_EQ(KeyFile(folder), before);
    EXPECT_NE(opened.error.find("'" + key + "'"), std::string::npos) << opened.error;
    EXPECT_NE(opened.error.find("run chown root " + key), std::string::npos) << opened.error;
    EXPECT_EQ(opened.error.find("chmod 600 " + key) != std::string::npos, mode == 0644)
        << opened.error;
  }
}

TEST(CertificateAuthorityTest, FixNamesAPathWithBlanksAsOneShellWord) {
  TempFolder parent;
  const std::string folder = parent.MakeFolder("my ca's/");
  ASSERT_TRUE(CertificateAuthority::Open(folder).authority);
  ASSERT_EQ(::chmod((folder + "trovanex-ca.key").c_str(), 0644), 0);
  const auto opened = CertificateAuthority::Open(folder);
  EXPECT_FALSE(opened.authority);
  const std::string quoted = "'" + parent.path() + "my ca'\\''s/trovanex-ca.key'";
  EXPECT_NE(opened.error.find("; run chmod 600 " + quoted), std::string::npos) << opened.error;
}

// The date "2025-07-01" `left` from now, in UTC.
std::string DateIn(std::chrono::seconds left) {
  const std::time_t when = std::time(nullptr) + left.count();
  std::tm utc{};
  ::gmtime_r(&when, &utc);
  char text[16];
  std::strftime(text, sizeof text, "%Y-%m-%d", &utc);
  return text;
}

// An authority that ends within 30 days is still used; what Open says names the certificate,
// its end, and what to do.
TEST(CertificateAuthorityTest, AuthorityEndingWithinThirtyDaysIsUsedWithANotice) {
  struct Case {
    std::chrono::seconds left;
    const char* when;  // empty: no notice
  };
  const Case cases[] = {
      {std::chrono::hours(2), "within a day"},
      {Days(1), "in 1 day"},
      {Days(10), "in 10 days"},
      {Days(29), "in 29 days"},
      {Days(31), ""},
      {Days(400), ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.left.count());
    TempFolder folder;
    WriteAuthority(folder, c.left);
    const auto files = Snapshot(folder);
    const auto opened = CertificateAuthority::Open(folder.path());
    ASSERT_TRUE(opened.authority) << opened.error;
    EXPECT_EQ(Snapshot(folder), files);
    if (*c.when == '\0') {
      EXPECT_EQ(opened.warning, "");
      continue;
    }
    const std::string certificate = folder / "trovanex-ca.crt";
    const std::string key = folder / "trovanex-ca.key";
    EXPECT_EQ(
        opened.warning.rfind(
            certificate + ": the local certificate authority ends on " + DateIn(c.left) + " ", 0),
        0u)
        << opened.warning;
    EXPECT_NE(opened.warning.find(std::string(" UTC, ") + c.when + ";"), std::string::npos)
        << opened.warning;
    EXPECT_NE(opened.warning.find("delete " + certificate + " and " + key +
                                  " and start the program again; browsers must then be made to "
                                  "trust the new certificate."),
              std::string::npos)
        << opened.warning;
  }
  TempFolder ended;
  WriteAuthority(ended, std::chrono::seconds(-60));
  const auto opened = CertificateAuthority::Open(ended.path());
  EXPECT_FALSE(opened.authority);
  EXPECT_EQ(opened.error, (ended / "trovanex-ca.crt") + ": expired");
}

}  // namespace
}  // namespace trovanex
