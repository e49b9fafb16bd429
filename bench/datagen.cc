// The input kinds stand for what a long-range deduplicator meets in use:
//   versions  tar-like archives of successive releases of a source tree
//             (text and object files), each a few small edits from the last
//   backup    daily dumps of a slowly changing database with attachments
//             and an append-only log
//   random    incompressible bytes: the cost of finding nothing
//   disk      a VM-image-like mix of zero runs, compressed-looking blocks,
//             text blocks, metadata tables and blocks repeated elsewhere
#include "datagen.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace dupcut_bench {

uint32_t rng::logrange(uint32_t lo, uint32_t hi) {
  uint32_t span = hi - lo + 1;
  uint32_t bits = 1;
  while (bits < 32 && (1ull << bits) < span) bits++;
  uint32_t cap = uint32_t(std::min<uint64_t>(1ull << range(0, bits), span));
  return lo + below(cap);
}

void rng::fill(uint8_t* p, size_t n) {
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t v = next();
    std::memcpy(p + i, &v, 8);
  }
  if (i < n) {
    uint64_t v = next();
    std::memcpy(p + i, &v, n - i);
  }
}

namespace {

// Collects output in 1 MiB pieces and stops at exactly `limit` bytes.
class writer {
 public:
  writer(uint64_t limit, const sink_fn& out) : left_(limit), out_(out) { buf_.reserve(piece); }
  ~writer() { flush(); }
  bool full() const { return left_ == 0; }
  void put(const void* p, size_t n) {
    n = size_t(std::min<uint64_t>(n, left_));
    left_ -= n;
    const uint8_t* b = static_cast<const uint8_t*>(p);
    while (n > 0) {
      size_t k = std::min(n, piece - buf_.size());
      buf_.insert(buf_.end(), b, b + k);
      b += k;
      n -= k;
      if (buf_.size() == piece) flush();
    }
  }
  void put(const std::string& s) { put(s.data(), s.size()); }
  void flush() {
    if (!buf_.empty()) out_(buf_.data(), buf_.size());
    buf_.clear();
  }

 private:
  static constexpr size_t piece = 1 << 20;
  uint64_t left_;
  const sink_fn& out_;
  std::vector<uint8_t> buf_;
};

// Source-code-like lines from a fixed vocabulary with a skewed word choice,
// so text repeats inside a file the way real code does.
class text_gen {
 public:
  text_gen(rng& r, size_t nwords) : r_(r) {
    static const char* const syll[] = {"get", "set", "buf", "len", "ptr", "node", "list", "map", "key", "val",
                                       "cnt", "idx", "tmp", "str", "cfg", "ctx", "err", "pos", "end", "beg",
                                       "read", "write", "open", "close", "data", "info", "item", "size", "hash",
                                       "next", "prev", "head", "tail", "init", "free", "alloc", "user", "file"};
    const size_t ns = sizeof syll / sizeof syll[0];
    for (size_t i = 0; i < nwords; i++) {
      std::string w = syll[r_.below(ns)];
      for (uint32_t k = r_.range(0, 2); k > 0; k--) {
        w += r_.chance(0.5) ? "_" : "";
        w += syll[r_.below(ns)];
      }
      words_.push_back(w);
    }
  }

  const std::string& word() { return words_[r_.below(r_.below(uint32_t(words_.size())) + 1)]; }

  void number(std::string& o) {
    char b[24];
    if (r_.chance(0.2))
      std::snprintf(b, sizeof b, "0x%X", unsigned(r_.next() & 0xFFFFF));
    else
      std::snprintf(b, sizeof b, "%u", r_.logrange(0, 100000));
    o += b;
  }

