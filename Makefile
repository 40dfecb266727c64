# Thin wrapper over CMake. `make run` and `make test` do all the set-up.
SHELL := /bin/bash
BUILD ?= build
ASAN_BUILD ?= build-asan
PACKAGE_BUILD ?= build-package
SAMPLE_DIR := $(BUILD)/demo/source
SRC ?= $(SAMPLE_DIR)
MNT ?= $(BUILD)/demo/mount
JOBS ?= $(shell nproc)
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60

# Debian packages the build, the tests and the demo need.
PACKAGES := build-essential cmake ninja-build pkg-config libgtest-dev \
	libfuse3-dev fuse3 ffmpeg libgtk-4-dev libadwaita-1-dev libsoup-3.0-dev \
	xvfb xauth appstream desktop-file-utils clang libclang-rt-14-dev systemd man-db dpkg-dev file python3 \
	mediainfo gstreamer1.0-tools gstreamer1.0-plugins-base-apps gstreamer1.0-plugins-good gstreamer1.0-plugins-bad \
	libimage-exiftool-perl

CMAKE_FLAGS ?=

.PHONY: run test deps build service build-asan sample package bench bench-rewrite bench-mount bench-memory bench-multitrack bench-probe bench-slow \
	bench-fragments bench-trafs bench-tree bench-scan fuzz screenshots clean

run: deps service sample
	@scripts/demo-run.sh "$(BUILD)/service/cli/kov-orvane" "$(SRC)" "$(MNT)"

test: deps build build-asan
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
		UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure -j $(JOBS)

deps:
	@scripts/install-deps.sh $(PACKAGES)

build:
	cmake -S . -B $(BUILD) -G Ninja -DKOV_WERROR=ON $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

# The service alone: what the demo runs.
service:
	cmake -S . -B $(BUILD) -G Ninja -DKOV_WERROR=ON $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS) --target kov-orvane

build-asan:
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DKOV_WERROR=ON -DKOV_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug $(CMAKE_FLAGS)
	cmake --build $(ASAN_BUILD) -j $(JOBS)

# Builds the libFuzzer target with clang + sanitizers and runs it for FUZZ_SECONDS.
fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -G Ninja -DKOV_FUZZ=ON -DKOV_SANITIZE=ON \
		-DKOV_TESTS=OFF -DKOV_PANEL=OFF $(CMAKE_FLAGS)
	cmake --build $(FUZZ_BUILD) --target fuzz_media_scan
	fuzz/make-seeds.sh fuzz/corpus-media-scan
	mkdir -p $(FUZZ_BUILD)/artifacts
	$(FUZZ_BUILD)/fuzz/fuzz_media_scan -max_total_time=$(FUZZ_SECONDS) \
		-dict=fuzz/media_scan.dict -artifact_prefix=$(FUZZ_BUILD)/artifacts/ fuzz/corpus-media-scan

sample:
	@scripts/make-sample.sh "$(SAMPLE_DIR)"

# A .deb installing under /usr, in $(PACKAGE_BUILD)/.
package: deps
	cmake -S . -B $(PACKAGE_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr -DKOV_TESTS=OFF $(CMAKE_FLAGS)
	cmake --build $(PACKAGE_BUILD) -j $(JOBS)
	cd $(PACKAGE_BUILD) && cpack -G DEB
	@ls -1 $(PACKAGE_BUILD)/*.deb

# Rewrite engine benchmark; clips are generated once into $(BUILD)/bench-cache.
bench-rewrite: deps
	cmake -S . -B $(BUILD) -G Ninja -DKOV_WERROR=ON $(CMAKE_FLAGS)
	cmake --build $(BUILD) --target kov-orvane bench_rewrite
	bench/rewrite.sh $(BUILD)

# PNGs of the control panel in its main states, rendered under Xvfb.
screenshots: deps
	cmake -S . -B $(BUILD) -G Ninja -DKOV_WERROR=ON $(CMAKE_FLAGS)
	cmake --build $(BUILD) --target kov-orvane-panel-selftest
	panel/screenshots.sh $(BUILD)/panel/kov-orvane-panel-selftest $(BUILD)/screenshots

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD) $(PACKAGE_BUILD)

# Probe cost benchmark: analysis time and reads, also behind a 64 GiB sparse hole.
bench-probe: deps
	cmake -S . -B $(BUILD) -G Ninja -DKOV_WERROR=ON $(CMAKE_FLAGS)
	cmake --build $(BUILD) --target bench_probe
	bench/probe.sh $(BUILD)

# Fragmented recordings: first-lookup cost and reads through the mount.
# Hostile fragment shapes, 10,000 to 1,000,000 track fragments: probe, emit, stat.
bench-trafs: deps build
	bench/trafs.sh $(BUILD)

bench-fragments: deps build
	cmake --build $(BUILD) --target bench_mount bench_fragments
	bench/fragments.sh $(BUILD)

# Every benchmark, one after the other.
bench: bench-probe bench-rewrite bench-mount bench-memory bench-slow bench-multitrack bench-fragments bench-tree bench-scan

# A 2-hour recording with six AAC tracks: layout, reads and memory through a mount.
bench-multitrack: deps build
	cmake --build $(BUILD) --target bench_mount bench_rewrite
	bench/multitrack.sh $(BUILD)

bench-mount: deps build
	cmake --build $(BUILD) --target bench_mount
	bench/mount.sh $(BUILD)

# The mount over a slow source (every read delayed 1 ms by faultfs) beside a local one.
# Resident memory while 1,000 clips are read and crafted tables are listed.
bench-memory: deps build
	bench/mount-memory.sh $(BUILD)

# 200,000 files in 200 folders walked, renamed and walked again, and 1,000,000
# in one folder listed: files listed, descriptors held, memory per file.
bench-tree: deps build
	bench/large-tree.sh $(BUILD)

# The status query's share scan: its time and answer on a library of 130,000 files.
bench-scan: deps build
	bench/status-scan.sh $(BUILD)

bench-slow: deps build
	cmake --build $(BUILD) --target bench_mount faultfs
	bench/slow-source.sh $(BUILD)
