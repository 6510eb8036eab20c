# Front door: `make test` and `make demo` do all the set-up on a fresh Debian machine.
JOBS      ?= $(shell nproc)
CMAKE_GEN := -G Ninja
BUILD     := build
# Line tables are enough for sanitizer reports and keep those builds quick.
SAN_DEBUG := -DCMAKE_CXX_FLAGS_DEBUG=-g1 -DCMAKE_C_FLAGS_DEBUG=-g1

.PHONY: all deps build test demo bench asan asan-test tsan tsan-test fuzz fuzz-run clean

all: build

deps:
	@tools/scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD) -j $(JOBS) --output-on-failure --timeout 300

demo: build
	tools/scripts/demo.sh $(BUILD)

# The benchmarks, then ten minutes of 32 host threads on four tokens and ten
# minutes of the soak under card faults (the long runs of the tests that CI
# runs for a moment).
LOAD_SECONDS ?= 600
SOAK_SECONDS ?= 600
bench: build
	@for b in $(BUILD)/bench/bench_*; do [ -x "$$b" ] && "$$b"; done; true
	MIRTAL_LOAD_SECONDS=$(LOAD_SECONDS) $(BUILD)/tests/pkcs11impl/test_pkcs11impl_module_load
	MIRTAL_SOAK_SECONDS=$(SOAK_SECONDS) $(BUILD)/tests/pkcs11impl/test_pkcs11impl_module_soak

# AddressSanitizer + UndefinedBehaviorSanitizer over the tests that run our own code.
asan: deps
	cmake -S . -B build-asan $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DMIRTAL_BENCH=OFF $(SAN_DEBUG) \
	  -DCMAKE_CXX_FLAGS="-O1 -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer" \
	  -DCMAKE_C_FLAGS="-O1 -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer" \
	  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=address,undefined"
	cmake --build build-asan -j $(JOBS)

# The randomized token writes take more steps here than in `make test`.
asan-test: asan
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  LSAN_OPTIONS=suppressions=$(CURDIR)/tools/scripts/lsan.supp MIRTAL_RANDOM_STEPS=160 \
	  ctest --test-dir build-asan -j $(JOBS) --output-on-failure -LE external --timeout 600

# ThreadSanitizer over the tests labelled `threads`.
tsan: deps
	cmake -S . -B build-tsan $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DMIRTAL_BENCH=OFF -DMIRTAL_CARDSIM=ON $(SAN_DEBUG) \
	  -DCMAKE_CXX_FLAGS="-O1 -fsanitize=thread" -DCMAKE_C_FLAGS="-O1 -fsanitize=thread" \
	  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=thread" -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=thread"
	cmake --build build-tsan -j $(JOBS) --target thread_tests

tsan-test: tsan
	ctest --test-dir build-tsan -j $(JOBS) --output-on-failure -L threads --no-tests=ignore --timeout 600

# libFuzzer targets, built with clang in their own tree.
fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B build-fuzz $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DMIRTAL_FUZZ=ON -DMIRTAL_TESTS=OFF -DMIRTAL_BENCH=OFF -DMIRTAL_CARDSIM=OFF \
	  -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all" \
	  -DCMAKE_C_FLAGS="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all" \
	  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined"
	cmake --build build-fuzz -j $(JOBS)

FUZZ_SECONDS ?= 30
fuzz-run: fuzz
	tools/scripts/run-fuzzers.sh build-fuzz $(FUZZ_SECONDS)

clean:
	rm -rf build build-asan build-tsan build-fuzz
