#include "driver/sha256.h"

#include <openssl/evp.h>

namespace dupcut {

sha256::sha256() : ctx_(EVP_MD_CTX_new()) { ok_ = ctx_ && EVP_DigestInit_ex(ctx_, EVP_sha256(), nullptr) == 1; }

sha256::~sha256() { EVP_MD_CTX_free(ctx_); }

void sha256::update(const void* data, size_t size) {
  if (ok_ && size) ok_ = EVP_DigestUpdate(ctx_, data, size) == 1;
}

std::string sha256::hex() {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  const bool done = ok_ && EVP_DigestFinal_ex(ctx_, md, &len) == 1 && len == 32;
  ok_ = ctx_ && EVP_DigestInit_ex(ctx_, EVP_sha256(), nullptr) == 1;
  if (!done) return {};
  static const char digit[] = "0123456789abcdef";
  std::string s(2 * len, '0');
  for (unsigned i = 0; i < len; i++) {
    s[2 * i] = digit[md[i] >> 4];
    s[2 * i + 1] = digit[md[i] & 15];
  }
  return s;
}

}  // namespace dupcut
