// MD5 digests as the hash list keeps them: 32 lower-case hexadecimal digits.
#pragma once

#include <openssl/evp.h>

#include <cstddef>
#include <memory>
#include <string>

namespace trovanex {

// A digest made piece by piece.
class Md5 {
 public:
  Md5();
  // False once OpenSSL has failed; the digest is empty then.
  bool Update(const void* bytes, std::size_t n);
  // The digest of every piece added, or "" after a failure. Ends the digest.
  std::string HexDigest();

 private:
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context_;
  bool ok_;
};

// Empty when the file cannot be opened, its size cannot be read, or a read fails.
std::string FileDigest(const std::string& path);

}  // namespace trovanex
