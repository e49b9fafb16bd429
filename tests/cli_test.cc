// End-to-end runs of the built program: arguments, files, pipes, console
// lines and exit statuses.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "driver/sha256.h"
#include "driver/verify.h"
#include "util.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using dupcut::sha256;
using dupcut::verifier;
using bytes = std::string;
using args = std::vector<std::string>;

bytes random_bytes(size_t n, uint64_t seed) {
  const tu::bytes v = tu::noise(n, seed);
  return bytes(v.begin(), v.end());
}

// Several versions of one random base, each a few small edits from the last,
// with escape-marker look-alikes scattered through the data.
bytes versions(size_t base_len, int count, uint64_t seed) {
  tu::rng g{seed};
  bytes v = random_bytes(base_len, seed);
  for (int i = 0; i < 64; i++) v.replace(g.next() % (base_len - 4), 4, bytes("\xEF\x4D\xB6", 3) + char(i % 4));
  bytes all = v;
  for (int c = 1; c < count; c++) {
    for (int e = 0; e < 8; e++) {
      size_t at = g.next() % (v.size() - 200), n = 1 + g.next() % 100;
      switch (g.next() % 3) {
        case 0: v.replace(at, n % 16 + 1, random_bytes(n % 16 + 1, g.next())); break;
        case 1: v.insert(at, random_bytes(n, g.next())); break;
        default: v.erase(at, n);
      }
    }
    all += v;
  }
  return all;
}

bytes read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return bytes(std::istreambuf_iterator<char>(f), {});
}

void write_file(const std::string& path, const bytes& data) {
  std::ofstream(path, std::ios::binary).write(data.data(), std::streamsize(data.size()));
}

struct result {
  int status;  // exit status, or 1000 + signal number
  bytes out, err;
};

class Cli : public ::testing::Test {
 protected:
  void SetUp() override {
    char t[] = "/tmp/dupcut_cli_XXXXXX";
    ASSERT_NE(mkdtemp(t), nullptr);
    base = t;
    fs::create_directory(w(""));
  }
  void TearDown() override { fs::remove_all(base); }

  // Paths inside the working directory, which holds nothing but test files.
  std::string w(const std::string& name) const { return base + "/w/" + name; }
  // What the working directory holds, temporary files included.
  std::set<std::string> names() const {
    std::set<std::string> n;
    for (auto& e : fs::directory_iterator(w(""))) n.insert(e.path().filename());
    return n;
  }

  result spawn(const args& argv, const std::string& stdin_path) {
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, stdin_path.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, (base + "/stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&fa, 2, (base + "/stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> av;
    for (auto& a : argv) av.push_back(const_cast<char*>(a.c_str()));
    av.push_back(nullptr);
    pid_t pid;
    int rc = posix_spawn(&pid, av[0], &fa, nullptr, av.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) return {-1, "", "spawn failed"};
    int st = 0;
    waitpid(pid, &st, 0);
    int code = WIFEXITED(st) ? WEXITSTATUS(st) : 1000 + WTERMSIG(st);
    return {code, read_file(base + "/stdout"), read_file(base + "/stderr")};
  }

  result run(args a, const std::string& stdin_path = "/dev/null") {
    a.insert(a.begin(), DUPCUT_BIN);
    return spawn(a, stdin_path);
  }
  // A bash script; $B is the program, $W the working directory.
  result script(const std::string& text) {
    return spawn({"/bin/bash", "-c", "B='" DUPCUT_BIN "'; W='" + w("") + "'; " + text}, "/dev/null");
  }

  // Encodes data with the given parameters, expects success, returns the stream.
  bytes encode(const bytes& data, const args& params = {}) {
    write_file(w("enc.in"), data);
    args a = {"e", w("enc.in"), w("enc.out")};
    a.insert(a.end(), params.begin(), params.end());
    result r = run(a);
    EXPECT_EQ(r.status, 0) << r.err;
    return read_file(w("enc.out"));
  }
  bytes decode(const bytes& stream) {
    write_file(w("dec.in"), stream);
    result r = run({"d", w("dec.in"), w("dec.out")});
    EXPECT_EQ(r.status, 0) << r.err;
    return read_file(w("dec.out"));
  }

  std::string base;
};

std::vector<std::string> lines(const bytes& text) {
  std::vector<std::string> v;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) v.push_back(l);
  return v;
}

size_t count_messages(const bytes& err) {
  size_t n = 0;
  for (auto& l : lines(err)) n += l.rfind("dupcut: ", 0) == 0;
  return n;
}

const std::regex line1(
    "sizeof\\(this\\)=[0-9]+ cfg_tblsize=13421772 cfg_decwinsize=1073741824 sizeof\\(hinf\\)=28 htbl=[0-9A-F]+");
const std::regex stats("sum=([0-9]+) x=([0-9]+) avglen=([0-9]+)\\.([0-9])");

// A file's stream is kept whole in memory; a pipe's until kept and
// restored bytes together would pass the window (1 MiB here, well before
// the end), when the decoder moves what it held back into its window. The
// bytes and the verdict are the same either way, damaged or not, on one
// thread or two.
TEST_F(Cli, KeptStreamFromFileOrPipeGivesTheSameBytes) {
  const bytes data = versions(700000, 6, 5);
  const bytes good = encode(data, {"100", "16", "1"});
  bytes bad = good;
  for (size_t at : {good.size() / 2, good.size() * 3 / 4}) bad[at] = char(bad[at] ^ 0x5A);
  for (const bytes* s : {&good, static_cast<const bytes*>(&bad)}) {
    write_file(w("s.dc"), *s);
    for (const char* t : {"1", "2"}) {
      const std::string env = std::string("DUPCUT_THREADS=") + t + " ";
      const result file = script(env + "\"$B\" d \"$W/s.dc\" -");
      const result pipe = script("cat \"$W/s.dc\" | " + env + "\"$B\" d - -");
      EXPECT_EQ(file.status, pipe.status) << t;
      EXPECT_TRUE(file.out == pipe.out) << t;
      if (s == &good) {
        EXPECT_EQ(file.status, 0);
        EXPECT_TRUE(file.out == data);
      }
    }
  }
}

