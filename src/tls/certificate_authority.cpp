#include "tls/certificate_authority.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <string_view>
#include <vector>

#include <openssl/pem.h>

#include "platform/atomic_write.h"
#include "platform/file_system.h"
#include "tls/openssl_handles.h"
#include "tls/x509_building.h"

namespace trovanex {
namespace {

using tls::BioPtr;
using tls::KeyPtr;
using tls::X509Ptr;

constexpr int kValidDays = 3653;  // ten years, leap days included
constexpr std::size_t kMaxFileSize = 1 << 20;

// Never asks for a pass phrase: an encrypted key is reported as unreadable instead.
int NoPassPhrase(char*, int, int, void*) {
  return -1;
}

std::string MachineName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
  return name;
}

// 0 when `path` holds a regular file, ENOENT when nothing is there, else the errno of the
// look (EISDIR for a folder).
int LookAt(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return errno;
  return S_ISREG(st.st_mode) ? 0 : EISDIR;
}

std::string Fault(const std::string& path, const std::string& reason) {
  return path + ": " + reason;
}

// The file's whole content into `into`; the errno of the failure, EFBIG beyond kMaxFileSize.
int ReadWithin(const std::string& path, std::string& into) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  int error = 0;
  char buffer[8192];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n < 0) error = errno;
      break;
    }
    into.append(buffer, static_cast<std::size_t>(n));
    if (into.size() > kMaxFileSize) {
      error = EFBIG;
      break;
    }
  }
  ::close(fd);
  return error;
}

// The file's whole content into `into`; the fault when it cannot be read.
std::string ReadSmallFile(const std::string& path, std::string& into) {
  const int error = ReadWithin(path, into);
  return error == 0 ? std::string() : Fault(path, SystemErrorText(error));
}

// Why the two files cannot be used: one is not a regular file, or one is there without the
// other. Empty when both are there, or neither.
std::string FilePairFault(const std::string& key_path, int key_state,
                          const std::string& certificate_path, int certificate_state) {
  for (const auto& [path, state] :
       {std::pair{&key_path, key_state}, std::pair{&certificate_path, certificate_state}}) {
    if (state != 0 && state != ENOENT) return Fault(*path, SystemErrorText(state));
  }
  if ((key_state == ENOENT) == (certificate_state == ENOENT)) return {};
  const bool key_missing = key_state == ENOENT;
  return Fault(key_missing ? key_path : certificate_path,
               std::string("missing, while ") +
                   (key_missing ? CertificateAuthority::kCertificateFileName
                                : CertificateAuthority::kKeyFileName) +
                   " exists; move the other file away to make a new authority");
}

// The key in `text` into `key`; the fault when there is none.
std::string ParseKey(const std::string& path, const std::string& text, KeyPtr& key) {
  BioPtr bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
  key.reset(PEM_read_bio_PrivateKey(bio.get(), nullptr, NoPassPhrase, nullptr));
  if (key) return {};
  return Fault(path, "not a readable PEM private key (" + tls::TakeOpenSslError("damaged") + ")");
}

// The certificate in `text` into `certificate`; the fault when there is none.
std::string ParseCertificate(const std::string& path, const std::string& text,
                             X509Ptr& certificate) {
  BioPtr bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
  certificate.reset(PEM_read_bio_X509(bio.get(), nullptr, NoPassPhrase, nullptr));
  if (certificate) return {};
  return Fault(path, "not a readable PEM certificate (" + tls::TakeOpenSslError("damaged") + ")");
}

// Why a readable key and certificate do not make an authority: they do not belong together,
// the certificate may not sign others, or it has expired. Empty when they do.
std::string PairFault(const std::string& key_path, EVP_PKEY& key,
                      const std::string& certificate_path, X509& certificate) {
  if (X509_check_private_key(&certificate, &key) != 1) {
    ERR_clear_error();
    return Fault(key_path,
                 std::string("does not belong to ") + CertificateAuthority::kCertificateFileName);
  }
  if (X509_check_ca(&certificate) == 0)
    return Fault(certificate_path, "not a certificate authority's certificate");
  if (X509_cmp_current_time(X509_get0_notAfter(&certificate)) <= 0)
    return Fault(certificate_path, "expired");
  return {};
}

