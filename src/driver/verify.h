// Proof that a stream restores: while the encoder runs, a second codec state
// decodes its output as it is produced and compares the result with the
// input the encoder has read. Both codecs are coroutines over explicit
// state, so one thread alternates them. The decoder takes the encoder's
// output whenever the encoder asks for input, not only when a buffer is
// full: a full buffer of match codes can stand for a GiB of input, but
// between two requests for input the encoder holds at most its stage (two
// with a second thread) and a chunk, so the input bytes not yet restored
// fit a bounded queue.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "dupcut.h"
#include "driver/sha256.h"

namespace dupcut {

class verifier {
 public:
  verifier() = default;
  ~verifier();
  verifier(const verifier&) = delete;
  verifier& operator=(const verifier&) = delete;

  // Sets up the decoder; false with the message in err.
  bool open(char* err, size_t err_size);
  // Input bytes, in order, as the encoder reads them.
  void took(const uint8_t* p, size_t n);
  // Stream bytes, in order: decodes them and compares what they restore.
  void feed(const uint8_t* p, size_t n);
  // The encoder's output buffer, whose filled part catch_up() takes.
  void follow(const dupcut_out_buffer* encoder_out) { enc_ = encoder_out; }
  // Feeds what the encoder has put in its output buffer since the last
  // call; for the moment it asks for input.
  void catch_up();
  // The encoder's output as its driver writes it, the whole of each buffer:
  // feeds the part that catch_up() has not.
  void written(const uint8_t* p, size_t n);
  // The stream has ended. True when it restored exactly the input; else
  // problem() says why and mismatch_at() where.
  bool finish();

  const std::string& problem() const { return problem_; }
  uint64_t mismatch_at() const { return restored_; }
  // SHA-256 of the restored data, as sha256sum prints it; after finish().
  const std::string& digest() const { return digest_; }
  // Most input bytes held at once, waiting for the decoder.
  size_t queue_peak() const { return peak_; }

 private:
  void run(dupcut_in_buffer* in, bool end);
  void compare(const uint8_t* p, size_t n);

  dupcut_ctx* s_ = nullptr;
  const dupcut_out_buffer* enc_ = nullptr;
  uint64_t fed_ = 0;      // stream bytes given to the decoder
  uint64_t written_ = 0;  // stream bytes before the encoder's output buffer
  bool done_ = false;  // the decoder has finished; it must not be resumed
  std::vector<uint8_t> queue_;
  size_t head_ = 0;
  size_t peak_ = 0;
  uint64_t restored_ = 0;
  std::string problem_;
  std::string digest_;
  sha256 hash_;
  std::vector<uint8_t> out_ = std::vector<uint8_t>(size_t(1) << 16);
};

}  // namespace dupcut
