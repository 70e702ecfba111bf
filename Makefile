# `make run`: install what is missing, build, start Marvane.
# `make test`: the same set-up, then every test in a plain, a ThreadSanitizer
#              and an AddressSanitizer+UBSan build.
# `make bench`: build and run the benchmarks and measurements.

JOBS ?= $(shell nproc)
BUILD ?= build

.PHONY: all deps build run test bench clean

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

clean:
	rm -rf build build-tsan build-asan
