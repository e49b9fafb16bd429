#include "driver/verify.h"

#include <algorithm>
#include <cstring>

#include "driver/driver.h"

namespace dupcut {

verifier::~verifier() { codec_delete(s_); }

bool verifier::open(char* err, size_t err_size) {
  s_ = codec_new(true, 0, 0, 0, 1, err, err_size);
  if (!s_) return false;
  s_->console = nullptr;  // its start-up line is not the user's
  s_->io.out_cur = s_->io.out_start = out_.data();
  s_->io.out_end = out_.data() + out_.size();
  return true;
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

void verifier::run() {
  while (!done_ && problem_.empty()) {
    const int32_t req = codec_resume(*s_);

    // Asking for more: the fed bytes are used up. At the end it asks once
    // for every read that finds nothing, as the driver's loop serves it.
    if (req == 1) {
      if (!s_->io.in_eof) return;
      continue;
    }
    compare(s_->io.out_start, size_t(s_->io.out_cur - s_->io.out_start));
    s_->io.out_cur = s_->io.out_start;
    if (req == 0) done_ = true;
  }
}

void verifier::catch_up() {
  if (!enc_) return;
  const uint64_t skip = fed_ - written_;
  const uint8_t* p = enc_->io.out_start + skip;
  if (p < enc_->io.out_cur) feed(p, size_t(enc_->io.out_cur - p));
}

void verifier::written(const uint8_t* p, size_t n) {
  const uint64_t skip = std::min<uint64_t>(fed_ - written_, n);
  written_ += n;
  feed(p + skip, n - size_t(skip));
}

void verifier::feed(const uint8_t* p, size_t n) {
  fed_ += n;
  if (!s_ || done_ || !problem_.empty() || n == 0) return;
  s_->io.in_cur = s_->io.in_start = p;
  s_->io.in_end = p + n;
  run();
  // The decoder holds no pointer into the bytes once it asks for more.
  s_->io.in_cur = s_->io.in_start = s_->io.in_end = nullptr;
}

bool verifier::finish() {
  if (!s_) return false;
  s_->io.in_eof = 1;
  run();
  if (problem_.empty()) {
    if (s_->io.fail_msg || s_->dec.damage_msg)
      problem_ = s_->io.fail_msg ? s_->io.fail_msg : s_->dec.damage_msg;
    else if (head_ != queue_.size())
      problem_ = "the stream restores fewer bytes than the input has";
  }
  codec_delete(s_);
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
