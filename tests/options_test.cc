// The option form: what each accepted line means, what each refusal says,
// and the output names derived from input names.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/options.h"

using namespace dupcut;

namespace {

// Calls f(argc, argv) with "dupcut" in front of words.
template <class F>
auto with_argv(std::vector<std::string> words, F f) {
  words.insert(words.begin(), "dupcut");
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  return f(int(words.size()), argv.data());
}

options parse(const std::vector<std::string>& words) { return with_argv(words, parse_options); }

// The fields that differ from the defaults, in a fixed order.
std::string describe(const options& o) {
  std::string s;
  auto add = [&](const std::string& w) { s += (s.empty() ? "" : " ") + w; };
  static const char* const mode[] = {"", "decode", "test", "list"};
  if (o.mode != run_mode::encode) add(mode[int(o.mode)]);
  if (o.to_stdout) add("stdout");
  if (o.has_output) add("out=" + o.output);
  if (o.force) add("force");
  if (o.remove_source) add("rm");
  if (o.verbosity != 1) add("v=" + std::to_string(o.verbosity));
  if (o.threads_set) add("T=" + std::to_string(o.threads));
  if (o.memory_cap) add("M=" + std::to_string(o.memory_cap));
  if (o.chunk_set) add("chunk=" + std::to_string(o.chunk));
  if (o.table_set) add("table=" + std::to_string(o.table_mib));
  if (o.window_set) add("window=" + std::to_string(o.window_mib));
  if (o.verify) add("verify");
  if (o.zstd_level) add("zstd=" + std::to_string(o.zstd_level));
  if (o.ultra) add("ultra");
  if (o.progress != progress_mode::automatic) add(o.progress == progress_mode::on ? "progress" : "no-progress");
  if (o.help) add("help");
  if (o.version) add("version");
  std::string f;
  for (auto& x : o.files) f += (f.empty() ? "" : ",") + x;
  if (!f.empty()) add("files=" + f);
  return s;
}

}  // namespace

TEST(Options, AcceptedForms) {
  const struct {
    std::vector<std::string> args;
    const char* want;
  } cases[] = {
      {{"-z"}, ""},
      {{"--encode", "a", "b"}, "files=a,b"},
      {{"-dcf", "x.dc"}, "decode stdout force files=x.dc"},
      {{"a", "--decode", "-", "b"}, "decode files=a,-,b"},
      {{"-t", "-d"}, "test"},
      // The last of -z and -d wins: tar -I 'dupcut -z' decodes with -d added.
      {{"-z", "-d"}, "decode"},
      {{"-d", "--encode", "-dz"}, ""},
      {{"-z", "-t", "-d"}, "test"},
      {{"-dt", "--test"}, "test"},
      {{"--list", "-v", "s.dc"}, "list v=2 files=s.dc"},
      {{"-qT2"}, "v=0 T=2"},
      {{"-qq"}, "v=0"},
      {{"-vvv", "-q", "--verbose"}, "v=4"},
      {{"-T", "0", "--threads=8"}, "T=8"},
      {{"-T16", "--threads", "1"}, "T=1"},
      {{"-oout.dc", "in"}, "out=out.dc files=in"},
      {{"-fo", "out", "in"}, "out=out force files=in"},
      {{"-o", "-", "--", "--rm"}, "out=- files=--rm"},
      {{"--rm", "-k"}, ""},
      {{"-k", "--rm"}, "rm"},
      {{"--force", "--stdout", "--keep"}, "stdout force"},
      {{"-M", "64m", "--memory=1GiB"}, "M=1073741824"},
      {{"-M3"}, "M=3145728"},
      {{"--memory", "1536K"}, "M=1572864"},
      {{"--chunk=1"}, "chunk=1"},
      {{"--chunk", "65535"}, "chunk=65535"},
      {{"--table=3"}, "table=3"},
      {{"--table=1g"}, "table=1024"},
      {{"--window=4G"}, "window=4095"},
      {{"--window=4096"}, "window=4095"},
      {{"--window=4095MiB"}, "window=4095"},
      {{"--window", "2048kib"}, "window=2"},
      {{"--window=0001M"}, "window=1"},
      {{"--verify", "--progress"}, "verify progress"},
      {{"--progress", "--no-progress"}, "no-progress"},
      {{"-h", "--version"}, "help version"},
      {{"-V"}, "version"},
      // A level only after '=': "--zstd 5" is a file named 5.
      {{"--zstd", "5"}, "zstd=3 files=5"},
      {{"--zstd=19", "--zstd=1"}, "zstd=1"},
      {{"--zstd=22", "--ultra"}, "zstd=22 ultra"},
      // Decoding finds zstd frames itself; tar -I 'dupcut --zstd' adds -d.
      {{"--zstd", "-d"}, "decode zstd=3"},
  };
  for (const auto& c : cases) {
    options o = parse(c.args);
    std::string line;
    for (auto& a : c.args) line += a + " ";
    EXPECT_EQ(o.error, "") << line;
    EXPECT_EQ(describe(o), c.want) << line;
  }

  // Fewer than three arguments are options and files, whatever the first.
  for (const std::vector<std::string>& w : {std::vector<std::string>{}, {"a"}, {"d", "x.dc"}, {"-", "a"}})
    EXPECT_TRUE(with_argv(w, option_form)) << w.size();
  EXPECT_FALSE(with_argv({"-", "a", "b"}, option_form));  // a lone '-' is a positional mode
  EXPECT_FALSE(with_argv({"d", "-", "-"}, option_form));
  EXPECT_TRUE(with_argv({"-d"}, option_form));
  EXPECT_TRUE(with_argv({"--", "a"}, option_form));
}

