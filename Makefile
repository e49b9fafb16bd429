# Front door: thin wrappers around CMake.
BUILD ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
ARM_BUILD ?= build-arm
FUZZ_BUILD ?= build-fuzz-clang
FUZZ_SECONDS ?= 60
PREFIX ?= /usr/local
JOBS ?= $(shell nproc)
GEN := $(shell command -v ninja >/dev/null 2>&1 && echo "-G Ninja")

.PHONY: all build test test-tiers test-asan test-tsan test-arm test-large demo bench fuzz fuzz-run install clean

all: build

$(BUILD)/build.ninja $(BUILD)/Makefile:
	cmake -S . -B $(BUILD) $(GEN) -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=$(PREFIX)

build: | $(BUILD)/$(if $(GEN),build.ninja,Makefile)
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) -LE expensive

# The route-equivalence tests once per lower CPU tier, with the features
# above it turned off: AVX-512 without GFNI, AVX2, portable. On a CPU that
# lacks a tier's features the run repeats the one below it.
TIER_TESTS := '^(Chunker|Digest|Paths|RoundTrip|Lib\.RoundTrips|Lib\.KeptInput|fuzz_)'
test-tiers: build
	for off in gfni avx512bw,gfni all; do \
	  echo "== tier: DUPCUT_DISABLE_CPU_FEATURES=$$off"; \
	  (cd $(BUILD) && DUPCUT_DISABLE_CPU_FEATURES=$$off ctest --output-on-failure -j $(JOBS) -R $(TIER_TESTS)) || exit 1; \
	done

test-large: build
	cd $(BUILD) && ctest --output-on-failure -L expensive

test-asan:
	cmake -S . -B $(ASAN_BUILD) $(GEN) -DCMAKE_BUILD_TYPE=Debug -DDUPCUT_SANITIZE=ON
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ctest --output-on-failure -j $(JOBS) -LE expensive

# The tests that run the encoder's workers, the memory helpers, the
# output written behind, input read ahead, and codecs on several threads,
# under ThreadSanitizer.
test-tsan:
	cmake -S . -B $(TSAN_BUILD) $(GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDUPCUT_TSAN=ON
	cmake --build $(TSAN_BUILD) -j $(JOBS) --target dupcut decode_test lib_test cli_test
	cd $(TSAN_BUILD) && ctest --output-on-failure -j $(JOBS) -R '^(Paths\.Workers|Helpers\.|Lib\.Contexts|Cli\.WritesToDevices|Cli\.KeptStream)'

# Cross-built for AArch64 (the NEON kernels) and run under qemu-user: the
# kernel registry, the route-equivalence and round-trip tests (the GoogleTest
# cases of the suites built, whose names have a dot).
ARM_TESTS := chunking_test decode_test encode_test lib_test
test-arm:
	sh cmake/aarch64-deps.sh
	cmake -S . -B $(ARM_BUILD) $(GEN) -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/aarch64.cmake
	cmake --build $(ARM_BUILD) -j $(JOBS) --target $(ARM_TESTS)
	cd $(ARM_BUILD) && ctest --output-on-failure -j $(JOBS) -R '\.'

demo: build
	sh tests/demo.sh $(BUILD)/dupcut

# Micro-benchmarks, then the whole-program comparison with md5sum and zstd
# (alone and in pipelines), its targets with PASS or MISS, the detail in
# build/bench/results.md, a block for README and the plot. FILES="a b" adds
# real inputs; BENCH_MIB, BENCH_RUNS, BENCH_DIVS, BENCH_KINDS, BENCH_MICRO
# and BENCH_THREADS (DUPCUT_THREADS for dupcut) as described in bench/run.sh.
bench:
	BUILD=$(BUILD) bash bench/run.sh $(FILES)

# libFuzzer targets under ASan and UBSan (clang), and a timed campaign.
fuzz:
	cmake -S . -B $(FUZZ_BUILD) $(GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ -DDUPCUT_SANITIZE=ON -DDUPCUT_FUZZ=ON
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzz_all fuzz_decode_replay fuzz_roundtrip_replay fuzz_api_replay

fuzz-run:
	FUZZ_BUILD=$(FUZZ_BUILD) sh fuzz/run_campaign.sh $(FUZZ_SECONDS)

install: build
	cmake -S . -B $(BUILD) -DCMAKE_INSTALL_PREFIX=$(PREFIX)
	cmake --install $(BUILD)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(ARM_BUILD) $(FUZZ_BUILD)
