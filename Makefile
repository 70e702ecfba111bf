# `make run`: install what is missing, build, start Marvane.
# `make test`: the same set-up, then every test in a plain, a ThreadSanitizer
#              and an AddressSanitizer+UBSan build.
# `make bench`: build and run the benchmarks and measurements.
# `make fuzz`: build the libFuzzer targets with clang and run each for
#              FUZZ_SECONDS (60) from the seed corpus in tests/fuzz/corpus/.

JOBS ?= $(shell nproc)
FUZZ_SECONDS ?= 60
BUILD ?= build

.PHONY: all deps build run test bench fuzz clean

all: build

deps:
	@scripts/install-deps

build: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

run: build
	$(BUILD)/bin/marvane $(ARGS)

test: deps
	@scripts/run-tests

bench: build
	@scripts/run-bench $(BUILD)

fuzz: deps
	@FUZZ_SECONDS=$(FUZZ_SECONDS) scripts/run-fuzz

clean:
	rm -rf build build-tsan build-asan build-fuzz
