BUILD ?= build
CMAKE_FLAGS ?= -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=Release
JOBS ?= 2

.PHONY: all deps configure build test demo bench fuzz soak clean

all: build

deps:
	@tools/install-deps.sh

configure: deps
	@[ -f $(BUILD)/CMakeCache.txt ] || cmake -S . -B $(BUILD) $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS) -- --no-print-directory

# The suite includes the native fuzzer and the clang checks: clang, its
# runtimes and clang-tidy are needed.
test fuzz: export PEL_NEED_FUZZ := 1

test: build
	@tools/run-tests.sh $(BUILD)

# Fuzzes the stream cutter for FUZZ_SECONDS (default 600); no cross build.
FUZZ_SECONDS ?= 600
fuzz: deps
	@tests/fuzz/run-fuzz.sh $(BUILD)/fuzz time $(FUZZ_SECONDS)

# The long reliability run: soak for SOAK_SECONDS, the full flood, and the
# close races with RACE_ROUNDS rounds each.
SOAK_SECONDS ?= 600
RACE_ROUNDS ?= 1000
soak: build
	@tools/run-soak.sh $(BUILD) $(SOAK_SECONDS) $(RACE_ROUNDS)

demo: build
	@tools/run-demo.sh $(BUILD)

bench: build
	@tools/run-bench.sh $(BUILD) $(BENCH_ARGS)

clean:
	rm -rf $(BUILD)