TEST_F(Cli, DefaultsConsoleLinesAndDecodeIgnoresParameters) {
  const bytes data = versions(200000, 3, 1);
  write_file(w("in"), data);
  result e = run({"e", w("in"), w("out")});
  ASSERT_EQ(e.status, 0) << e.err;
  EXPECT_EQ(e.err, "");
  auto l = lines(e.out);
  ASSERT_EQ(l.size(), 3u) << e.out;
  EXPECT_TRUE(std::regex_match(l[0], line1)) << l[0];
  EXPECT_EQ(l[1], "len=164 encmem=256M decmem=1024M");
  std::smatch m;
  ASSERT_TRUE(std::regex_match(l[2], m, stats)) << l[2];
  const uint64_t sum = std::stoull(m[1]), x = std::stoull(m[2]);
  EXPECT_EQ(sum, data.size());
  EXPECT_EQ(std::stoull(m[3]) * 10 + std::stoull(m[4]), sum * 10 / x);
  EXPECT_EQ(read_file(w("out")).substr(0, 4), bytes("\x64\0\0\x04", 4));

  // The header, not the command line, sets up a decode.
  result d = run({"d", w("out"), w("back"), "7", "1", "1"});
  ASSERT_EQ(d.status, 0) << d.err;
  EXPECT_EQ(d.out, "len=164 encmem=0M decmem=1024M\n" + l[2] + "\n");
  EXPECT_TRUE(read_file(w("back")) == data);
  for (const args& p : {args{"0", "0", "0"}, args{"12abc", "", "1G"}, args{"+5", "--5", "99999999999999999999"}}) {
    result g = run({"d", w("out"), w("back2"), p[0], p[1], p[2]});
    EXPECT_EQ(g.status, 0) << p[0] << " " << g.err;
    EXPECT_EQ(g.out, d.out);
  }
}

TEST_F(Cli, RefusedOptionsOrMissingInputTouchNoFile) {
  write_file(w("out"), "keep");
  for (const args& a : {args{"--helpme"}, args{"-zx", w("out")}}) {
    result r = run(a);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("usage: dupcut"), std::string::npos);
    EXPECT_EQ(std::distance(fs::directory_iterator(w("")), {}), 1);
  }
  for (const char* mode : {"e", "d"}) {
    result r = run({mode, w("none"), w("out")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "dupcut: cannot open input '" + w("none") + "': No such file or directory\n");
    EXPECT_EQ(read_file(w("out")), "keep");
    EXPECT_EQ(run({mode, w("none"), w("new")}).status, 1);
    EXPECT_FALSE(fs::exists(w("new")));
  }
}

TEST_F(Cli, HelpAndVersion) {
  for (const char* a : {"--help", "-h"}) {
    result r = run({a});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("usage: dupcut MODE IN OUT"), std::string::npos);
  }
  result v = run({"--version"});
  EXPECT_EQ(v.status, 0);
  EXPECT_EQ(v.out, "dupcut " DUPCUT_VERSION "\n");
}

TEST_F(Cli, ModeLetterAndNumbers) {
  const bytes data = versions(50000, 2, 2);
  const bytes ref = encode(data);
  write_file(w("in"), data);
  write_file(w("ref"), ref);
  for (const char* mode : {"D", "encode", "", "x"}) {
    ASSERT_EQ(run({mode, w("in"), w("o")}).status, 0) << mode;
    EXPECT_TRUE(read_file(w("o")) == ref) << mode;
  }
  for (const char* mode : {"d", "dec", "decode"}) {
    ASSERT_EQ(run({mode, w("ref"), w("o")}).status, 0) << mode;
    EXPECT_TRUE(read_file(w("o")) == data) << mode;
  }
  EXPECT_TRUE(encode(data, {"-100", "-256", "-1024"}) == ref);
  EXPECT_TRUE(encode(data, {"0100", "-000000000000000000000256"}) == ref);
  EXPECT_EQ(encode(data, {"300"}).substr(0, 4), bytes("\x2C\x01\x00\x04", 4));
  for (const args& p : {args{"-300", "1", "4095"}, args{"65535", "1", "1"}}) {
    const bytes s = encode(data, p);
    EXPECT_EQ(s.substr(0, 4), p[0] == "-300" ? bytes("\x2C\x01\xFF\x0F", 4) : bytes("\xFF\xFF\x01\x00", 4));
    EXPECT_TRUE(decode(s) == data) << p[0];
  }
}

TEST_F(Cli, NumbersOtherThanWholeDecimalsInRangeRefusedBeforeOutput) {
  write_file(w("in"), versions(10000, 1, 4));
  const std::pair<const char*, const char*> what[] = {{"CHUNKDIV", "65535"}, {"ENCMEM", "4095"}, {"DECMEM", "4095"}};
  // The last number of each list is the one refused.
  for (const args& p :
       {args{"0"}, args{"65536"}, args{"4294967297"}, args{"99999999999999999999999"}, args{"--5"}, args{"+5"},
        args{"-"}, args{""}, args{" 5"}, args{"abc"}, args{"12abc"}, args{"5.5"}, args{"1e3"}, args{"100", "0"},
        args{"100", "4096"}, args{"100", "1G"}, args{"100", "256", "0"}, args{"100", "256", "4096"},
        args{"100", "256", "4G"}, args{"1", "1", "-4096"}}) {
    args a = {"e", w("in"), w("out")};
    a.insert(a.end(), p.begin(), p.end());
    result r = run(a);
    const auto& [name, max] = what[p.size() - 1];
    EXPECT_EQ(r.status, 1) << p.back();
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, std::string("dupcut: invalid ") + name + " '" + p.back() + "': expected a whole number 1.." + max + "\n");
    EXPECT_EQ(names(), std::set<std::string>{"in"});
  }
}

TEST_F(Cli, EmptyInput) {
  write_file(w("in"), "");
  result e = run({"e", w("in"), w("out")});
  ASSERT_EQ(e.status, 0);
  EXPECT_EQ(lines(e.out).back(), "sum=0 x=1 avglen=0.0");
  EXPECT_EQ(read_file(w("out")), bytes("\x64\0\0\x04", 4));
  result d = run({"d", w("out"), w("back")});
  ASSERT_EQ(d.status, 0);
  EXPECT_EQ(d.out, "len=164 encmem=0M decmem=1024M\nsum=0 x=1 avglen=0.0\n");
  EXPECT_TRUE(fs::exists(w("back")));
  EXPECT_EQ(read_file(w("back")), "");
}

