# Lumo.dll: build, demonstration and tests. `make` builds build/dist/Lumo.dll.
SHELL := /bin/bash
ROOT := $(CURDIR)
BUILD := build
TEST_ARCH = $(shell scripts/test-arch.sh)
TEST_BUILD = $(BUILD)/test-$(TEST_ARCH)
JOBS ?= 2

.PHONY: all setup dll dist native test-build test test-i686 demo host fuzz bench soak coverage coverage-cases clean

all: dll

setup:
	@scripts/setup.sh

$(BUILD)/CMakeCache.txt: | setup
	cmake -S . -B $(BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686.cmake >/dev/null

dll: setup $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j$(JOBS)

# The release zip: build/lumo-<version>-win32.zip (and its -debug.zip).
dist: dll
	cmake --build $(BUILD) --target lumo_dist -j$(JOBS)

# Linux-side pieces: protocol tests and fuzz target, the simulated gauge.
native: setup
	cmake -S . -B $(BUILD)/native -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang >/dev/null
	cmake --build $(BUILD)/native -j$(JOBS)

# The test build includes test_package, which checks the release zip.
test-build: dist native
	cmake -S . -B $(TEST_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-$(TEST_ARCH).cmake \
	  -DLUMO_BUILD_TESTS=ON -DLUMO_ROOT=$(ROOT) >/dev/null
	cmake --build $(TEST_BUILD) -j$(JOBS)

# The whole test suite, on one virtual display: Wine's desktop process keeps
# the display of the first program that starts it, console tests included.
test: test-build
	scripts/gui-run.sh scripts/run-tests.sh $(TEST_BUILD) $(BUILD)/native

# The 32-bit test build's whole suite and the demo under 32-bit Wine: here when
# this machine runs 32-bit code, else (or with LUMO_I686_VM=1) inside an
# emulated x86-64 machine, built on first use into build/vm-i686/.
test-i686:
	LUMO_TEST_ARCH=i686 $(MAKE) test-build
	scripts/test-i686.sh

# The main job: the demonstration host program under Wine.
demo: test-build
	scripts/demo.sh

# The reference host against the simulated gauge: on $DISPLAY when set, else
# on Xvfb, leaving build/screenshots/host.png.
host: test-build
	scripts/host.sh

# The fuzz targets for longer than the short runs of `make test`: the reply
# parser for FUZZ_RUNS inputs (default 10 million), then the simulated
# gauge's description and control parsers for FUZZ_SIM_SECONDS each, then
# lumo-cli's settings backup and trace file readers for FUZZ_CLI_SECONDS each.
FUZZ_RUNS ?= 10000000
FUZZ_SIM_SECONDS ?= 60
FUZZ_CLI_SECONDS ?= 60
FUZZ_WORK = $(abspath $(BUILD))/native/fuzz
fuzz: native
	cmake -E copy_directory tests/fuzz/corpus $(FUZZ_WORK)/corpus
	cd $(FUZZ_WORK) && $(abspath $(BUILD))/native/fuzz_replies -runs=$(FUZZ_RUNS) \
	  -max_len=256 -timeout=10 -print_final_stats=1 -artifact_prefix=$(FUZZ_WORK)/ corpus
	for kind in description control; do \
	  cmake -E copy_directory tests/fuzz/sim_$$kind $(FUZZ_WORK)/sim_$$kind/corpus && \
	  (cd $(FUZZ_WORK)/sim_$$kind && $(abspath $(BUILD))/native/fuzz_sim_$$kind \
	    -max_total_time=$(FUZZ_SIM_SECONDS) -max_len=4096 -timeout=10 -print_final_stats=1 \
	    -artifact_prefix=$(FUZZ_WORK)/sim_$$kind/ corpus) || exit 1; \
	done
	for kind in settings trace; do \
	  cmake -E copy_directory tests/fuzz/cli_$$kind $(FUZZ_WORK)/cli_$$kind/corpus && \
	  (cd $(FUZZ_WORK)/cli_$$kind && $(abspath $(BUILD))/native/fuzz_cli_$$kind \
	    -max_total_time=$(FUZZ_CLI_SECONDS) -max_len=8192 -timeout=10 -print_final_stats=1 \
	    -artifact_prefix=$(FUZZ_WORK)/cli_$$kind/ corpus) || exit 1; \
	done

# The soak run under Wine: SOAK_MINUTES (default 60) of two gauges with faults,
# connection switching and vanishing far ends; build/soak/soak.csv and .png.
SOAK_MINUTES ?= 60
soak: test-build
	scripts/soak.sh $(SOAK_MINUTES)

clean:
	rm -rf $(BUILD)

# Exchange timings and costs over virtual serial lines, both reply modes,
# against a reference program: build/bench/ (a benchmark, not a test).
bench: test-build
	scripts/bench.sh

# The whole suite on builds instrumented for gcov, merged by gcovr into
# build/coverage/index.html with a per-folder summary (library apart from
# tools and tests).
coverage: dist native
	scripts/coverage.sh

# Each test case of the coverage run alone, with the library lines and
# branches it reaches: the cases that reach nothing no other case reaches, and
# a set picked greedily that reaches all (build/coverage/cases.txt).
coverage-cases: dist native
	scripts/coverage-cases.py