  // One line of code with its newline; depth is the file's nesting level.
  void line(std::string& o, int& depth) {
    static const char* const types[] = {"int", "size_t", "uint32_t", "const char*", "struct node*", "bool", "auto"};
    static const char* const ops[] = {" < ", " == ", " != ", " >= ", " & ", " + "};
    uint32_t t = r_.below(12);
    if (t == 2 && depth == 0) t = 0;
    if (t == 2) depth--;
    o.append(size_t(4 * depth), ' ');
    switch (t) {
      case 0:
        o += word(), o += " = ", o += word(), o += '(', o += word(), o += ", ", number(o), o += ");";
        break;
      case 1:
        o += "if (", o += word(), o += ops[r_.below(6)], number(o), o += ") {";
        depth++;
        break;
      case 2:
        o += '}';
        break;
      case 3:
        o += "return ", o += word(), o += ';';
        break;
      case 4:
        o += "//";
        for (uint32_t k = r_.range(3, 10); k > 0; k--) o += ' ', o += word();
        break;
      case 5:
        break;
      case 6:
        o += types[r_.below(7)], o += ' ', o += word(), o += " = ", o += word(), o += "->", o += word(), o += ';';
        break;
      case 7:
        o += "for (", o += types[0], o += " i = 0; i < ", o += word(), o += "; i++) {";
        depth++;
        break;
      case 8:
        o += word(), o += "(", o += word(), o += ", \"", o += word(), o += ' ', o += word(), o += "\");";
        break;
      case 9:
        o += word(), o += '.', o += word(), o += " += ", o += word(), o += '[', o += word(), o += "];";
        break;
      default:
        o += types[r_.below(7)], o += ' ', o += word(), o += '(', o += types[r_.below(7)], o += ' ', o += word(),
            o += ");";
        break;
    }
    o += '\n';
    if (depth > 6) depth = 6;
  }

  void lines(std::string& o, size_t bytes) {
    int depth = 0;
    size_t stop = o.size() + bytes;
    while (o.size() < stop) line(o, depth);
  }

  void file(std::string& o, size_t bytes) {
    for (uint32_t k = r_.range(1, 8); k > 0; k--) o += "#include \"", o += word(), o += ".h\"\n";
    o += '\n';
    lines(o, bytes);
  }