// Makes the certificate for `key`: self-signed, CA:TRUE, for signing certificates only.
X509Ptr MakeCertificate(EVP_PKEY* key) {
  X509Ptr certificate(X509_new());
  if (!certificate) return nullptr;
  std::string common_name = "Trovanex local CA (" + MachineName();
  common_name.resize(std::min<std::size_t>(common_name.size(), 63));  // CN holds 64 at most
  common_name += ")";
  X509_NAME* name = X509_get_subject_name(certificate.get());
  const bool built =
      X509_set_version(certificate.get(), X509_VERSION_3) == 1 &&
      tls::SetRandomSerial(certificate.get()) &&
      tls::SetValidity(certificate.get(), -1, kValidDays) &&
      X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                 reinterpret_cast<const unsigned char*>(common_name.c_str()), -1,
                                 -1, 0) == 1 &&
      X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8,
                                 reinterpret_cast<const unsigned char*>("Trovanex"), -1, -1,
                                 0) == 1 &&
      X509_set_issuer_name(certificate.get(), name) == 1 &&
      X509_set_pubkey(certificate.get(), key) == 1 &&
      tls::AddExtension(certificate.get(), certificate.get(), NID_basic_constraints,
                        "critical,CA:TRUE") &&
      tls::AddExtension(certificate.get(), certificate.get(), NID_key_usage,
                        "critical,keyCertSign,cRLSign") &&
      tls::AddExtension(certificate.get(), certificate.get(), NID_subject_key_identifier, "hash") &&
      X509_sign(certificate.get(), key, EVP_sha256()) > 0;
  return built ? std::move(certificate) : nullptr;
}

// Writes `content` to a new file `path` that must not exist yet, with `mode` from the start:
// an authority's file is never replaced. Returns the errno of the failing step, 0 on success.
int WriteNewFile(const std::string& path, const std::string& content, mode_t mode) {
  return ReplaceFileAtomically(path, content, {.mode = mode, .replace_existing = false}).error;
}

// The name of the user with `uid`, else its number.
std::string UserName(uid_t uid) {
  passwd entry{};
  passwd* found = nullptr;
  std::vector<char> buffer(16384);
  if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found)
    return found->pw_name;
  return std::to_string(uid);
}

// `path` as one word of a shell command: quoted unless it is made of safe characters only.
std::string ShellWord(const std::string& path) {
  const bool safe = std::all_of(path.begin(), path.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::string_view("/._-+,:@%").find(c) != std::string_view::npos;
  });
  if (safe && !path.empty()) return path;
  std::string quoted = "'";
  for (const char c : path) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// The mode bits of `st` as "0644".
std::string ModeText(const struct stat& st) {
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
  return mode;
}

// Why the key file may not be used although it can be read: it belongs to another user, or
// others may read it (group or other permission bits). Empty when only this user can. The fix
// is named, in the manner of OpenSSH; the file itself is never changed.
std::string KeyExposure(const std::string& key_path) {
  struct stat st {};
  if (::stat(key_path.c_str(), &st) != 0) return {};  // reading it reports the reason
  const bool open_to_others = (st.st_mode & 077) != 0;
  const std::string chmod = "chmod 600 " + ShellWord(key_path);
  const uid_t user = ::geteuid();
  if (st.st_uid != user) {
    return "Owner " + UserName(st.st_uid) + " of '" + key_path + "' is not " + UserName(user) +
           ", who runs this program: the local authority's key must belong to that user and be "
           "readable by its owner only; as root, run chown " +
           UserName(user) + " " + ShellWord(key_path) + (open_to_others ? " and " + chmod : "");
  }
  if (open_to_others) {
    return "Permissions " + ModeText(st) + " for '" + key_path +
           "' are too open: the local authority's key must be readable by its owner only; run " +
           chmod;
  }
  return {};
}

// The end of `certificate` as "2025-07-01 12:00 UTC".
std::string EndText(const X509* certificate) {
  std::tm end{};
  char text[32] = "an unknown date";
  if (ASN1_TIME_to_tm(X509_get0_notAfter(certificate), &end) == 1)
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M UTC", &end);
  return text;
}