TEST_F(Cli, RoundTripAtBufferEdges) {
  // 131068 random bytes encode to exactly two full output buffers.
  for (size_t n : {1, 3, 4, 65535, 65536, 65537, 131068, 131072, 300001}) {
    const bytes data = random_bytes(n, n);
    const bytes s = encode(data);
    if (n == 131068) {
      EXPECT_EQ(s.size(), 131072u);
    }
    EXPECT_TRUE(decode(s) == data) << n;
  }
}

TEST_F(Cli, FailuresLeaveTheOutputFolderAsItWas) {
  write_file(w("in"), random_bytes(300000, 13));
  write_file(w("bad"), bytes("\0\0\0\x04" "abcdef", 10));
  write_file(w("huge"), bytes("\x64\0\xFF\x0F", 4) + random_bytes(1000, 14));  // a 4095 MiB window
  write_file(w("keep"), "keep");
  fs::permissions(w("keep"), fs::perms(0640));
  const std::set<std::string> before = names();
  struct {
    std::string cmd, err;
    int status;
  } cases[] = {
      {"\"$B\" d - \"$T\" </dev/null", "stream too short", 1},
      {"\"$B\" d /dev/null \"$T\"", "stream too short", 1},
      {"\"$B\" d \"$W/bad\" \"$T\"", "chunk divisor 0", 1},
      {"\"$B\" e \"$W/..\" \"$T\"", "cannot read input", 1},
      {"\"$B\" d \"$W/..\" \"$T\"", "cannot read input", 1},
      {"\"$B\" e \"$W/in\" \"$T\" >/dev/full", "cannot write to standard output: No space", 1},
      {"trap '' XFSZ; ulimit -f 64; \"$B\" e \"$W/in\" \"$T\"", "File too large", 1},
      {"ulimit -f 64; \"$B\" e \"$W/in\" \"$T\"", "", 128 + SIGXFSZ},
#if !defined(__SANITIZE_ADDRESS__)  // a sanitizer cannot start under an address-space limit
      {"ulimit -v 1048576; \"$B\" d \"$W/huge\" \"$T\"", "cannot allocate the decoder window", 1},
#endif
  };
  for (const auto& c : cases)
    for (const char* target : {"keep", "new"}) {
      result r = script(std::string("T=\"$W/") + target + "\"; " + c.cmd);
      EXPECT_EQ(r.status, c.status) << c.cmd << " " << r.err;
      EXPECT_EQ(count_messages(r.err), c.err.empty() ? 0u : 1u) << r.err;
      EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
      EXPECT_EQ(names(), before) << c.cmd;
      EXPECT_EQ(read_file(w("keep")), "keep");
      EXPECT_EQ(fs::status(w("keep")).permissions(), fs::perms(0640));
    }
}

// With one thread the driver writes each buffer itself; with two, a thread
// of its own writes behind the codec.
TEST_F(Cli, WritesToDevicesFailAndOutputIsTheSameWrittenBehindOrNot) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  write_file(w("small"), "");
  write_file(w("big"), random_bytes(1 << 20, 5));
  const bytes data = versions(6 << 20, 3, 8);
  write_file(w("stream"), encode(data));
  for (const char* threads : {"1", "2"}) {
    SCOPED_TRACE(threads);
    setenv("DUPCUT_THREADS", threads, 1);
    for (const char* in : {"small", "big"}) {
      result r = run({"e", w(in), "/dev/full"});
      EXPECT_EQ(r.status, 1) << in;
      EXPECT_NE(r.err.find("dupcut: cannot write output '/dev/full'"), std::string::npos) << r.err;
    }
    EXPECT_EQ(run({"d", w("stream"), "/dev/full"}).status, 1);
    EXPECT_TRUE(decode(read_file(w("stream"))) == data);
    result t = script("\"$B\" -t -v \"$W/stream\" -f");
    EXPECT_EQ(t.status, 0) << t.err;
  }
  unsetenv("DUPCUT_THREADS");
}

TEST_F(Cli, SameFileRefused) {
  const bytes data = encode(versions(20000, 2, 7));
  write_file(w("f"), data);
  fs::create_hard_link(w("f"), w("hard"));
  fs::create_symlink(w("f"), w("soft"));
  for (const char* mode : {"e", "d"})
    for (const char* out : {"f", "hard", "soft"}) {
      result r = run({mode, w("f"), w(out)});
      EXPECT_EQ(r.status, 1) << mode << " " << out;
      EXPECT_NE(r.err.find("same file"), std::string::npos) << r.err;
      EXPECT_TRUE(read_file(w("f")) == data);
    }
}

TEST_F(Cli, StandardInputAndOutput) {
  const bytes data = versions(100000, 3, 8);
  const bytes ref = encode(data);
  write_file(w("in"), data);
  result e = run({"e", "-", "-"}, w("in"));
  ASSERT_EQ(e.status, 0) << e.err;
  EXPECT_TRUE(e.out == ref);
  auto l = lines(e.err);
  ASSERT_EQ(l.size(), 3u) << e.err;
  EXPECT_TRUE(std::regex_match(l[0], line1));
  EXPECT_TRUE(std::regex_match(l[2], stats));

  write_file(w("s"), e.out);
  result d = run({"d", "-", "-"}, w("s"));
  ASSERT_EQ(d.status, 0) << d.err;
  EXPECT_TRUE(d.out == data);
  EXPECT_EQ(lines(d.err).size(), 2u);
  result f = run({"d", "-", w("back")}, w("s"));  // a file output keeps the lines on stdout
  ASSERT_EQ(f.status, 0);
  EXPECT_EQ(lines(f.out).size(), 2u);
  EXPECT_TRUE(read_file(w("back")) == data);
}

TEST_F(Cli, FileNamedDash) {
  const bytes data = versions(30000, 2, 9);
  write_file(w("-"), data);
  result r = script("cd \"$W\" && \"$B\" e ./- ./-.dc >/dev/null && \"$B\" d ./-.dc back >/dev/null");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(read_file(w("back")) == data);
}

TEST_F(Cli, LargeRoundTrip) {
  // Versions 1 MiB apart straddle a 1 MiB window.
  const bytes data = versions(1 << 20, 4, 10);
  for (const args& p : {args{}, args{"7", "1", "1"}}) {
    const bytes s = encode(data, p);
    if (p.empty()) {
      EXPECT_LT(s.size(), data.size() / 3);
    } else {
      EXPECT_EQ(s.substr(0, 4), bytes("\x07\x00\x01\x00", 4));
    }
    EXPECT_TRUE(decode(s) == data) << p.size();
  }
}

