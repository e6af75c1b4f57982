# Quick start: `make run` serves the sample rules in the foreground; `make test` runs every test.
BUILD      ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
JOBS       ?= $(shell nproc)
RUN_DIR    := $(abspath $(BUILD))
FUZZ_TIME  ?= 60

.PHONY: all deps build run test test-sanitize fuzz bench clean

all: build

deps:
	@bash scripts/install-deps.sh

$(BUILD)/build.ninja: | deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)
	@rm -rf $(BUILD)/rules && cp -r rules $(BUILD)/rules

run: build
	@mkdir -p $(RUN_DIR)/data
	@echo "[*] Norvid Shield core service on $(RUN_DIR)/norvid.sock (data in $(RUN_DIR)/data)"
	@echo "[*] Query it from another terminal with:"
	@echo "      NORVID_SOCKET=$(RUN_DIR)/norvid.sock $(RUN_DIR)/norvidctl status"
	@echo "[*] Ctrl-C stops it."
	NORVID_DATA_DIR=$(RUN_DIR)/data NORVID_SOCKET=$(RUN_DIR)/norvid.sock $(RUN_DIR)/norvid-core run

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) --timeout 300

test-sanitize: deps
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DNORVID_SANITIZE=ON
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --output-on-failure -j $(JOBS) --timeout 600

# libFuzzer targets built with clang and sanitizers, each run FUZZ_TIME seconds on a copy of its
# seed corpus (tests/fuzz/corpus/<target>). Not part of `make test`.
fuzz:
	@bash scripts/install-deps.sh clang libclang-rt-14-dev
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DNORVID_FUZZ=ON -DNORVID_TESTS=OFF
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target norvid_fuzz_targets
	bash tests/fuzz/run-fuzzers.sh $(FUZZ_BUILD) $(FUZZ_TIME)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)
