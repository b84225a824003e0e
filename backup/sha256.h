// SHA-256 digests of the backup file's lines, from OpenSSL's libcrypto.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace backup {

// A digest fed piece by piece, for texts too long to hold at once.
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void Update(std::string_view bytes);
  // The digest of everything given, as 64 lower-case hex digits; the object is spent.
  std::string HexDigest();

 private:
  struct Context;
  std::unique_ptr<Context> context_;
};

// The SHA-256 digest of `bytes` as 64 lower-case hex digits.
std::string Sha256Hex(std::string_view bytes);

}  // namespace backup
