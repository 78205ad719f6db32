#include "tls/certificate_authority.h"

#include <gtest/gtest.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <map>

#include "support/temp_folder.h"

namespace trovanex {
namespace {

using testing::ReadFile;
using testing::TempFolder;

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

}  // namespace
}  // namespace trovanex
