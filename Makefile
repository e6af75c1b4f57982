# Quick start: `make run` serves the sample rules in the foreground; `make test` runs every test.
BUILD      ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
JOBS       ?= $(shell nproc)
RUN_DIR    := $(abspath $(BUILD))
FUZZ_TIME  ?= 60
FUZZ_JOBS  ?= 1

.PHONY: all deps build build-run run test test-sanitize fuzz bench deb clean

all: build

deps:
	@bash scripts/install-deps.sh

$(BUILD)/build.ninja: | deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)
	@rm -rf $(BUILD)/rules && cp -r rules $(BUILD)/rules

# Only the service and the client: `make run` on a fresh clone does not wait for the tests.
build-run: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS) --target norvid-core norvidctl
	@rm -rf $(BUILD)/rules && cp -r rules $(BUILD)/rules

run: build-run
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

# libFuzzer targets built with clang and sanitizers, each run FUZZ_TIME seconds from its seed
# corpus (tests/fuzz/corpus/<target>) and what earlier runs found, FUZZ_JOBS targets at once.
# Not part of `make test`, which replays each seed corpus once (the fuzz_replay.* tests).
fuzz:
	@bash scripts/install-deps.sh clang libclang-rt-14-dev
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DNORVID_FUZZ=ON -DNORVID_TESTS=OFF
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target norvid_fuzz_targets
	FUZZ_JOBS=$(FUZZ_JOBS) bash tests/fuzz/run-fuzzers.sh $(FUZZ_BUILD) $(FUZZ_TIME)

# The Debian package, built with dh from a copy of the sources (dpkg-buildpackage writes beside
# the source tree, so the copy keeps the worktree's parent clean), without the tests.
DEB_DIR := $(BUILD)/deb
deb:
	@bash scripts/install-deps.sh debhelper lintian scdoc fakeroot dpkg-dev
	rm -rf $(DEB_DIR) && mkdir -p $(DEB_DIR)/src
	tar -c --exclude='./build*' --exclude=./.git . | tar -x -C $(DEB_DIR)/src
	cd $(DEB_DIR)/src && CCACHE_DIR=$${CCACHE_DIR:-$$HOME/.cache/ccache} \
	  DEB_BUILD_OPTIONS="parallel=$(JOBS) nocheck" dpkg-buildpackage -b -us -uc -d
	@ls $(DEB_DIR)/*.deb

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)