TEST_F(Cli, DamagedStreamsFail) {
  result r;
  for (const bytes& h : {bytes(), bytes("\x64\x00", 2), bytes("\x64\x00\x00", 3), bytes("\0\0\0\x04" "abcdef", 10),
                         bytes("\x64\0\0\0" "abcdef", 10), bytes("\x64\0\0\x10" "abcdef", 10),
                         bytes("\x64\0\0\x04\xEF\x4D\xB6\x00\x10\0\0\0", 12),
                         bytes("\x64\0\x01\0\xEF\x4D\xB6\x00\0\0\x10\0", 12)}) {
    // The last two are matches before the data's start and at the window size.
    write_file(w("s"), h);
    r = run({"d", w("s"), w("out")});
    EXPECT_EQ(r.status, 1) << h.size();
    EXPECT_EQ(count_messages(r.err), 1u) << r.err;
    if (h.size() < 12) {
      EXPECT_FALSE(fs::exists(w("out")));
    }
    fs::remove(w("out"));
  }
  // Cut inside a match code: what came before it is kept.
  const bytes block = random_bytes(200000, 11);
  const bytes data = block + block;
  const bytes s = encode(data);
  const size_t at = s.find(bytes("\xEF\x4D\xB6\x00", 4));
  ASSERT_NE(at, bytes::npos);
  ASSERT_GT(at, block.size() / 2);  // the first record of the repeat, not a literal look-alike
  write_file(w("s"), s.substr(0, at + 6));
  r = run({"d", w("s"), w("out")});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "dupcut: stream truncated inside a match code\n");
  EXPECT_TRUE(read_file(w("out")) == data.substr(0, at - 4));
  // An existing file stays as it was; the restored data goes beside it,
  // under a name that does not replace another file either.
  write_file(w("out"), "keep");
  for (int i = 0; i < 2; i++) {
    const auto before = names();
    r = run({"d", w("s"), w("out")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(read_file(w("out")), "keep");
    std::set<std::string> added;
    for (auto& n : names())
      if (!before.count(n)) added.insert(n);
    ASSERT_EQ(added.size(), 1u);
    const std::string kept = *added.begin();
    EXPECT_TRUE(i == 0 ? kept == "out.partial" : std::regex_match(kept, std::regex("\\.out\\.[A-Za-z0-9]{6}"))) << kept;
    EXPECT_EQ(r.err, "dupcut: stream truncated inside a match code; restored data kept in '" + w(kept) + "'\n");
    EXPECT_TRUE(read_file(w(kept)) == data.substr(0, at - 4));
  }
}

// A stream file is mapped while it is decoded: one cut short under the
// decoder (here while its output waits on a full pipe) fails with a
// message and status 1, on one thread and on two.
TEST_F(Cli, StreamFileShrinkingWhileDecodedFails) {
  const bytes s = encode(random_bytes(24 << 20, 5));
  for (const char* t : {"1", "2"}) {
    write_file(w("t"), s);
    const result r = script(std::string("\"$B\" -d -c -T ") + t + " \"$W/t\" | " +
                            "{ sleep 0.5; truncate -s 1M \"$W/t\"; cat >/dev/null; }; echo ${PIPESTATUS[0]}");
    EXPECT_EQ(r.out, "1\n") << t;
    EXPECT_NE(r.err.find("dupcut: the input file shrank or could not be read while it was decoded"), std::string::npos)
        << r.err;
  }
}

TEST_F(Cli, StopSignalsLeaveNoPartialOutput) {
  // dupcut waits on an empty fifo with its temporary output created, then
  // gets the signal. Job control keeps INT and QUIT from being ignored in
  // the background.
  write_file(w("out"), "keep");
  result r = script(
      "set -m; mkfifo \"$W/fifo\"; for sig in HUP INT QUIT TERM USR1 USR2 ALRM XFSZ; do "
      "\"$B\" e \"$W/fifo\" \"$W/out\" >/dev/null & p=$!; exec 3>\"$W/fifo\"; "
      "for i in $(seq 500); do compgen -G \"$W/.out.??????\" >/dev/null && break; sleep 0.01; done; "
      "kill -s $sig $p; wait $p; echo $?; exec 3>&-; done");
  std::string want;
  for (int sig : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2, SIGALRM, SIGXFSZ})
    want += std::to_string(128 + sig) + "\n";
  EXPECT_EQ(r.out, want) << r.err;
  EXPECT_EQ(names(), (std::set<std::string>{"fifo", "out"}));
  EXPECT_EQ(read_file(w("out")), "keep");
}

TEST_F(Cli, RegularOutputTakesInputPermissionsAndReplacesThroughLinks) {
  const bytes data = versions(20000, 2, 15);
  write_file(w("in"), data);
  fs::permissions(w("in"), fs::perms(0600));
  ASSERT_EQ(run({"e", w("in"), w("s")}).status, 0);
  ASSERT_EQ(run({"d", w("s"), w("back")}).status, 0);
  EXPECT_EQ(fs::status(w("s")).permissions(), fs::perms(0600));
  EXPECT_EQ(fs::status(w("back")).permissions(), fs::perms(0600));
  // A replaced file takes the input's bits; from a pipe, a new file gets
  // 0666 less the umask and a replaced one keeps its own.
  write_file(w("old"), "old");
  fs::permissions(w("old"), fs::perms(0644));
  ASSERT_EQ(run({"e", w("in"), w("old")}).status, 0);
  EXPECT_EQ(fs::status(w("old")).permissions(), fs::perms(0600));
  fs::permissions(w("in"), fs::perms(0644));
  result r = script("umask 027; cat \"$W/in\" | \"$B\" e - \"$W/new\" && cat \"$W/in\" | \"$B\" e - \"$W/old\"");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(fs::status(w("new")).permissions(), fs::perms(0640));
  EXPECT_EQ(fs::status(w("old")).permissions(), fs::perms(0600));
  EXPECT_TRUE(read_file(w("old")) == read_file(w("s")));

  // Through a link, the file it points to is replaced and the link stays; a
  // link to nothing is refused.
  fs::create_symlink("back", w("link"));
  fs::create_symlink("nothing", w("dangling"));
  ASSERT_EQ(run({"e", w("in"), w("link")}).status, 0);
  EXPECT_TRUE(fs::is_symlink(w("link")));
  EXPECT_TRUE(read_file(w("back")) == read_file(w("s")));
  EXPECT_EQ(run({"e", w("in"), w("dangling")}).status, 1);
  EXPECT_EQ(names(), (std::set<std::string>{"in", "s", "back", "old", "new", "link", "dangling"}));
}

