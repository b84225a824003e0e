// SHA-256 through libcrypto's EVP interface.
#include "backup/sha256.h"

#include <openssl/evp.h>

#include <stdexcept>

#include "db/sql_text.h"

namespace backup {

struct Sha256::Context {
  EVP_MD_CTX* md = nullptr;

  ~Context() { EVP_MD_CTX_free(md); }
};

namespace {

[[noreturn]] void Fail() {
  // Only an exhausted memory or a broken library gets here.
  throw std::runtime_error("Cannot compute a SHA-256 digest: libcrypto failed");
}

}  // namespace

Sha256::Sha256() : context_(std::make_unique<Context>()) {
  context_->md = EVP_MD_CTX_new();
  if (context_->md == nullptr || EVP_DigestInit_ex(context_->md, EVP_sha256(), nullptr) != 1) {
    Fail();
  }
}

Sha256::~Sha256() = default;

void Sha256::Update(std::string_view bytes) {
  if (!bytes.empty() && EVP_DigestUpdate(context_->md, bytes.data(), bytes.size()) != 1) {
    Fail();
  }
}

std::string Sha256::HexDigest() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(context_->md, digest, &length) != 1) {
    Fail();
  }
  return db::HexDigits(
      std::string_view(reinterpret_cast<const char*>(digest), static_cast<std::size_t>(length)),
      true);
}

std::string Sha256Hex(std::string_view bytes) {
  Sha256 sha;
  sha.Update(bytes);
  return sha.HexDigest();
}

}  // namespace backup
