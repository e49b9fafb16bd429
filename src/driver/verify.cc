#include "driver/verify.h"

#include <algorithm>
#include <cstring>

#include "driver/driver.h"

namespace dupcut {

verifier::~verifier() { dupcut_free(s_); }

bool verifier::open(char* err, size_t err_size) {
  s_ = ctx_new(true, 0, 0, 0, 1, err, err_size);
  return s_ != nullptr;
}

void verifier::took(const uint8_t* p, size_t n) {
  // Restored bytes leave from the front; move the rest down once they are
  // at least half, so the queue stays near its peak size.
  if (head_ > 0 && head_ >= queue_.size() / 2) {
    queue_.erase(queue_.begin(), queue_.begin() + std::ptrdiff_t(head_));
    head_ = 0;
  }
  queue_.insert(queue_.end(), p, p + n);
  peak_ = std::max(peak_, queue_.size() - head_);
}

void verifier::compare(const uint8_t* p, size_t n) {
  if (!problem_.empty()) return;
  const size_t have = queue_.size() - head_;
  const size_t k = std::min(n, have);
  const uint8_t* q = queue_.data() + head_;
  const size_t same = size_t(std::mismatch(p, p + k, q).first - p);
  hash_.update(p, same);
  head_ += same;
  restored_ += same;
  if (same < k)
    problem_ = "the stream restores other bytes than the input's";
  else if (n > have)
    problem_ = "the stream restores more bytes than the input has";
}

void verifier::run(dupcut_in_buffer* in, bool end) {
  while (!done_ && problem_.empty()) {
    dupcut_out_buffer out{out_.data(), out_.size(), 0};
    const dupcut_status st = dupcut_code(s_, &out, in, end);
    compare(out_.data(), out.pos);
    if (st != DUPCUT_NEED_OUTPUT) {
      // Asking for more: the fed bytes are used up.
      done_ = st != DUPCUT_NEED_INPUT;
      if (st < 0 && problem_.empty()) problem_ = dupcut_error_message(s_);
      return;
    }
  }
}

void verifier::catch_up() {
  if (!enc_) return;
  const uint64_t skip = fed_ - written_;
  if (skip < enc_->pos) feed(static_cast<const uint8_t*>(enc_->dst) + skip, size_t(enc_->pos - skip));
}

void verifier::written(const uint8_t* p, size_t n) {
  const uint64_t skip = std::min<uint64_t>(fed_ - written_, n);
  written_ += n;
  feed(p + skip, n - size_t(skip));
}

void verifier::feed(const uint8_t* p, size_t n) {
  fed_ += n;
  if (!s_ || done_ || !problem_.empty() || n == 0) return;
  dupcut_in_buffer in{p, n, 0};
  run(&in, false);
}

bool verifier::finish() {
  if (!s_) return false;
  run(nullptr, true);
  if (problem_.empty() && head_ != queue_.size()) problem_ = "the stream restores fewer bytes than the input has";
  dupcut_free(s_);
  s_ = nullptr;
  if (!problem_.empty()) return false;
  digest_ = hash_.hex();
  if (digest_.empty()) {
    problem_ = "cannot compute the SHA-256 digest";
    return false;
  }
  return true;
}

}  // namespace dupcut
