// The one state object of a run: buffer cursors, coroutine hand-off, chunk
// table, chunker, and the decoder's window. Every function of the codec takes
// it explicitly, so tests build their own instances.
#pragma once

#include <coroutine>
#include <cstddef>
#include <cstdint>

namespace dupcut {

constexpr uint32_t io_buf_size = 65536;
constexpr uint32_t chunk_buf_size = 69632;
constexpr uint32_t probe_window = 32;

// 14 digest bytes, then the chunk length as u16 little-endian.
struct chunk_key {
  uint8_t b[16];
};

struct table_slot {
  uint32_t tag;  // 0 empty, 1 tombstone, else position + 2
  chunk_key key;
};
static_assert(sizeof(table_slot) == 20);

// Scratch record of one insertion; its size is part of console line 1.
struct hinf {
  chunk_key key;
  uint32_t tag;
  uint32_t home;
  uint32_t slot;
};
static_assert(sizeof(hinf) == 28);

// The span route's encoder gathers input in a stage and cuts, digests and
// codes the chunks that end in it together; long chunks need a stage of
// many buffers to keep the digest lanes busy. At most one chunk per 64
// bytes, plus a short last one.
constexpr uint32_t stage_size = 16 * io_buf_size;
constexpr uint32_t batch_max = stage_size / 64 + 1;
struct chunk_batch {
  const uint8_t* ptr[batch_max];
  uint32_t len[batch_max];
  chunk_key key[batch_max];
  uint32_t n;
  uint64_t cand[stage_size / 64];  // boundary candidates of the stage
  uint8_t stage[stage_size];
};

// Where the decoder's recent chunks start (span route only). A chunk's end
// depends on its own bytes alone, so a copy from a logged chunk start that
// is still in the ring takes that chunk's length without scanning it.
struct chunk_log {
  uint32_t* start;  // start[i & mask]: low 32 bits of chunk i's first position
  uint32_t order;   // log2 of the entries; 0: the default
  uint32_t mask;
  uint64_t n;       // chunks logged so far
  uint64_t oldest;  // first position of the oldest chunk still logged
  uint64_t last;    // the last copy's source chunk, ~0 when not known,
  uint64_t last_pos;  // and its first position
};

// A long chunk's sweep, deferred: visits [first, end) of the cursor, made
// when the data had reached true position `at`.
struct sweep_rec {
  uint64_t first;
  uint64_t end;
  uint64_t at;
};

struct chunk_table {
  uint32_t cfg_tblsize;
  uint32_t encmem;          // bytes
  uint32_t cfg_decwinsize;  // bytes
  uint32_t found_pos;
  uint32_t sweep_cur;
  hinf rec[probe_window];
  table_slot* htbl;

  // Tags hold positions modulo 0xFFFF0000; distances are decided on true
  // positions (data bytes before the chunk, 64-bit), so that an entry older
  // than the position space never reads as a near one.
  uint64_t found_dist;  // true distance of the most recent hit
  uint8_t* wrap;        // 2 bits a slot: (true position / 0xFFFF0000) mod 4
  uint32_t wrapped;     // set once positions pass 0xFFFF0000; wrap is all 0 before
  uint64_t rec_at[probe_window];  // true positions of an insertion's records
  uint64_t reached;               // true position of the latest call

  // The sweep's visits are counted; a chunk's sweep of lazy_min slots or
  // more is kept as a record and applied to a slot when a call reads it.
  uint64_t visits;
  sweep_rec* hist;  // ring of deferred sweeps, oldest at hist_head
  uint32_t hist_cap;
  uint32_t hist_head;
  uint32_t hist_n;
  uint32_t lazy_min;
};

struct codec_state {
  // Buffer cursors. The codec only advances in_cur and out_cur.
  const uint8_t* in_cur;
  const uint8_t* in_start;
  const uint8_t* in_end;
  uint8_t* out_cur;
  uint8_t* out_start;
  uint8_t* out_end;

  // Coroutine hand-off: request code, end-of-input flag, the innermost
  // suspended codec frame (resumed by the driver) and the entry frame.
  int32_t request;
  uint32_t in_eof;
  std::coroutine_handle<> codec_ctx;
  std::coroutine_handle<> codec_root;

  chunk_table tbl;

  uint32_t cfg_chunkdiv;
  uint64_t total_bytes;
  uint64_t chunk_count;
  uint64_t match_bytes;  // data bytes in match records
  uint32_t cur_pos;
  uint8_t* win_buf;
  uint32_t win_pos;

  // Chunker and digest.
  uint32_t roll_hash;
  uint32_t chunk_len;
  uint32_t byte_count;  // only the low 8 bits are used
  uint32_t roll_window;
  uint32_t roll_threshold;
  alignas(16) uint8_t digest_buf[64];
  uint32_t crc_table[256];
  uint32_t drop_table[256];
  uint8_t roll_history[256];
  chunk_key cur_key;

  uint32_t chunk_fill;
  uint8_t chunk_buf[chunk_buf_size];
  chunk_batch batch;

  // Set by the codec before its final suspension when the run must fail;
  // the driver reports it after writing out what was restored.
  const char* fail_msg;
  // The first sign that a stream cannot be an encoder's output; decoding
  // goes on as defined and the run ends as a failure.
  const char* damage_msg;

  uint32_t decode_mode;
  // 0: the codec moves strictly one byte per get_byte / put_byte, the
  // reference route; 1: its loops take whole spans of the I/O buffers.
  // Both give the same bytes, requests and counters.
  uint32_t span_io;

  chunk_log log;
};

}  // namespace dupcut
