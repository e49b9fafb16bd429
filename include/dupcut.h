/* libdupcut: remove long-range repetitions from a stream, restore it
 * exactly. Streaming in the manner of ZSTD_compressStream2 and lzma_code:
 * each call takes what it can from an input buffer and writes what it can
 * to an output buffer, advancing both positions.
 *
 * A context is used by one thread at a time; separate contexts may run on
 * separate threads at once. The library keeps no process-wide state apart
 * from its read-only table of code routes, installs no signal handlers,
 * prints nothing and never exits the process. See docs/libdupcut.md. */
#ifndef DUPCUT_H
#define DUPCUT_H

#include <stddef.h>
#include <stdint.h>

#define DUPCUT_VERSION_MAJOR 0
#define DUPCUT_VERSION_MINOR 3
#define DUPCUT_VERSION_PATCH 0
#define DUPCUT_VERSION_NUMBER (DUPCUT_VERSION_MAJOR * 10000 + DUPCUT_VERSION_MINOR * 100 + DUPCUT_VERSION_PATCH)
#define DUPCUT_VERSION_STRING "0.3.0"

#if defined(DUPCUT_BUILDING) && defined(__GNUC__)
#define DUPCUT_API __attribute__((visibility("default")))
#else
#define DUPCUT_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* What a call returns: progress (>= 0) or an error (< 0). */
typedef enum dupcut_status {
  DUPCUT_DONE = 0,        /* the stream is complete; reset or free next */
  DUPCUT_NEED_INPUT = 1,  /* all input taken: give more, or say it ended */
  DUPCUT_NEED_OUTPUT = 2, /* the output buffer is full: make room */
  DUPCUT_ERROR_PARAM = -1,             /* a parameter out of range, or a null pointer */
  DUPCUT_ERROR_MEMORY = -2,            /* table or window memory refused */
  DUPCUT_ERROR_WINDOW_TOO_LARGE = -3,  /* the stream's window is above the decoder's cap */
  DUPCUT_ERROR_DAMAGED = -4,           /* not a valid stream: bad header or a code that cannot be */
  DUPCUT_ERROR_TRUNCATED = -5,         /* the input ended inside the header or a code */
  DUPCUT_ERROR_SEQUENCE = -6           /* called after an error or after done, or the end withdrawn */
} dupcut_status;

/* The caller's buffers; a call reads src[pos..size) and writes
 * dst[pos..size), and advances pos past what it used. */
typedef struct dupcut_in_buffer {
  const void* src;
  size_t size;
  size_t pos;
} dupcut_in_buffer;

typedef struct dupcut_out_buffer {
  void* dst;
  size_t size;
  size_t pos;
} dupcut_out_buffer;

typedef struct dupcut_ctx dupcut_ctx;

/* Settings of a context, for dupcut_set_option. */
typedef enum dupcut_option {
  /* Decoding: 1 goes on past damage, restoring what the damaged stream
   * defines, as a salvage tool would; the damage is then reported when the
   * stream is complete, by DUPCUT_ERROR_DAMAGED in place of DUPCUT_DONE.
   * 0 (the default) stops at the damage. */
  DUPCUT_OPTION_PAST_DAMAGE = 1,
  /* Threads a context may use: 1 (the default) runs on the caller's thread
   * only. n >= 2 gives an encoder n - 1 threads of its own (at most 15)
   * that cut and digest the stages ahead while the caller's thread makes
   * the table calls, and either kind a thread that faults in fresh table
   * or window memory ahead of use. The bytes are the same for any n. */
  DUPCUT_OPTION_THREADS = 2,
  /* 1: the caller promises to leave the input buffer's unread bytes where
   * they are and unchanged (src, size and pos as the last call left them)
   * until a call returns DUPCUT_NEED_INPUT, as with zstd's stable input
   * buffer; a decoder then reads them in place instead of copying them. A
   * call that breaks the promise while the decoder holds the buffer gets
   * DUPCUT_ERROR_PARAM. 2: the caller promises more, to leave every input
   * byte it has given where it is and unchanged until the stream ends (a
   * call returns DUPCUT_DONE or an error, or the context is reset or
   * freed), as when the whole stream is in memory; a decoder then takes
   * its copies from there and keeps them out of its window, which stays
   * nearly untouched. 0 (the default): any buffer, any call. Encoders
   * always read in place and ignore it. */
  DUPCUT_OPTION_STABLE_INPUT = 3
} dupcut_option;

/* What a stream's first 4 bytes tell. */
typedef struct dupcut_header_info {
  uint32_t divisor;        /* chunk divisor, 1..65535 */
  uint32_t window_mib;     /* decoder window, 1..4095 MiB */
  uint64_t decoder_bytes;  /* memory a decoding context needs for it, about */
} dupcut_header_info;

typedef struct dupcut_counters {
  uint64_t in_bytes;     /* taken from input buffers since create or reset */
  uint64_t out_bytes;    /* written to output buffers */
  uint64_t data_bytes;   /* of the original data so far */
  uint64_t chunks;       /* chunks closed so far */
  uint64_t match_bytes;  /* data bytes that went as references to earlier chunks */
} dupcut_counters;

