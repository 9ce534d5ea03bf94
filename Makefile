# The two set-up commands: `make demo` and `make test`.
JOBS ?= $(shell nproc)

.PHONY: all deps deps-armhf deps-vm sysroot kernel build demo test test-dev test-asan test-tsan \
        test-fuzz test-armhf test-armhf-asan test-vm test-vm-asan clean clean-cache

all: build

# Host packages only: the host build, the demo, the host suites, the benchmarks.
deps:
	scripts/install-deps host

# The cross compiler, qemu-arm and mmdebstrap (host packages), then the armhf
# sysroot in the user's cache, made when missing or stale.
deps-armhf:
	scripts/install-deps armhf
sysroot: deps-armhf
	scripts/make-sysroot
build/sysroot-armhf:
	scripts/make-sysroot

# qemu-system-arm and the kernel sources (host packages), then the booted
# appliance's kernel in the user's cache, built when missing or stale.
deps-vm:
	scripts/install-deps vm
kernel: deps-vm deps-armhf
	scripts/make-appliance-kernel >/dev/null

build/%/build.ninja: CMakeLists.txt CMakePresets.json
	cmake --preset $* >/dev/null

build: deps build/dev/build.ninja
	cmake --build --preset dev -j $(JOBS)

# Only what the demo runs: the programs, the emulator and the frame tools.
demo: deps build/dev/build.ninja
	cmake --build --preset dev -j $(JOBS) --target demo_programs
	scripts/demo

test: deps deps-armhf deps-vm
	$(MAKE) test-dev test-asan test-tsan test-fuzz test-armhf test-armhf-asan test-vm test-vm-asan

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

# A new sysroot is configured afresh: the cache holds paths into the old one.
build/armhf/build.ninja build/armhf-asan/build.ninja: build/%/build.ninja: CMakeLists.txt CMakePresets.json build/sysroot-armhf
	cmake --preset $* --fresh >/dev/null

# 32-bit ARM, every program and test run under qemu-arm (no binfmt needed).
# After test-dev: one test compares the ARM programs' output with the host's.
test-armhf: sysroot build/armhf/build.ninja
	cmake --build --preset armhf -j $(JOBS)
	ctest --preset armhf -j $(JOBS)

# AddressSanitizer+UBSan on ARM under qemu-arm; its leak checker does not run
# under qemu-user, so leaks are checked by the host asan suite only.
test-armhf-asan: sysroot build/armhf-asan/build.ninja
	cmake --build --preset armhf-asan -j $(JOBS)
	ctest --preset armhf-asan -j $(JOBS)

# The ARM programs in the booted appliance: a real ARM kernel under
# qemu-system-arm, one boot per test (after test-armhf, whose build it runs).
# One guest at a time: each has two emulated cores, and two of them on a
# 2-core machine starve each other's select loops (the HDMI input's stream
# then runs a third of a second late and its tail is cut at the stop).
test-vm: sysroot kernel build/armhf/build.ninja
	cmake --build --preset armhf -j $(JOBS)
	ctest --preset vm

# The HDMI input's and the encoder client's rows in the booted appliance under
# AddressSanitizer+UBSan, its leak checker on (the real kernel runs it).
test-vm-asan: sysroot kernel build/armhf-asan/build.ninja
	cmake --build --preset armhf-asan -j $(JOBS)
	ctest --preset vm-asan

clean:
	rm -rf build

# The armhf sysroot and the appliance's kernel, shared by every clone.
clean-cache:
	rm -rf "$${XDG_CACHE_HOME:-$$HOME/.cache}/lumaset"