TEST(Options, Refusals) {
  const struct {
    std::vector<std::string> args;
    const char* error;
  } cases[] = {
      {{"-x"}, "unknown option '-x'"},
      {{"-dxf"}, "unknown option '-x' in '-dxf'"},
      {{"--bogus=1"}, "unknown option '--bogus'"},
      {{"--decod"}, "unknown option '--decod'"},
      {{"--force=yes"}, "option '--force' takes no value"},
      {{"a", "-o"}, "option '-o' needs a value"},
      {{"--window"}, "option '--window' needs a value"},
      {{"-qT"}, "option '-T' needs a value"},
      {{"-o", ""}, "'-o' needs a file name"},
      {{"-t", "-z"}, "conflicting modes '-z' and '-t'"},
      {{"-d", "-z", "-t"}, "conflicting modes '-z' and '-t'"},
      {{"-l", "--test"}, "conflicting modes '--test' and '-l'"},
      {{"-dl"}, "conflicting modes '-d' and '-l'"},
      {{"-c", "-o", "x"}, "'-c' and '-o' conflict"},
      {{"-t", "--stdout"}, "'--stdout' has no use with '-t', which writes no data"},
      {{"-l", "-o", "x"}, "'-o' has no use with '-l', which writes no data"},
      {{"-d", "--verify"}, "'--verify' applies to encoding, not to '-d'"},
      {{"-o", "x", "a", "b"}, "'-o' takes one input file, not 2"},
      {{"-T", "257"}, "'-T 257': expected a whole number 0..256"},
      {{"-T", "-1"}, "'-T -1': expected a whole number 0..256"},
      {{"-T2x"}, "'-T 2x': expected a whole number 0..256"},
      {{"--threads=+2"}, "'--threads=+2': expected a whole number 0..256"},
      {{"--chunk=0"}, "'--chunk=0': expected a whole number 1..65535"},
      {{"--chunk=65536"}, "'--chunk=65536': expected a whole number 1..65535"},
      // 2^64 + 100: wraps to a valid divisor if digits overflow.
      {{"--chunk=18446744073709551716"}, "expected a whole number 1..65535"},
      // (2^44 + 1) MiB: wraps to 1 MiB if the unit multiply overflows.
      {{"--window=17592186044417"}, "'--window=17592186044417': out of range 1 MiB..4095 MiB (a bare number is MiB)"},
      {{"--window=4097"}, "out of range 1 MiB..4095 MiB"},
      {{"--table=0"}, "'--table=0': out of range"},
      {{"--table=4097M"}, "out of range"},
      {{"--window=1500K"}, "'--window=1500K': not a whole number of MiB"},
      {{"--window=1.5G"}, "'--window=1.5G': not a size (digits, then K, M, G, KiB, MiB or GiB; a bare number is MiB)"},
      {{"--window=12X"}, "not a size"},
      {{"--window=MiB"}, "not a size"},
      {{"--window=12KB"}, "not a size"},
      {{"--window= 12"}, "not a size"},
      {{"--window="}, "not a size"},
      {{"-M", "512K"}, "'-M 512K': below 1 MiB, the smallest window"},
      {{"--memory=0"}, "below 1 MiB"},
      {{"--zstd=0"}, "'--zstd=0': expected a level 1..19 (up to 22 with --ultra)"},
      {{"--zstd=23", "--ultra"}, "expected a level 1..19"},
      {{"--zstd="}, "expected a level"},
      {{"--zstd=20"}, "'--zstd=20': levels above 19 need --ultra"},
  };
  for (const auto& c : cases) {
    std::string line;
    for (auto& a : c.args) line += a + " ";
    EXPECT_NE(parse(c.args).error.find(c.error), std::string::npos)
        << line << "-> '" << parse(c.args).error << "', want '" << c.error << "'";
  }
}

