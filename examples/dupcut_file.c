/* Encodes IN to ENCODED and decodes ENCODED to RESTORED through libdupcut,
 * with small buffers, the way a backup tool would stream a file.
 *
 *   dupcut_file IN ENCODED RESTORED [DIVISOR TABLE_MIB WINDOW_MIB]
 */
#include <dupcut.h>
#include <stdio.h>
#include <stdlib.h>

/* Small on purpose: every call runs out of input or output space often. */
enum { in_size = 1000, out_size = 777 };

/* Streams the file `from` through ctx into the file `to`; 0 on success. */
static int pump(dupcut_ctx* ctx, const char* from, const char* to) {
  FILE* in = fopen(from, "rb");
  FILE* out = fopen(to, "wb");
  unsigned char ib[in_size], ob[out_size];
  dupcut_in_buffer i = {ib, 0, 0};
  dupcut_status st = DUPCUT_NEED_INPUT;
  int end = 0, ok = in && out;
  while (ok) {
    if (i.pos == i.size && !end) { /* all taken: read more */
      i.size = fread(ib, 1, sizeof ib, in);
      i.pos = 0;
      end = i.size < sizeof ib; /* the format has no end marker: we say it */
    }
    dupcut_out_buffer o = {ob, sizeof ob, 0};
    st = dupcut_code(ctx, &o, &i, end);
    ok = fwrite(ob, 1, o.pos, out) == o.pos;
    if (st == DUPCUT_DONE || st < 0) break;
  }
  if (st < 0) fprintf(stderr, "dupcut_file: %s: %s\n", from, dupcut_status_string(st));
  ok = ok && st == DUPCUT_DONE && !ferror(in);
  if (in) fclose(in);
  if (out && fclose(out) != 0) ok = 0;
  return ok ? 0 : 1;
}

int main(int argc, char** argv) {
  if (argc != 4 && argc != 7) {
    fprintf(stderr, "usage: dupcut_file IN ENCODED RESTORED [DIVISOR TABLE_MIB WINDOW_MIB]\n");
    return 2;
  }
  unsigned div = 100, table = 256, window = 1024; /* the program's defaults */
  if (argc == 7) {
    div = (unsigned)atoi(argv[4]);
    table = (unsigned)atoi(argv[5]);
    window = (unsigned)atoi(argv[6]);
  }
  dupcut_status st;
  dupcut_ctx* enc = dupcut_encoder_create(div, table, window, &st);
  if (!enc) {
    fprintf(stderr, "dupcut_file: %s\n", dupcut_status_string(st));
    return 1;
  }
  int rc = pump(enc, argv[1], argv[2]);
  dupcut_counters n;
  dupcut_get_counters(enc, &n);
  dupcut_free(enc);
  if (rc) return rc;
  printf("libdupcut %s: %llu bytes in %llu chunks, %llu in matches, %llu encoded\n", dupcut_version_string(),
         (unsigned long long)n.data_bytes, (unsigned long long)n.chunks, (unsigned long long)n.match_bytes,
         (unsigned long long)n.out_bytes);

  /* Refuse streams that would need more than 2 GiB of window. */
  dupcut_ctx* dec = dupcut_decoder_create(2048, &st);
  if (!dec) {
    fprintf(stderr, "dupcut_file: %s\n", dupcut_status_string(st));
    return 1;
  }
  rc = pump(dec, argv[2], argv[3]);
  dupcut_free(dec);
  return rc;
}
