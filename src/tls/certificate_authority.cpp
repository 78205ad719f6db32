#include "tls/certificate_authority.h"

#include <fcntl.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <string_view>
#include <vector>

#include <openssl/pem.h>
#include <openssl/rand.h>

#include "platform/atomic_write.h"
#include "platform/file_move.h"
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

// The file's whole content into `into`; the errno of the failure, EFBIG beyond kMaxFileSize.
int ReadSmallFile(const std::string& path, std::string& into) {
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

// Writes `content` to a new file `path` that must not exist yet: into a temporary file made
// with `mode` from the start, flushed, then moved into place without replacing anything.
// Returns the errno of the failing step, 0 on success.
int WriteNewFile(const std::string& path, const std::string& content, mode_t mode) {
  std::string pattern = path + ".XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  const int fd = ::mkostemp(name.data(), O_CLOEXEC);  // mode 0600
  if (fd < 0) return errno;
  const std::string temp(name.data());
  int error = 0;
  if (mode != 0600 && ::fchmod(fd, mode) != 0) error = errno;
  if (error == 0 && !WriteAll(fd, content)) error = errno;
  if (error == 0 && ::fsync(fd) != 0) error = errno;
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error == 0) error = MoveFileNoReplace(temp, path);
  if (error != 0) ::unlink(temp.c_str());
  return error;
}

std::string Fault(const std::string& path, const std::string& reason) {
  return path + ": " + reason;
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

CertificateAuthority::CertificateAuthority(X509* certificate, EVP_PKEY* key,
                                           std::string certificate_pem)
    : certificate_(certificate), key_(key), certificate_pem_(std::move(certificate_pem)) {}

CertificateAuthority::~CertificateAuthority() {
  X509_free(certificate_);
  EVP_PKEY_free(key_);
}

CertificateAuthority::Opened CertificateAuthority::Open(const std::string& folder) {
  const std::string base = WithTrailingSeparator(folder);
  const std::string key_path = base + kKeyFileName;
  const std::string certificate_path = base + kCertificateFileName;
  Opened result;

  const int key_state = LookAt(key_path);
  const int certificate_state = LookAt(certificate_path);
  for (const auto& [path, state] :
       {std::pair{key_path, key_state}, std::pair{certificate_path, certificate_state}}) {
    if (state != 0 && state != ENOENT) {
      result.error = Fault(path, SystemErrorText(state));
      return result;
    }
  }
  if ((key_state == ENOENT) != (certificate_state == ENOENT)) {
    const bool key_missing = key_state == ENOENT;
    result.error =
        Fault(key_missing ? key_path : certificate_path,
              std::string("missing, while ") + (key_missing ? kCertificateFileName : kKeyFileName) +
                  " exists; move the other file away to make a new authority");
    return result;
  }
  if (key_state == ENOENT) return Make(key_path, certificate_path);
  result.error = KeyExposure(key_path);
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
  result.authority.reset(
      new CertificateAuthority(certificate.release(), key.release(), std::move(certificate_text)));
  result.created = true;
  return result;
}

CertificateAuthority::Opened CertificateAuthority::Load(const std::string& key_path,
                                                        const std::string& certificate_path) {
  Opened result;
  std::string key_text;
  std::string certificate_text;
  for (const auto& [path, into] :
       {std::pair{&key_path, &key_text}, std::pair{&certificate_path, &certificate_text}}) {
    if (const int error = ReadSmallFile(*path, *into)) {
      result.error = Fault(*path, SystemErrorText(error));
      return result;
    }
  }
  BioPtr key_bio(BIO_new_mem_buf(key_text.data(), static_cast<int>(key_text.size())));
  KeyPtr key(PEM_read_bio_PrivateKey(key_bio.get(), nullptr, NoPassPhrase, nullptr));
  if (!key) {
    result.error = Fault(
        key_path, "not a readable PEM private key (" + tls::TakeOpenSslError("damaged") + ")");
    return result;
  }
  BioPtr certificate_bio(
      BIO_new_mem_buf(certificate_text.data(), static_cast<int>(certificate_text.size())));
  X509Ptr certificate(PEM_read_bio_X509(certificate_bio.get(), nullptr, NoPassPhrase, nullptr));
  if (!certificate) {
    result.error = Fault(certificate_path, "not a readable PEM certificate (" +
                                               tls::TakeOpenSslError("damaged") + ")");
    return result;
  }
  if (X509_check_private_key(certificate.get(), key.get()) != 1) {
    ERR_clear_error();
    result.error = Fault(key_path, std::string("does not belong to ") + kCertificateFileName);
    return result;
  }
  if (X509_check_ca(certificate.get()) == 0) {
    result.error = Fault(certificate_path, "not a certificate authority's certificate");
    return result;
  }
  if (X509_cmp_current_time(X509_get0_notAfter(certificate.get())) <= 0) {
    result.error = Fault(certificate_path, "expired");
    return result;
  }
  result.warning = EndingSoonNotice(certificate_path, key_path, certificate.get());
  result.authority.reset(
      new CertificateAuthority(certificate.release(), key.release(), std::move(certificate_text)));
  return result;
}

std::string CertificateAuthority::SaveCertificate(const std::string& path) const {
  const ReplaceResult written = ReplaceFileAtomically(path, certificate_pem_);
  return written.ok() ? std::string() : Fault(path, SystemErrorText(written.error));
}

}  // namespace trovanex