TEST(Options, OutputNames) {
  std::string out, err;
  const struct {
    const char* in;
    bool decode;
    const char* out;  // null: refused
  } cases[] = {
      {"a/b.tar", false, "a/b.tar.dc"}, {"a/b.tar.dc", true, "a/b.tar"}, {"x.dc.dc", true, "x.dc"},
      {"x.dc", false, nullptr},         {"x.tar", true, nullptr},        {"x.DC", true, nullptr},
      {"x.dc.zst", true, "x"},          {"x.dc.zst", false, nullptr},    {"x.zst", true, nullptr},
      {"d/.dc.zst", true, nullptr},
      {"a.dc/b", true, nullptr},        {"dir/.dc", true, nullptr},      {".dc", true, nullptr},
      {"-", false, nullptr},            {"", true, nullptr},
  };
  for (const auto& c : cases) {
    out = "unchanged", err.clear();
    const bool ok = output_name(c.in, c.decode, out, err);
    EXPECT_EQ(ok, c.out != nullptr) << c.in;
    EXPECT_EQ(ok ? out : "unchanged", c.out ? c.out : "unchanged") << c.in;
    EXPECT_EQ(err.empty(), ok) << c.in << ": " << err;
  }
  output_name("x.tar", true, out, err);
  EXPECT_EQ(err, "'x.tar' does not end in .dc or .dc.zst; use -o or -c to name the output");
  EXPECT_TRUE(output_name("a/b.tar", false, out, err, true));
  EXPECT_EQ(out, "a/b.tar.dc.zst");
}

// A regular input's table: a few slots per chunk it can fill, within
// 1 MiB and the 256 MiB default, and no overflow for any file size.
TEST(Options, TableSizedToInput) {
  EXPECT_EQ(table_for_size(0, 100), 1u);
  EXPECT_EQ(table_for_size(1000000, 100), 1u);
  EXPECT_EQ(table_for_size(uint64_t(1) << 30, 100), 256u);
  EXPECT_EQ(table_for_size(uint64_t(1) << 62, 1), 256u);
  for (uint64_t size : {uint64_t(16) << 20, uint64_t(100) << 20})
    for (uint32_t chunk : {1u, 100u, 1000u}) {
      const uint64_t slots = (uint64_t(table_for_size(size, chunk)) << 20) / 20;
      EXPECT_GE(slots, size / (chunk + 63) * table_slots_per_chunk) << size << " " << chunk;
      EXPECT_LE(table_for_size(size, chunk), table_for_size(size * 2, chunk));
    }
}
