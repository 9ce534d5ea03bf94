# The two set-up commands: `make demo` and `make test`.
JOBS ?= $(shell nproc)

.PHONY: all deps build demo test test-dev test-asan test-tsan test-fuzz test-armhf test-armhf-asan clean

all: build

deps:
	scripts/install-deps

build/%/build.ninja: CMakeLists.txt CMakePresets.json
	cmake --preset $* >/dev/null

build: deps build/dev/build.ninja
	cmake --build --preset dev -j $(JOBS)

# Only what the demo runs: the programs, the emulator and the frame tools.
demo: deps build/dev/build.ninja
	cmake --build --preset dev -j $(JOBS) --target demo_programs
	scripts/demo

test: deps
	$(MAKE) test-dev test-asan test-tsan test-fuzz test-armhf test-armhf-asan

test-dev: build/dev/build.ninja
	cmake --build --preset dev -j $(JOBS)
	ctest --preset dev -j $(JOBS)

test-asan: build/asan/build.ninja
	cmake --build --preset asan -j $(JOBS)
	ctest --preset asan -j $(JOBS)

test-tsan: build/tsan/build.ninja
	cmake --build --preset tsan -j $(JOBS)
	ctest --preset tsan -j $(JOBS)

test-fuzz: build/fuzz/build.ninja
	cmake --build --preset fuzz -j $(JOBS)
	ctest --preset fuzz

# 32-bit ARM, every program and test run under qemu-arm (no binfmt needed).
# After test-dev: one test compares the ARM programs' output with the host's.
test-armhf: build/armhf/build.ninja
	cmake --build --preset armhf -j $(JOBS)
	ctest --preset armhf -j $(JOBS)

# AddressSanitizer+UBSan on ARM under qemu-arm; its leak checker does not run
# under qemu-user, so leaks are checked by the host asan suite only.
test-armhf-asan: build/armhf-asan/build.ninja
	cmake --build --preset armhf-asan -j $(JOBS)
	ctest --preset armhf-asan -j $(JOBS)

clean:
	rm -rf build
