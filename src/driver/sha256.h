// SHA-256 of streamed bytes, printed as sha256sum prints it, so a person can
// compare a restored stream with the original using a common tool. The
// digest itself comes from libcrypto.
#pragma once

#include <cstddef>
#include <string>

struct evp_md_ctx_st;

namespace dupcut {

class sha256 {
 public:
  sha256();
  ~sha256();
  sha256(const sha256&) = delete;
  sha256& operator=(const sha256&) = delete;

  // Any number of calls, in stream order, of any sizes.
  void update(const void* data, size_t size);
  // 64 lower-case hex digits of everything fed since construction or the
  // last hex(); starts over afterwards. Empty if the library failed (out of
  // memory), which a caller reports instead of a wrong digest.
  std::string hex();

 private:
  evp_md_ctx_st* ctx_;
  bool ok_;
};

}  // namespace dupcut
