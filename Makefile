# SPDX-License-Identifier: GPL-3.0-or-later
# `make run`: install what is missing, build, start Marvane.
# `make test`: the same set-up, then every test in a plain, a ThreadSanitizer
#              and an AddressSanitizer+UBSan build.
# `make bench`: build and run the benchmarks and measurements; LONG=1 adds
#              the long runs (continuity of the live client and the page,
#              40 minutes).
# `make fuzz`: build the libFuzzer targets with clang and run each for
#              FUZZ_SECONDS (60) from the seed corpus in tests/fuzz/corpus/.
# `make install`: build, then install the programs, manual pages and the
#              systemd unit under PREFIX (/usr/local).
# `make deb`: the Debian package marvane_<version>_<arch>.deb; installs only
#              what building it needs (build-essential and the package's
#              Build-Depends), none of the tests' set-up.

JOBS ?= $(shell nproc)
FUZZ_SECONDS ?= 60
BUILD ?= build
PREFIX ?= /usr/local

.PHONY: all deps build run test bench fuzz install deb clean

all: build

deps:
	@scripts/install-deps

build: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMARVANE_WERROR=ON \
		-DCMAKE_INSTALL_PREFIX=$(PREFIX) >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

run: build
	$(BUILD)/bin/marvane $(ARGS)

test: deps
	@scripts/run-tests

bench: build
	@MARVANE_BENCH_LONG=$(LONG) scripts/run-bench $(BUILD)

fuzz: deps
	@FUZZ_SECONDS=$(FUZZ_SECONDS) scripts/run-fuzz

install: build
	cmake --install $(BUILD)

deb:
	@scripts/build-deb

clean:
	rm -rf build build-release build-tsan build-asan build-fuzz build-deb build-chroot marvane_*.deb