// A notice when the authority ends within kNoticeDays: its file, its end and what to do.
// Empty when it has longer to go.
std::string EndingSoonNotice(const std::string& certificate_path, const std::string& key_path,
                             const X509* certificate) {
  int days = 0;
  int seconds = 0;
  if (ASN1_TIME_diff(&days, &seconds, nullptr, X509_get0_notAfter(certificate)) != 1 ||
      days >= CertificateAuthority::kNoticeDays)
    return {};
  const int rounded = days + (seconds >= 12 * 3600 ? 1 : 0);
  const std::string when = rounded == 0   ? "within a day"
                           : rounded == 1 ? "in 1 day"
                                          : "in " + std::to_string(rounded) + " days";
  return Fault(certificate_path, "the local certificate authority ends on " + EndText(certificate) +
                                     ", " + when +
                                     "; no opened tunnel works after that. To have a new one made, "
                                     "delete " +
                                     certificate_path + " and " + key_path +
                                     " and start the program again; browsers must then be made "
                                     "to trust the new certificate.");
}

}  // namespace

CertificateAuthority::CertificateAuthority(X509Ptr certificate, KeyPtr key,
                                           std::string certificate_pem)
    : certificate_(std::move(certificate)),
      key_(std::move(key)),
      certificate_pem_(std::move(certificate_pem)) {}

CertificateAuthority::~CertificateAuthority() = default;

CertificateAuthority::Opened CertificateAuthority::Open(const std::string& folder) {
  const std::string base = WithTrailingSeparator(folder);
  const std::string key_path = base + kKeyFileName;
  const std::string certificate_path = base + kCertificateFileName;
  const int key_state = LookAt(key_path);
  const int certificate_state = LookAt(certificate_path);
  Opened result;
  result.error = FilePairFault(key_path, key_state, certificate_path, certificate_state);
  if (result.error.empty() && key_state == ENOENT) return Make(key_path, certificate_path);
  if (result.error.empty()) result.error = KeyExposure(key_path);
  if (!result.error.empty()) return result;
  return Load(key_path, certificate_path);
}

// Neither file: makes the authority. The key goes first, so that no certificate is ever seen
// without its key; if the certificate cannot follow, the new key goes again.
CertificateAuthority::Opened CertificateAuthority::Make(const std::string& key_path,
                                                        const std::string& certificate_path) {
  Opened result;
  KeyPtr key(EVP_EC_gen("P-256"));
  X509Ptr certificate = key ? MakeCertificate(key.get()) : nullptr;
  BioPtr key_pem(BIO_new(BIO_s_mem()));
  BioPtr certificate_pem(BIO_new(BIO_s_mem()));
  if (!certificate || !key_pem || !certificate_pem ||
      PEM_write_bio_PrivateKey(key_pem.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) !=
          1 ||
      PEM_write_bio_X509(certificate_pem.get(), certificate.get()) != 1) {
    result.error = Fault(key_path, "cannot be made: " + tls::TakeOpenSslError("no key"));
    return result;
  }
  std::string certificate_text = tls::BioText(certificate_pem.get());
  if (const int error = WriteNewFile(key_path, tls::BioText(key_pem.get()), 0600)) {
    result.error = Fault(key_path, SystemErrorText(error));
    return result;
  }
  if (const int error = WriteNewFile(certificate_path, certificate_text, 0644)) {
    ::unlink(key_path.c_str());
    result.error = Fault(certificate_path, SystemErrorText(error));
    return result;
  }
  result.authority.reset(new CertificateAuthority(std::move(certificate), std::move(key),
                                                  std::move(certificate_text)));
  result.created = true;
  return result;
}

CertificateAuthority::Opened CertificateAuthority::Load(const std::string& key_path,
                                                        const std::string& certificate_path) {
  Opened result;
  std::string key_text;
  std::string certificate_text;
  KeyPtr key;
  X509Ptr certificate;
  result.error = ReadSmallFile(key_path, key_text);
  if (result.error.empty()) result.error = ReadSmallFile(certificate_path, certificate_text);
  if (result.error.empty()) result.error = ParseKey(key_path, key_text, key);
  if (result.error.empty())
    result.error = ParseCertificate(certificate_path, certificate_text, certificate);
  if (result.error.empty())
    result.error = PairFault(key_path, *key, certificate_path, *certificate);
  if (!result.error.empty()) return result;
  result.warning = EndingSoonNotice(certificate_path, key_path, certificate.get());
  result.authority.reset(new CertificateAuthority(std::move(certificate), std::move(key),
                                                  std::move(certificate_text)));
  return result;
}

std::string CertificateAuthority::SaveCertificate(const std::string& path) const {
  const ReplaceResult written = ReplaceFileAtomically(path, certificate_pem_);
  return written.ok() ? std::string() : Fault(path, SystemErrorText(written.error));
}

}  // namespace trovanex