TEST_F(Cli, ClosedStandardOutputIsAnError) {
  write_file(w("big"), random_bytes(4 << 20, 12));
  result r = script("\"$B\" e \"$W/big\" - 2>\"$W/err\" | head -c 10 >/dev/null; exit ${PIPESTATUS[0]}");
  EXPECT_EQ(r.status, 1);
  const bytes err = read_file(w("err"));
  EXPECT_EQ(count_messages(err), 1u) << err;
  EXPECT_NE(err.find("cannot write output '-'"), std::string::npos) << err;
  EXPECT_EQ(err.find("sum="), std::string::npos);
  // Closed before the start: the data or the console lines would go there.
  for (const char* out : {"-", "\"$W/out\""}) {
    r = script(std::string("\"$B\" e \"$W/big\" ") + out + " >&-");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "dupcut: cannot write to standard output: Bad file descriptor\n");
  }
  r = script("\"$B\" --version >&-");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(count_messages(r.err), 1u) << r.err;
  EXPECT_EQ(names(), (std::set<std::string>{"big", "err"}));
}

// The option form, one row a run: each starts in a working folder holding
// the same files; stdout and stderr are matched as regular expressions ("" is
// empty), and the named files are checked and nothing else may appear.
TEST_F(Cli, OptionForm) {
  const bytes a = versions(60000, 3, 21), b = versions(40000, 2, 22), tiny = "tiny data";
  const bytes sa = encode(a), sb = encode(b), stiny = encode(tiny), s300 = encode(a, {"300", "256", "4095"});
  // A repeated random block: its first match code is a real one.
  const bytes r = random_bytes(30000, 24), sr = encode(r + r);
  const size_t cut = sr.find(bytes("\xEF\x4D\xB6\x00", 4), 15000);
  ASSERT_NE(cut, bytes::npos);
  const std::map<std::string, bytes> initial = {
      {"a", a},
      {"b", b},
      {"tiny", tiny},
      {"s.dc", sa},
      {"tiny.dc", stiny},
      {"cut.dc", sr.substr(0, cut + 6)},                       // ends inside a match code
      {"huge.dc", bytes("\x64\0\xFF\x0F", 4)},                 // a 4095 MiB window, no data
      {"gz.dc", bytes("\x1F\x8B\x08\x00", 4) + random_bytes(2000, 23)},  // gzip's magic opens a valid header
      {"old", "old\n"},
  };
  const std::map<std::string, bytes> content = {{"A", a}, {"B", b}, {"S", sa}, {"T", sb}, {"S300", s300},
                                                {"STINY", stiny}, {"OLD", "old\n"}, {"EMPTY", ""}};
  sha256 h;
  h.update(a.data(), a.size());
  const std::string sha_a = h.hex();

  // A terminal for the refusals; its other side stays open and unread.
  const int pty = posix_openpt(O_RDWR | O_NOCTTY);
  const bool have_pty = pty >= 0 && grantpt(pty) == 0 && unlockpt(pty) == 0;
  const std::string tty = have_pty ? ptsname(pty) : "";

  const std::string n = std::to_string(a.size());
  const std::string sizeof_line = "sizeof\\(this\\)=[0-9]+ cfg_tblsize=13421772 cfg_decwinsize=1073741824 ";
  struct row {
    std::string cmd;
    int status;
    std::string out, err;
    std::string files;  // "name=KEY" has that content (any for "*"); "-name" is gone
  } rows[] = {
      // Fewer than three arguments are options and files: bare, one name, two.
      {"$B < a > x && $B -d < x > y", 0, "", "", "x=S y=A"},
      {"$B a", 0, "", "", "a=A a.dc=S"},
      {"$B a b", 0, "", "", "a.dc=S b.dc=T"},
      {"$B < a > $P", 1, "", "^dupcut: not writing an encoded stream to a terminal \\(standard output\\)", ""},
      // Three names: positional, unless MODE is a file and OUT exists.
      {"$B a b c", 0, "^" + sizeof_line, "", "c=T"},
      {"$B a b old", 1, "", "^dupcut: 'a' is a file, and 'old' would be replaced: .* use 'dupcut -z FILE...'\n$", "old=OLD"},
      // The last of -z and -d wins.
      {"$B -z -d < s.dc > x && $B -dz a", 0, "", "", "x=A a.dc=S"},
      // Links are not followed without -f, unless the data has no name.
      {"ln -s a l; $B l", 1, "", "^dupcut: 'l' is a symbolic link; skipped \\(use -f to follow it\\)\n$", "l=* -l.dc"},
      {"ln -s a l; $B -f l && $B -c l > x", 0, "", "", "l=* l.dc=S x=S"},
      // Times go from a named file to its output; standard input's mode
      // does not (0666 less the umask, as from a pipe).
      {"touch -d @1000000000 a; $B a && $B -d -o y a.dc && stat -c %Y a.dc y && stat -c %X y", 0,
       "^1000000000\n1000000000\n1000000000\n$", "", "a.dc=S y=A"},
      {"touch -d @1000000000 a; chmod 666 a; umask 077; $B -o x < a; stat -c %a x; [ $(stat -c %Y x) -gt 1000000000 ]",
       0, "^600\n$", "", "x=S"},
      // Names, -c, -o, standard streams, --rm.
      {"$B -z a", 0, "", "", "a=A a.dc=S"},
      {"$B -z --rm a b", 0, "", "", "-a a.dc=S -b b.dc=T"},
      {"$B -d s.dc", 0, "", "", "s=A s.dc=S"},
      {"$B --decode --rm s.dc", 0, "", "", "s=A -s.dc"},
      {"$B -dc --rm s.dc > x", 0, "", "", "x=A s.dc=S"},
      {"$B -d -o x s.dc", 0, "", "", "x=A"},
      {"$B -z < a > x", 0, "", "", "x=S"},
      {"$B -d - < s.dc > x", 0, "", "", "x=A"},
      {"$B -zc a > x", 0, "", "", "x=S a=A"},
      {"$B -z -o /dev/null --rm a", 0, "", "", "a=A"},
      {"$B -T 4 -z -- a", 0, "", "", "a.dc=S"},
      {"$B -z --chunk=300 --window=4G -o x a", 0, "", "", "x=S300"},
      {"$B -z a missing b", 1, "", "^dupcut: cannot open input 'missing': No such file or directory\n$", "a.dc=S b.dc=T"},
      {"$B -d a", 1, "", "'a' does not end in .dc or .dc.zst; use -o or -c", ""},
      {"$B -z s.dc", 1, "", "already has the .dc suffix", ""},
      {"$B -z .", 1, "", "^dupcut: '.' is a directory\n$", ""},
      // Existing outputs, the same file, several streams on one output.
      {"cp old a.dc; $B -z a", 1, "", "^dupcut: 'a.dc' exists; use -f to overwrite it\n$", "a.dc=OLD"},
      {"cp old a.dc; $B -zf a", 0, "", "", "a.dc=S"},
      {"ln -s old a.dc; $B -z a", 1, "", "'a.dc' exists", "a.dc=OLD"},
      {"$B -d -o old s.dc", 1, "", "'old' exists", "old=OLD"},
      {"$B -zf -o a a", 1, "", "same file 'a'", "a=A"},
      {"$B -zc a b > x", 1, "", "2 encoded streams to standard output", "x=EMPTY"},
      // Verbosity and the progress line.
      // A file's table is sized to it; --table gives the default's.
      {"$B -zv a", 0, "", "^sizeof\\(this\\)=[0-9]+ cfg_tblsize=52428 .*\nlen=164 encmem=1M decmem=1024M\nsum=" + n +
       " x=[0-9]+ avglen=[0-9.]+\n$", "a.dc=S"},
      {"$B -zv --table=256M a", 0, "", "^" + sizeof_line + ".*\nlen=164 encmem=256M", "a.dc=S"},
      {"$B -dv -c s.dc > x", 0, "", "^len=164 encmem=0M decmem=1024M\nsum=" + n + " ", "x=A"},
      // The line itself may be drawn and blanked, on one row; the summary ends it.
      {"$B -z --progress a", 0, "", "^[^\n]*dupcut: [0-9.]+ KiB -> [0-9.]+ KiB \\([0-9.]+%\\), .* in repeated chunks.*\n$",
       "a.dc=S"},
      {"$B -zq --progress a", 0, "", "^[^\n]*$", "a.dc=S"},
      {"$B --progress a b", 0, "", "^[^\n]*dupcut: a: [0-9.]+ KiB -> .*\n[^\n]*dupcut: b: [0-9.]+ KiB -> .*\n$", "a.dc=S b.dc=T"},
      {"$B -z --progress --no-progress a", 0, "", "", "a.dc=S"},
      // Tests, lists, the memory cap, other formats.
      {"$B -t s.dc cut.dc tiny.dc", 1,
       "^s\\.dc: " + n + " bytes, [0-9]+ chunks, ok\ncut\\.dc: [0-9]+ bytes, [0-9]+ chunks, damaged\ntiny\\.dc: 9 bytes, 1 chunks, ok\n$",
       "^dupcut: cut\\.dc: stream truncated inside a match code\n$", ""},
      {"$B -tq s.dc", 0, "", "", ""},
      {"cp a s; $B -tv s.dc | tail -1 | sha256sum -c", 0, "^s: OK\n$", "^len=164 encmem=0M decmem=1024M\nsum=", "s=A"},
      {"$B -l s.dc huge.dc", 0, "^divisor +window +memory +zstd +name\n +100 1024 MiB +1\\.0 GiB +-  s\\.dc\n +100 4095 MiB +4\\.0 GiB +-  huge\\.dc\n$",
       "", ""},
      {"$B -lv s.dc", 0, "^divisor .* zstd .* stream .* data .* chunks .* check  name\n +100 1024 MiB +1\\.0 GiB +- +[0-9]+ +" + n + " +[0-9]+ .* ok  s\\.dc\n$",
       "", ""},
      {"$B -l cut.dc; $B -l - < /dev/null", 1, "  cut\\.dc\n$", "^dupcut: standard input: stream too short for its header\n$", ""},
      {"$B -M 1023M -d s.dc", 1, "",
       "^dupcut: s\\.dc: decoding needs 1024 MiB of memory for the stream's window, more than the 1023 MiB that -M allows\n$", "-s"},
      {"$B -M4G -t huge.dc; $B -M 4000M -d huge.dc", 1, "^huge\\.dc: 0 bytes, 1 chunks, ok\n$", "needs 4095 MiB .* than the 4000 MiB", "-huge"},
      {"$B --memory=1G -dc s.dc > x", 0, "", "", "x=A"},
      {"$B -l -M1M huge.dc && $B -lv -M1M s.dc", 1, "4095 MiB +4\\.0 GiB +-  huge\\.dc\n$", "needs 1024 MiB .* than the 1 MiB", ""},
      {"$B -t gz.dc", 0, "^gz\\.dc: ", "^dupcut: gz\\.dc: looks like a gzip file; decompress it first\\?\n$", ""},
      {"$B -tq gz.dc", 0, "", "", ""},
      // --zstd: zstd frames holding the same stream, which zstd and dupcut
      // both read, from a file or standard input.
      {"$B --zstd a && zstd -dcq a.dc.zst > x && $B -d -o y a.dc.zst && $B -dc < a.dc.zst > z", 0, "", "",
       "a.dc.zst=* x=S y=A z=A"},
      {"zstd -q s.dc && $B -d -o y s.dc.zst && $B -t s.dc.zst", 0, "^s\\.dc\\.zst: " + n + " bytes, [0-9]+ chunks, ok\n$",
       "", "s.dc.zst=* y=A"},
      {"$B --zstd=19 --verify a | sha256sum -c && $B -l a.dc.zst && $B -lv a.dc.zst", 0,
       "^a: OK\ndivisor +window +memory +zstd +name\n +100 1024 MiB +1\\.0 GiB +[0-9.]+ [KM]iB  a\\.dc\\.zst\n"
       "divisor .*\n +100 1024 MiB .* " + n + " .* ok  a\\.dc\\.zst\n$", "", "a.dc.zst=*"},
      // -M counts zstd's decoder too, and holds its window against the cap
      // before it is taken (8 MiB at level 19).
      {"$B --zstd=19 a && $B -t -M1024M s.dc && $B -t -M1024M a.dc.zst", 1, "^s\\.dc: ",
       "^dupcut: a\\.dc\\.zst: decoding needs [0-9]+ KiB of memory for the stream's window and zstd's, more than the 1024 MiB",
       "a.dc.zst=*"},
      {"$B --zstd=19 a && $B -t -M4M a.dc.zst", 1, "", "^dupcut: a\\.dc\\.zst: decoding needs 8 MiB of memory for zstd's window",
       "a.dc.zst=*"},
      {"$B -z --zstd a.dc.zst", 1, "", "already has the \\.dc\\.zst suffix", ""},
      // Proof of restoration, with a digest sha256sum agrees with.
      {"$B -z --verify a | sha256sum -c", 0, "^a: OK\n$", "", "a.dc=S"},
      {"$B -zc --verify a 2>&1 >x | sha256sum -c", 0, "^a: OK\n$", "", "x=S"},
      {"$B -zc --verify < a 2>&1 >x", 0, "^" + sha_a + "  -\n$", "", "x=S"},
      // A buffer of match codes stands for far more input than the encoder
      // holds; the decoder keeps up whenever the encoder reads.
      {"head -c 100000000 /dev/zero | $B -zcvv --verify >/dev/null 2>x; grep -o 'at most [0-9]* input' x", 0,
       "^at most [0-9]{1,7} input\n$", "", "x=*"},
      // Terminals: no stream written to or read from one without -f.
      {"$B -zc a > $P", 1, "", "^dupcut: not writing an encoded stream to a terminal \\(standard output\\); use -f", ""},
      {"$B -z -o $P a", 1, "", "not writing an encoded stream to a terminal", ""},
      {"$B -d < $P", 1, "", "^dupcut: not reading an encoded stream from a terminal \\(standard input\\); use -f", ""},
      {"$B -zcf tiny > $P && $B -dc tiny.dc > $P", 0, "", "", ""},
      // Beside the positional form: a lone '-' is its mode; '--' starts options.
      {"$B - a x", 0, "^" + sizeof_line, "", "x=S"},
      {"$B -- a", 0, "", "", "a.dc=S"},
      {"$B --bogus a", 1, "", "^dupcut: unknown option '--bogus'\nusage: dupcut \\[OPTION...\\] \\[FILE...\\]", ""},
      {"$B -h | grep -n '^usage: dupcut'", 0, "^[0-9]+:usage: dupcut \\[OPTION...\\] \\[FILE...\\]\n[0-9]+:usage: dupcut MODE IN OUT", "", ""},
      {"$B -V", 0, "^dupcut " DUPCUT_VERSION "\n$", "", ""},
      // A stop signal: 128 + its number, no output left behind.
      {"set -m; mkfifo fifo; $B -z -o x fifo & p=$!; exec 3>fifo; "
       "for i in $(seq 500); do compgen -G \".x.??????\" >/dev/null && break; sleep 0.01; done; kill -TERM $p; wait $p; echo $?",
       0, "^143\n$", "^(\\[1\\].*Exit 143.*\n)?$", "-x fifo=*"},
  };
  for (const row& r : rows) {
    if (r.cmd.find("$P") != std::string::npos && !have_pty) continue;
    fs::remove_all(w(""));
    fs::create_directory(w(""));
    for (const auto& [name, data] : initial) write_file(w(name), data);
    result got = script("set -o pipefail; P='" + tty + "'; cd \"$W\" && " + r.cmd);
    EXPECT_EQ(got.status, r.status) << r.cmd << "\n" << got.err;
    for (const auto& [text, want, what] : {std::tuple{got.out, r.out, "stdout"}, std::tuple{got.err, r.err, "stderr"}})
      EXPECT_TRUE(want.empty() ? text.empty() : std::regex_search(text, std::regex(want)))
          << r.cmd << "\n" << what << ": " << text << "want: " << want;
    std::set<std::string> allowed;
    for (const auto& [name, data] : initial) allowed.insert(name);
    std::istringstream want_files(r.files);
    for (std::string t; want_files >> t;) {
      if (t[0] == '-') {
        EXPECT_FALSE(fs::exists(fs::symlink_status(w(t.substr(1))))) << r.cmd << ": " << t;
        continue;
      }
      const std::string name = t.substr(0, t.find('=')), key = t.substr(t.find('=') + 1);
      allowed.insert(name);
      if (key == "*") continue;
      EXPECT_TRUE(read_file(w(name)) == (content.count(key) ? content.at(key) : "?")) << r.cmd << ": " << t;
    }
    for (const std::string& name : names()) EXPECT_TRUE(allowed.count(name)) << r.cmd << ": left " << name;
  }
  if (pty >= 0) close(pty);
}