/* An encoder: chunk divisor 1..65535 (mean chunk about divisor + 63
 * bytes), chunk table of table_mib MiB (1..4095, 20 bytes a chunk) and a
 * decoder window of window_mib MiB (1..4095). NULL on failure, with the
 * reason in *status when status is not NULL. */
DUPCUT_API dupcut_ctx* dupcut_encoder_create(uint32_t divisor, uint32_t table_mib, uint32_t window_mib,
                                             dupcut_status* status);

/* A decoder that refuses streams whose window is above window_cap_mib
 * (0: no cap), before allocating the window. */
DUPCUT_API dupcut_ctx* dupcut_decoder_create(uint32_t window_cap_mib, dupcut_status* status);

/* Takes input and writes output until the input is used up, the output is
 * full, or the stream is complete. end != 0 says the input ends with what
 * this call's buffer holds; once given it must be given on every later
 * call of this stream. in may be NULL (no input). An error is final: every
 * later call returns DUPCUT_ERROR_SEQUENCE until dupcut_reset. */
DUPCUT_API dupcut_status dupcut_code(dupcut_ctx* ctx, dupcut_out_buffer* out, dupcut_in_buffer* in, int end);

/* Sets an option; before the first dupcut_code of a stream (after create
 * or reset), else DUPCUT_ERROR_SEQUENCE. Options last until changed.
 * DUPCUT_ERROR_PARAM for an unknown option or value. */
DUPCUT_API dupcut_status dupcut_set_option(dupcut_ctx* ctx, dupcut_option option, uint32_t value);

/* The reason for the stream's error in a sentence, more precise than the
 * status string ("bad stream header: chunk divisor 0"); "" when there was
 * none. Valid until the next call on ctx. */
DUPCUT_API const char* dupcut_error_message(const dupcut_ctx* ctx);

/* Ready for a new stream with the same parameters, from any state. An
 * encoder keeps its table's memory (emptied); a decoder keeps its window
 * for a stream of the same window size. */
DUPCUT_API dupcut_status dupcut_reset(dupcut_ctx* ctx);

/* Releases everything; NULL is ignored. */
DUPCUT_API void dupcut_free(dupcut_ctx* ctx);

/* Reads a stream's header from its first size bytes (4 are needed):
 * DUPCUT_DONE and *info filled, DUPCUT_ERROR_TRUNCATED when size < 4,
 * DUPCUT_ERROR_DAMAGED when the numbers are out of range. */
DUPCUT_API dupcut_status dupcut_probe_header(const void* src, size_t size, dupcut_header_info* info);

/* The counters of the current stream. */
DUPCUT_API dupcut_status dupcut_get_counters(const dupcut_ctx* ctx, dupcut_counters* counters);

/* A short English description of a status; never NULL. */
DUPCUT_API const char* dupcut_status_string(dupcut_status status);

/* The library's version, as DUPCUT_VERSION_NUMBER and _STRING were when it
 * was built. */
DUPCUT_API unsigned dupcut_version_number(void);
DUPCUT_API const char* dupcut_version_string(void);

#ifdef DUPCUT_STATIC_LINKING_ONLY
/* Not part of the stable interface: what the dupcut program takes from a
 * context beyond the calls above. It may change in any release, so use it
 * only with the library of the same version (linked statically, or the
 * shared library of exactly that version). */

/* A context's numbers, for the program's console lines. */
typedef struct dupcut_setup {
  uint32_t started;     /* nonzero once the stream's start is done (a
                           decoder's header read and its window had); the
                           numbers below hold from then on */
  uint32_t divisor;     /* the chunk divisor in use (a decoder's: the stream's) */
  uint32_t table_bytes; /* encoder: the chunk table's memory; decoder: 0 */
  uint32_t window_bytes; /* the decoder window: an encoder's for its stream, a decoder's own */
  uint32_t table_slots; /* encoder: the chunk table's slots */
  uint32_t record_size; /* encoder: bytes of one scratch record of the table */
  uint32_t state_size;  /* bytes of the codec state inside the context */
  uintptr_t table_address; /* encoder: where the table lies */
} dupcut_setup;

DUPCUT_API dupcut_status dupcut_get_setup(const dupcut_ctx* ctx, dupcut_setup* setup);

/* For a decoder whose input is kept (DUPCUT_OPTION_STABLE_INPUT 2): the
 * input given from now on is not, and the decoder puts the chunks it holds
 * back into its window as it goes on; later streams of the context are
 * read as with DUPCUT_OPTION_STABLE_INPUT 1. The input kept so far must
 * stay until dupcut_input_held returns 0. Any time between calls. */
DUPCUT_API dupcut_status dupcut_keep_no_more(dupcut_ctx* ctx);
/* Nonzero while a decoder may still read input that was kept. */
DUPCUT_API int dupcut_input_held(const dupcut_ctx* ctx);
#endif /* DUPCUT_STATIC_LINKING_ONLY */

#ifdef __cplusplus
}
#endif

#endif /* DUPCUT_H */
