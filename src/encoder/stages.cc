#include "encoder/stages.h"

#include <algorithm>
#include <cstring>
#include <system_error>

#include "chunking/dispatch.h"
#include "core/alloc.h"

namespace dupcut {

void stage_candidates(const chunker& ck, stage& s, uint32_t a, uint32_t b) {
  if (a >= b) return;
  const uint8_t* const d = s.buf + stage_lead;
  chunker_candidates(ck, d + a, b - a, s.cand + a / 64);
  // The part's first 15 windows reach back before it (into the lead for
  // the first part, which holds the stage before's last 15 bytes).
  constexpr uint32_t back = roll_bytes - 1;
  const uint8_t* const q = d + a - back;
  const uint32_t e = back + std::min(back, b - a);
  for (uint32_t j = back; (j = cut_find(ck, q, j, e)) < e; j++) {
    const uint32_t t = a + j - back;
    s.cand[t / 64] |= uint64_t(1) << (t & 63);
  }
}

void stage_walk(chunker& ck, stage& s, const stage* prev) {
  // The chunk the stage before left open: its head goes into the lead,
  // but for the last 15 bytes, which stage_post put there.
  constexpr uint32_t near = roll_bytes - 1;
  const uint32_t carry = prev ? prev->tail : 0;
  if (carry > near) std::memcpy(s.buf + stage_lead - carry, prev->buf + stage_lead + prev->fresh - carry, carry - near);
  // Offsets in buf; candidate bit i is buf offset stage_lead + i.
  const uint32_t end = stage_lead + s.fresh;
  uint32_t c = stage_lead - carry, n = 0;
  while (c + min_chunk <= end) {
    const uint32_t hi = end - c < max_chunk ? end : c + max_chunk;
    // The open chunk's windows before the fresh bytes were the stage
    // before's, and none of them ended it.
    const uint32_t lo = std::max(c + min_chunk - 1, stage_lead);
    const uint32_t j = lo < hi ? next_candidate(s.cand, lo - stage_lead, hi - stage_lead) + stage_lead : hi;
    uint32_t len;
    if (j < hi)
      len = j - c + 1;
    else if (end - c >= max_chunk)
      len = max_chunk;
    else
      break;
    s.ptr[n] = s.buf + c;
    s.len[n] = len;
    n++;
    ck.byte_count += len;
    c += len;
  }
  s.cut_n = n;
  if (s.eof) {
    ck.byte_count += end - c;
    chunk_finish_buf(ck, s.buf + c, end - c);
    s.ptr[n] = s.buf + c;
    s.len[n] = end - c;
    s.key[n++] = ck.cur_key;
    c = end;
  }
  s.n = n;
  s.tail = end - c;
}

void stage_digest(stage& s, uint32_t a, uint32_t b) { digest_keys(s.ptr + a, s.len + a, s.key + a, b - a); }

namespace {

enum class step : uint8_t { none, cand, walk, digest };
struct part {
  stage* s;
  step what;
  uint32_t i;
};

// Digest parts of fewer chunks than this would leave the digest's lanes
// idle: long chunks are digested many to a register.
constexpr uint32_t dig_min = 256;

// The next part to run among the live stages before `last`: the oldest
// stage's first, its walk before its digests before its candidates.
// Under the lock.
part pick(pipeline& p, uint64_t last) {
  for (uint64_t q = p.first; q < last; q++) {
    stage& s = *p.ring[q % p.stages];
    if (q == p.walked && !s.walking && s.cand_done == s.cand_parts) {
      s.walking = true;
      return {&s, step::walk, 0};
    }
    if (q < p.walked && s.dig_next < s.dig_parts) return {&s, step::digest, s.dig_next++};
    if (s.cand_next < s.cand_parts) return {&s, step::cand, s.cand_next++};
  }
  return {nullptr, step::none, 0};
}

// Runs j out of the lock; lk is held again on return, the part counted.
void run(pipeline& p, const part& j, std::unique_lock<std::mutex>& lk) {
  chunker& ck = *p.ck;
  stage& s = *j.s;
  const stage* prev = s.seq ? p.ring[(s.seq - 1) % p.stages] : nullptr;
  p.busy++;
  lk.unlock();
  if (j.what == step::cand) {
    // Parts of whole 64-byte words.
    const uint32_t size = ((s.fresh + s.cand_parts - 1) / s.cand_parts + 63) & ~63u;
    stage_candidates(ck, s, std::min(s.fresh, j.i * size), std::min(s.fresh, (j.i + 1) * size));
  }
  if (j.what == step::walk) stage_walk(ck, s, prev);
  if (j.what == step::digest) stage_digest(s, s.cut_n * j.i / s.dig_parts, s.cut_n * (j.i + 1) / s.dig_parts);
  lk.lock();
  p.busy--;
  if (j.what == step::cand) s.cand_done++;
  if (j.what == step::digest) s.dig_done++;
  if (j.what == step::walk) {
    s.walking = false;
    const uint32_t most = s.split ? stage_parts : 1;
    s.dig_parts = uint8_t(std::clamp<uint32_t>(s.cut_n / dig_min, s.cut_n ? 1 : 0, most));
    p.walked++;
  }
  p.cv.notify_all();
}

void worker_main(pipeline* pp) {
  pipeline& p = *pp;
  std::unique_lock lk(p.m);
  while (!p.quit) {
    const part j = pick(p, p.next);
    if (j.s)
      run(p, j, lk);
    else
      p.cv.wait(lk);
  }
}

void workers_stop(pipeline& p) {
  {
    const std::lock_guard lk(p.m);
    p.quit = true;
  }
  p.cv.notify_all();
  for (uint32_t i = 0; i < p.workers; i++) p.th[i].join();
  p.workers = 0;
  p.quit = false;
}

}  // namespace

bool pipeline_open(pipeline& p, uint32_t threads) {
  const uint32_t want = std::clamp<uint32_t>(threads, 1, max_threads) - 1;
  const uint32_t stages = want ? want + 2 : 2;
  // Workers read the ring: it changes only without them.
  if (p.workers != want || p.stages != stages) workers_stop(p);
  for (; p.stages > stages; p.stages--) free_pages(p.ring[p.stages - 1], sizeof(stage));
  for (; p.stages < stages; p.stages++)
    if (!(p.ring[p.stages] = static_cast<stage*>(alloc_pages(sizeof(stage))))) break;
  if (p.stages < 2) {
    pipeline_close(p);
    return false;
  }
  // Fewer stages than asked for: fewer workers, the codec's stage and a
  // stage each at least.
  const uint32_t w = std::min(want, p.stages - 1);
  for (; p.workers < w; p.workers++) {
    try {
      p.th[p.workers] = std::thread(worker_main, &p);
    } catch (const std::system_error&) {
      break;
    }
  }
  return true;
}

void pipeline_close(pipeline& p) {
  workers_stop(p);
  for (; p.stages; p.stages--) free_pages(p.ring[p.stages - 1], sizeof(stage));
}

void pipeline_start(pipeline& p, chunker& ck) {
  const std::lock_guard lk(p.m);
  p.ck = &ck;
  p.first = p.next = p.walked = 0;
}

stage& stage_free(pipeline& p) { return *p.ring[p.next % p.stages]; }

void stage_post(pipeline& p, stage& s) {
  // The windows of the first fresh bytes reach back 15 bytes: the stage
  // before's last ones (none before the stream's first).
  constexpr uint32_t back = roll_bytes - 1;
  uint8_t* const lead = s.buf + stage_lead - back;
  if (p.next)
    std::memcpy(lead, p.ring[(p.next - 1) % p.stages]->buf + stage_lead + stage_size - back, back);
  else
    std::memset(lead, 0, back);
  {
    const std::lock_guard lk(p.m);
    s.seq = p.next++;
    // Parts only where another thread may take them.
    s.split = p.workers > 0;
    s.cand_parts = s.fresh == 0 ? 0 : s.split ? stage_parts : 1;
    s.cand_next = s.cand_done = 0;
    s.dig_parts = s.dig_next = s.dig_done = 0;
    s.walking = false;
  }
  p.cv.notify_all();
}

stage& stage_wait(pipeline& p) {
  std::unique_lock lk(p.m);
  stage& s = *p.ring[p.first % p.stages];
  while (p.first >= p.walked || s.dig_done < s.dig_parts) {
    const part j = pick(p, p.first + 1);
    if (j.s)
      run(p, j, lk);
    else
      p.cv.wait(lk);
  }
  return s;
}

void stage_done(pipeline& p) {
  const std::lock_guard lk(p.m);
  p.first++;
}

void pipeline_settle(pipeline& p) {
  std::unique_lock lk(p.m);
  p.next = p.first;
  p.cv.wait(lk, [&p] { return p.busy == 0; });
  p.first = p.next = p.walked = 0;
}

}  // namespace dupcut