// Programs that run a compressor: GNU tar's -I runs it bare to create and
// with -d to read, sort's --compress-program the same for its temporary
// files, bsdtar as given in both directions.
TEST_F(Cli, CompressorClientsRunItBare) {
  write_file(w("v"), versions(300000, 4, 41));
  const std::string tree = "mkdir -p d/sub && cp v d/ && cp v d/sub/w && ";
  struct {
    std::string cmd, out;
  } cases[] = {
      {"tar -I \"$B\" -cf a.tar.dc d && tar -I \"$B\" -tf a.tar.dc | sort && mkdir x && tar -I \"$B\" -xf a.tar.dc -C x "
       "&& diff -r d x/d && \"$B\" -t a.tar.dc",
       "^d/\nd/sub/\nd/sub/w\nd/v\na\\.tar\\.dc: [0-9]+ bytes, [0-9]+ chunks, ok\n$"},
      {"tar -I \"$B -z\" -cf a.tar.dc d && tar -I \"$B -z\" -tf a.tar.dc | sort && mkdir x && tar -I \"$B -z\" -xf a.tar.dc -C x "
       "&& diff -r d x/d",
       "^d/\nd/sub/\nd/sub/w\nd/v\n$"},
      // One command to a compressed tarball; bare dupcut reads it back.
      {"tar -I \"$B --zstd\" -cf a.tar.dc.zst d && zstd -tq a.tar.dc.zst && tar -I \"$B\" -tf a.tar.dc.zst | sort && mkdir x && "
       "tar -I \"$B --zstd\" -xf a.tar.dc.zst -C x && diff -r d x/d",
       "^d/\nd/sub/\nd/sub/w\nd/v\n$"},
      // A small buffer makes sort write several compressed temporary files.
      {"od -An -tx1 -w8 -v v > t && sort --compress-program=\"$B\" -S 64K -T . t | cmp - <(sort t) && ls", "^d\nt\nv\n$"},
      {"command -v bsdtar >/dev/null || exit 77; bsdtar --use-compress-program=\"$B\" -cf a.tar.dc d && "
       "bsdtar --use-compress-program=\"$B -d\" -tf a.tar.dc | sort",
       "^d/\nd/sub/\nd/sub/w\nd/v\n$"},
  };
  for (const auto& c : cases) {
    result r = script("set -o pipefail; cd \"$W\" && rm -rf d x t a.tar.dc a.tar.dc.zst && " + tree + c.cmd);
    if (r.status == 77) {
      std::printf("bsdtar is not installed (apt-get install libarchive-tools): not tried\n");
      continue;
    }
    EXPECT_EQ(r.status, 0) << c.cmd << "\n" << r.err;
    EXPECT_TRUE(std::regex_search(r.out, std::regex(c.out))) << c.cmd << "\n" << r.out;
  }
}