 private:
  rng& r_;
  std::vector<std::string> words_;
};

// Object-file-like bytes: header, skewed "machine code" with call offsets,
// a data section, a string table and a table of fixed-size symbol records.
void binary_file(rng& r, text_gen& t, std::string& o, size_t size) {
  static const uint8_t common[] = {0x48, 0x89, 0x8B, 0x0F, 0x00, 0xFF, 0x83, 0xC3, 0x45, 0x4C, 0x85, 0x74,
                                   0x75, 0xE8, 0x31, 0xC0, 0x24, 0x44, 0x01, 0x8D, 0x5D, 0x41, 0x10, 0x08};
  const size_t base = o.size();
  o += "\x7f" "ELF\x02\x01\x01";
  o.append(9, '\0');
  for (int i = 0; i < 6; i++) {
    uint64_t v = r.next() & 0xFFFFFF;
    o.append(reinterpret_cast<const char*>(&v), 8);
  }
  const size_t code_end = base + size * 5 / 10, data_end = base + size * 7 / 10, str_end = base + size * 9 / 10;
  while (o.size() < code_end) {
    uint8_t op = common[r.below(sizeof common)];
    o += char(op);
    if (op == 0xE8) {
      uint32_t rel = uint32_t(r.next());
      o.append(reinterpret_cast<const char*>(&rel), 4);
    } else {
      for (uint32_t k = r.below(4); k > 0; k--) o += char(r.chance(0.6) ? common[r.below(sizeof common)] : r.below(256));
    }
  }
  while (o.size() < data_end) {
    uint32_t w = r.chance(0.4) ? 0 : r.chance(0.5) ? r.logrange(0, 65535) : uint32_t(r.next());
    o.append(reinterpret_cast<const char*>(&w), 4);
  }
  while (o.size() < str_end) o += t.word(), o += '\0';
  uint32_t name = 0, addr = 0x401000;
  while (o.size() < base + size) {
    uint32_t rec[6] = {name, 0x12, addr, 0, r.logrange(1, 4096), 0};
    name += r.range(4, 24);
    addr += r.range(16, 4096);
    o.append(reinterpret_cast<const char*>(rec), sizeof rec);
  }
  o.resize(base + size);
}

// ---- versions ----

struct src_file {
  std::string path;
  std::string data;
  uint32_t mtime;
  bool binary;
};

void octal(char* field, size_t width, uint64_t v) { std::snprintf(field, width, "%0*llo", int(width - 1), (unsigned long long)v); }

// A ustar header, so unchanged files look the same in every version.
void tar_header(writer& w, const src_file& f) {
  char h[512] = {};
  std::snprintf(h, 100, "%s", f.path.c_str());
  octal(h + 100, 8, 0644);
  octal(h + 108, 8, 1000);
  octal(h + 116, 8, 1000);
  octal(h + 124, 12, f.data.size());
  octal(h + 136, 12, f.mtime);
  h[156] = '0';
  std::memcpy(h + 257, "ustar\0" "00", 8);
  std::memcpy(h + 265, "dev", 3);
  std::memcpy(h + 297, "dev", 3);
  std::memset(h + 148, ' ', 8);
  unsigned sum = 0;
  for (unsigned char c : h) sum += c;
  std::snprintf(h + 148, 8, "%06o", sum);
  w.put(h, 512);
}

src_file new_file(rng& r, text_gen& t, const std::vector<std::string>& dirs, uint32_t mtime) {
  src_file f;
  f.binary = r.chance(0.3);
  f.mtime = mtime;
  f.path = "proj/" + dirs[r.below(uint32_t(dirs.size()))] + "/" + t.word() + (f.binary ? ".o" : r.chance(0.3) ? ".h" : ".c");
  if (f.binary)
    binary_file(r, t, f.data, r.logrange(1024, 262144));
  else
    t.file(f.data, r.logrange(256, 65536));
  return f;
}

size_t line_start(const std::string& s, size_t p) {
  while (p > 0 && s[p - 1] != '\n') p--;
  return p;
}

void edit_text(rng& r, text_gen& t, std::string& d) {
  if (d.empty()) return;
  size_t p = r.below(uint32_t(d.size()));
  uint32_t what = r.below(3);
  if (what > 0) p = line_start(d, p);
  switch (what) {
    case 0: {  // rename or change one token
      size_t n = std::min<size_t>(r.range(1, 12), d.size() - p);
      d.replace(p, n, t.word());
      break;
    }
    case 1: {  // insert a few lines
      std::string ins;
      int depth = 1;
      for (uint32_t k = r.range(1, 6); k > 0; k--) t.line(ins, depth);
      d.insert(p, ins);
      break;
    }
    default: {  // delete a few lines
      size_t e = p;
      for (uint32_t k = r.range(1, 6); k > 0 && e < d.size(); k--) {
        size_t nl = d.find('\n', e);
        e = nl == std::string::npos ? d.size() : nl + 1;
      }
      d.erase(p, e - p);
      break;
    }
  }
}

void edit_binary(rng& r, text_gen& t, std::string& d) {
  if (d.size() < 64) return;
  size_t p = r.below(uint32_t(d.size()));
  switch (r.below(3)) {
    case 0: {  // a relink: addresses shift by a small amount throughout a region
      size_t end = std::min(d.size(), p + r.logrange(256, uint32_t(d.size())));
      uint32_t stride = 4 * r.range(4, 16), delta = r.range(1, 64) * 16;
      for (size_t q = p & ~size_t(3); q + 4 <= end; q += stride) {
        uint32_t v;
        std::memcpy(&v, &d[q], 4);
        v += delta;
        std::memcpy(&d[q], &v, 4);
      }
      break;
    }
    case 1: {  // new or removed code
      if (r.chance(0.5)) {
        std::string ins;  // without its file header
        binary_file(r, t, ins, 64 + r.logrange(16, 2048));
        d.insert(p, ins, 64, std::string::npos);
      } else {
        d.erase(p, std::min<size_t>(r.logrange(16, 2048), d.size() - p));
      }
      break;
    }
    default: {
      size_t n = std::min<size_t>(r.range(4, 64), d.size() - p);
      for (size_t i = 0; i < n; i++) d[p + i] = char(r.below(256));
      break;
    }
  }
}

void gen_versions(rng& r, uint64_t size, writer& w) {
  text_gen t(r, 3000);
  std::vector<std::string> dirs;
  for (int i = 0; i < 60; i++) dirs.push_back(t.word() + (i % 3 ? "" : "/" + t.word()));
  const uint64_t base = std::max<uint64_t>(size / 8, 1 << 20);
  uint32_t mtime = 1700000000;

  std::vector<src_file> files;
  uint64_t total = 0;
  while (total < base) {
    if (files.size() > 8 && r.chance(0.03)) {
      src_file copy = files[r.below(uint32_t(files.size()))];  // a vendored duplicate
      copy.path = "proj/third_party/" + t.word() + "/" + copy.path.substr(5);
      files.push_back(copy);
    } else {
      files.push_back(new_file(r, t, dirs, mtime));
    }
    total += files.back().data.size();
  }

  while (!w.full()) {
    static const char zeros[1024] = {};
    for (const src_file& f : files) {
      tar_header(w, f);
      w.put(f.data);
      w.put(zeros, (512 - f.data.size() % 512) % 512);
    }
    w.put(zeros, 1024);

    // The next release: a few percent of the files edited, some added,
    // some removed.
    mtime += 7 * 86400;
    for (src_file& f : files) {
      if (!r.chance(0.05)) continue;
      for (uint32_t k = r.range(1, 4); k > 0; k--) (f.binary ? edit_binary : edit_text)(r, t, f.data);
      f.mtime = mtime;
    }
    for (size_t k = files.size() / 300 + 1; k > 0 && files.size() > 1; k--) files.erase(files.begin() + r.below(uint32_t(files.size())));
    for (size_t k = files.size() / 150 + 1; k > 0; k--) files.insert(files.begin() + r.below(uint32_t(files.size() + 1)), new_file(r, t, dirs, mtime));
  }
}

// ---- backup ----

struct record {
  uint32_t id;
  std::string name, email, city;
};

void format_row(rng& r, const record& c, uint32_t day, std::string& o) {
  static const char* const status[] = {"active", "pending", "closed", "overdue", "review"};
  char b[256];
  std::snprintf(b, sizeof b, "%u\t%s\t%s\t%s\t%u.%02u\t%s\t2024-%02u-%02u\n", c.id, c.name.c_str(), c.email.c_str(),
                c.city.c_str(), r.logrange(1, 99999), r.below(100), status[r.below(5)], 1 + (day / 28) % 12,
                1 + day % 28);
  o = b;
}

void gen_backup(rng& r, uint64_t size, writer& w) {
  text_gen t(r, 2000);
  std::vector<std::string> given, family, cities;
  for (int i = 0; i < 300; i++) {
    std::string a = t.word(), b = t.word();
    a[0] = char(a[0] - 32), b[0] = char(b[0] - 32);
    given.push_back(a);
    family.push_back(b + "son");
    if (i < 80) cities.push_back(b + "ville");
  }
  const uint64_t base = std::max<uint64_t>(size / 14, 1 << 20);
  uint32_t day = 0, next_id = 1, next_blob = 1;

  std::vector<std::pair<record, std::string>> rows;  // record and its current line
  auto add_row = [&] {
    record c{next_id++, given[r.below(300)] + " " + family[r.below(300)], "", cities[r.below(80)]};
    c.email = c.name.substr(0, c.name.find(' ')) + "." + std::to_string(c.id) + "@example.org";
    std::string line;
    format_row(r, c, day, line);
    rows.emplace_back(std::move(c), std::move(line));
  };
  std::vector<std::pair<uint32_t, std::string>> blobs;  // compressed attachments never change
  auto add_blob = [&] {
    std::string b(r.logrange(4096, 262144), '\0');
    r.fill(reinterpret_cast<uint8_t*>(b.data()), b.size());
    blobs.emplace_back(next_blob++, std::move(b));
  };
  std::string log;
  auto add_log = [&](size_t bytes) {
    size_t stop = log.size() + bytes;
    char b[96];
    while (log.size() < stop) {
      std::snprintf(b, sizeof b, "2024-%02u-%02uT%02u:%02u:%02u app%u %s[%u]: ", 1 + (day / 28) % 12, 1 + day % 28,
                    r.below(24), r.below(60), r.below(60), r.below(4), t.word().c_str(), r.range(100, 30000));
      log += b;
      for (uint32_t k = r.range(2, 8); k > 0; k--) log += t.word(), log += ' ';
      log += "value=";
      t.number(log);
      log += '\n';
    }
  };

  uint64_t row_bytes = 0, blob_bytes = 0;
  while (row_bytes < base * 55 / 100) add_row(), row_bytes += rows.back().second.size();
  while (blob_bytes < base * 40 / 100) add_blob(), blob_bytes += blobs.back().second.size();
  add_log(base * 5 / 100);

  while (!w.full()) {
    char h[64];
    std::snprintf(h, sizeof h, "-- dump of day %u\nCOPY customers FROM stdin;\n", day);
    w.put(h, std::strlen(h));
    for (const auto& row : rows) w.put(row.second);
    w.put("\\.\n", 3);
    for (const auto& b : blobs) {
      std::snprintf(h, sizeof h, "-- attachment %u %zu\n", b.first, b.second.size());
      w.put(h, std::strlen(h));
      w.put(b.second);
    }
    w.put("-- log\n", 7);
    w.put(log);

    // One day of activity.
    day++;
    for (auto& row : rows)
      if (r.chance(0.01)) format_row(r, row.first, day, row.second);
    for (size_t k = rows.size() / 500 + 1; k > 0 && rows.size() > 1; k--) rows[r.below(uint32_t(rows.size()))].first.id = 0;
    rows.erase(std::remove_if(rows.begin(), rows.end(), [](const auto& x) { return x.first.id == 0; }), rows.end());
    for (size_t k = rows.size() / 150 + 1; k > 0; k--) add_row();
    for (size_t k = blobs.size() / 200 + 1; k > 0 && blobs.size() > 1; k--) blobs.erase(blobs.begin() + r.below(uint32_t(blobs.size())));
    for (size_t k = blobs.size() / 100 + 1; k > 0; k--) add_blob();
    add_log(base / 200);
  }
}

// ---- random ----

void gen_random(rng& r, writer& w) {
  std::vector<uint8_t> buf(1 << 20);
  while (!w.full()) {
    r.fill(buf.data(), buf.size());
    w.put(buf.data(), buf.size());
  }
}

// ---- disk ----

void gen_disk(rng& r, uint64_t size, writer& w) {
  constexpr size_t blk = 4096;
  const size_t nblk = size_t((size + blk - 1) / blk);
  std::vector<uint8_t> img(nblk * blk);  // zero: unwritten space
  text_gen t(r, 2000);
  size_t b = 0;
  while (b < nblk) {
    uint32_t kind = r.below(100);
    size_t n;
    uint8_t* p = img.data() + b * blk;
    if (kind < 35) {  // free space
      n = r.logrange(1, 4096);
    } else if (kind < 65) {  // compressed file contents
      n = r.logrange(1, 512);
      n = std::min(n, nblk - b);
      r.fill(p, n * blk);
    } else if (kind < 85 && b > 16) {  // a copy of earlier blocks: duplicate files, shared libraries
      n = std::min<size_t>(r.logrange(1, 256), b);
      size_t from = r.below(uint32_t(b - n + 1));
      n = std::min(n, nblk - b);
      std::memmove(p, img.data() + from * blk, n * blk);
    } else if (kind < 95) {  // text files, ends of last blocks left zero
      n = std::min<size_t>(r.logrange(1, 64), nblk - b);
      std::string s;
      t.file(s, n * blk - r.below(blk));
      std::memcpy(p, s.data(), std::min(s.size(), n * blk));
    } else {  // inode-table-like metadata: mostly zero records with counters
      n = std::min<size_t>(r.logrange(1, 32), nblk - b);
      for (size_t off = 0; off + 128 <= n * blk; off += 128) {
        if (r.chance(0.3)) continue;
        uint32_t rec[8] = {0x81A4, 1000, r.logrange(0, 1 << 24), 1700000000 + r.below(1 << 24), 0, 1,
                           r.below(1 << 20), 0};
        std::memcpy(p + off, rec, sizeof rec);
      }
    }
    b += n;
  }
  w.put(img.data(), size_t(size));
}

}  // namespace

const std::vector<std::string>& kinds() {
  static const std::vector<std::string> k = {"versions", "backup", "random", "disk"};
  return k;
}

bool generate(const std::string& kind, uint64_t size, uint64_t seed, const sink_fn& out) {
  uint64_t mix = 0;
  for (char c : kind) mix = mix * 131 + uint8_t(c);
  rng r(seed * 0x2545F4914F6CDD1Dull ^ mix);
  writer w(size, out);
  if (kind == "versions")
    gen_versions(r, size, w);
  else if (kind == "backup")
    gen_backup(r, size, w);
  else if (kind == "random")
    gen_random(r, w);
  else if (kind == "disk")
    gen_disk(r, size, w);
  else
    return false;
  return true;
}

std::vector<uint8_t> generate_bytes(const std::string& kind, uint64_t size, uint64_t seed) {
  std::vector<uint8_t> v;
  v.reserve(size_t(size));
  generate(kind, size, seed, [&](const uint8_t* p, size_t n) { v.insert(v.end(), p, p + n); });
  return v;
}

}  // namespace dupcut_bench