// zstd frames cut short or damaged end with zstd's message and status 1;
// what came before the damage is restored and kept, as for a damaged
// stream. The frames are the same for any thread count, big enough here
// for several of zstd's jobs at level 1 (2 MiB each).
TEST_F(Cli, ZstdFramesCutDamagedAndThreads) {
  bytes data = random_bytes(3 << 20, 51) + versions(1 << 20, 4, 52);
  // Text at the end, which zstd compresses: damage there breaks a block.
  for (int i = 0; i < 100000; i++) data += "line " + std::to_string(i * 7919 % 100003) + " of the text\n";
  write_file(w("in"), data);
  std::string frames;
  for (const char* t : {"1", "2", "3", "4"}) {
    const result r = script(std::string("cd \"$W\" && \"$B\" -T") + t + " --zstd=1 -c in | tee x.dc.zst | md5sum");
    ASSERT_EQ(r.status, 0) << r.err;
    if (frames.empty()) frames = r.out;
    EXPECT_EQ(r.out, frames) << "-T" << t;
  }
  EXPECT_TRUE(script("cd \"$W\" && \"$B\" -T1 --zstd=1 -c in | zstd -dq | cmp - <(\"$B\" -c in)").status == 0);
  const bytes z = read_file(w("x.dc.zst"));
  bytes damaged = z, compressed_damaged = z;
  damaged[z.size() / 2] ^= 0x10;  // inside a raw block of random data: only the checksum sees it
  for (size_t i = 1; i <= 64; i++) compressed_damaged[z.size() - 20000 - i] ^= 0xA5;
  const struct {
    bytes file;
    const char* message;
    size_t kept_at_least;
  } cases[] = {
      {z.substr(0, z.size() / 2), "zstd frame cut short", 1 << 20},
      {z.substr(0, z.size() - 2), "zstd frame cut short", 4 << 20},
      {damaged, "damaged zstd frame: Restored data doesn't match checksum", 4 << 20},
      {compressed_damaged, "damaged zstd frame", 3 << 20},
  };
  for (const auto& c : cases) {
    write_file(w("c.dc.zst"), c.file);
    fs::remove(w("c"));
    const result t = run({"-t", w("c.dc.zst")});
    EXPECT_EQ(t.status, 1) << c.message;
    EXPECT_NE(t.out.find("damaged"), std::string::npos) << c.message << ": " << t.out;
    EXPECT_NE(t.err.find(c.message), std::string::npos) << c.message << ": " << t.err;
    const result d = run({"-d", w("c.dc.zst")});
    EXPECT_EQ(d.status, 1) << c.message;
    EXPECT_NE(d.err.find(c.message), std::string::npos) << c.message << ": " << d.err;
    const bytes kept = read_file(w("c"));
    EXPECT_GE(kept.size(), c.kept_at_least) << c.message;
    // Only the damaged byte differs from the input.
    size_t diff = 0;
    for (size_t i = 0; i < std::min(kept.size(), data.size()); i++) diff += kept[i] != data[i];
    EXPECT_LE(diff, 1u) << c.message;
  }
}

// The in-process check of --verify, given streams and inputs that differ:
// it must say where restoration parts from the input, fed in any pieces.
TEST_F(Cli, VerifierFindsWhereAStreamDiffers) {
  const bytes data = versions(150000, 3, 31);
  const bytes s = encode(data);
  bytes changed = data;
  changed[100000] ^= 1;
  const bytes r = random_bytes(30000, 32), sr = encode(r + r);
  const size_t cut = sr.find(bytes("\xEF\x4D\xB6\x00", 4), 15000);
  ASSERT_NE(cut, bytes::npos);
  sha256 h;
  h.update(data.data(), data.size());
  const std::string digest = h.hex();
  const struct {
    bytes input, stream;
    size_t piece;  // stream bytes a feed
    const char* problem;  // "" when it restores
    size_t at;
  } cases[] = {
      {data, s, 65536, "", data.size()},
      {data, s, 1, "", data.size()},
      {data, s, 777, "", data.size()},
      {changed, s, 65536, "other bytes than the input's", 100000},
      {data + "x", s, 4096, "fewer bytes than the input has", data.size()},
      {data.substr(0, 5000), s, 65536, "more bytes than the input has", 5000},
      {r + r, sr.substr(0, cut + 6), 65536, "stream truncated inside a match code", 0},
      {data, s.substr(0, 2), 65536, "stream too short for its header", 0},
  };
  for (const auto& c : cases) {
    verifier v;
    char err[128];
    ASSERT_TRUE(v.open(err, sizeof err)) << err;
    // Input runs ahead of the stream, as the encoder reads before it writes.
    size_t fed = 0;
    for (size_t i = 0; i < c.stream.size(); i += c.piece) {
      const size_t k = std::min(c.piece, c.stream.size() - i);
      if (fed < c.input.size()) {
        const size_t m = std::min(c.input.size() - fed, std::max<size_t>(k * 8, 65536));
        v.took(reinterpret_cast<const uint8_t*>(c.input.data() + fed), m);
        fed += m;
      }
      v.feed(reinterpret_cast<const uint8_t*>(c.stream.data() + i), k);
    }
    if (fed < c.input.size()) v.took(reinterpret_cast<const uint8_t*>(c.input.data() + fed), c.input.size() - fed);
    const bool ok = v.finish();
    EXPECT_EQ(ok, !*c.problem) << c.problem << " " << v.problem();
    EXPECT_NE(v.problem().find(c.problem), std::string::npos) << c.problem << ": " << v.problem();
    if (*c.problem && c.at) {
      EXPECT_EQ(v.mismatch_at(), c.at) << c.problem;
    }
    if (ok) {
      EXPECT_EQ(v.digest(), digest);
    }
  }
}

}  // namespace
