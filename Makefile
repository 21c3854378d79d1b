# Thin wrapper around CMake so that a fresh checkout needs two commands:
# `make demo` and `make test`. Plain `make` builds the three programs,
# build/plivex, build/plivex-pack and build/plivex-batch, and needs neither GoogleTest nor
# Python: without them the tests are left out, with a warning that says what
# to install. CMAKE_ARGS passes more options to CMake's configuration.

BUILD_DIR ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE ?= cmake
CTEST ?= ctest
# ON turns compiler warnings into errors (CI sets it in the environment).
PLIVEX_WERROR ?= OFF
CMAKE_ARGS ?=

.PHONY: all configure demo test bench identify-bench clean

# Everything that `cmake --install` puts in place.
all: configure
	$(CMAKE) --build $(BUILD_DIR) -j $(JOBS) --target plivex plivex-pack plivex-batch

configure:
	$(CMAKE) -S . -B $(BUILD_DIR) -DPLIVEX_WERROR=$(PLIVEX_WERROR) \
	  -DPLIVEX_PACKAGE_DIR=$(abspath $(PACKAGE_DIR)) $(CMAKE_ARGS)

# GNUMAKEFLAGS reaches the makes that CMake's build runs (and nothing else
# does): without it each of them announces every folder it enters and
# leaves, around the few lines the demo prints.
demo: configure
	GNUMAKEFLAGS=--no-print-directory $(CMAKE) --build $(BUILD_DIR) -j $(JOBS) --target demo

# --no-tests=error: a build without the suite (GoogleTest or Python missing)
# fails here instead of passing with nothing run.
test: configure
	$(CMAKE) --build $(BUILD_DIR) -j $(JOBS)
	$(CTEST) --test-dir $(BUILD_DIR) --output-on-failure --no-tests=error -j $(JOBS)

# Micro-benchmarks, then whole runs against `cat` and the peak memory, then
# plivex-batch on a folder of 1,000 files against a loop of plivex and
# `cp -r`, and on one large file against plivex, in a
# Release build of its own. Needs libbenchmark-dev; /usr/bin/time (package
# `time`) gives the memory figures.
BENCH_DIR ?= build-bench
bench:
	$(CMAKE) -S . -B $(BENCH_DIR) -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
	  -DPLIVEX_BUILD_BENCH=ON -DPLIVEX_WERROR=$(PLIVEX_WERROR)
	$(CMAKE) --build $(BENCH_DIR) -j $(JOBS) --target plivex plivex-pack plivex-batch plivex_bench
	$(BENCH_DIR)/bench/plivex_bench
	python3 bench/whole_process.py --exe $(BENCH_DIR)/plivex --pack-exe $(BENCH_DIR)/plivex-pack
	python3 bench/batch_bench.py --batch-exe $(BENCH_DIR)/plivex-batch --exe $(BENCH_DIR)/plivex

# The classifier's accuracy on real music, and the cost of listing, in the
# same Release build (bench/identify_corpus.py; not part of `make test`).
# It lays out the OGG files of Debian's frozen-bubble-data and
# hyperrogue-music in every layout, adds files that are not PCM, and checks
# what was tuned there on singularity-music, kept apart; it uses the
# packages that are installed and downloads nothing. Needs ffmpeg and sox.
# The corpus goes to $(BENCH_DIR)/identify-corpus; IDENTIFY_ARGS passes
# more options (--keep, --speed 21, --set corpus, --lister CMD).
IDENTIFY_ARGS ?=
identify-bench:
	$(CMAKE) -S . -B $(BENCH_DIR) -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
	  -DPLIVEX_BUILD_BENCH=ON -DPLIVEX_WERROR=$(PLIVEX_WERROR)
	$(CMAKE) --build $(BENCH_DIR) -j $(JOBS) --target plivex_classify_list plivex_ps2_adpcm
	python3 bench/identify_corpus.py --lister $(BENCH_DIR)/bench/plivex_classify_list \
	  --adpcm-encoder $(BENCH_DIR)/bench/plivex_ps2_adpcm --out $(BENCH_DIR)/identify-corpus $(IDENTIFY_ARGS)

clean:
	rm -rf $(BUILD_DIR) $(BENCH_DIR) $(SANITIZE_DIR) $(FUZZ_DIR) $(WINDOWS_BUILD_DIR) $(PACKAGE_DIR) \
	  $(foreach arch,$(CROSS_ARCHS),build-$(arch))

# --- Packages: make package ------------------------------------------------
# Into $(PACKAGE_DIR)/, with SHA256SUMS over what is there:
#   package-deb  plivex_<version>_<architecture>.deb, from the Linux build
#                (needs dpkg-dev and gzip)
#   package-zip  plivex-<version>-win64.zip (the programs, README.md, LICENSE),
#                from the Windows cross build, the folder `make test-windows`
#                uses (needs MinGW-w64 and Python 3)
#   package      empties $(PACKAGE_DIR), then makes each of the two that this
#                machine has the tools for, and says what it skipped and why
# The same sources give the same bytes (see cmake/packaging.cmake);
# SOURCE_DATE_EPOCH, when set, dates everything in them.

PACKAGE_DIR ?= build-packages
# The tools of each package, each with the Debian package that brings it.
DEB_TOOLS = dpkg-deb=dpkg dpkg-shlibdeps=dpkg-dev gzip=gzip
ZIP_TOOLS = x86_64-w64-mingw32-g++-posix=g++-mingw-w64-x86-64-posix python3=python3
# Shell: prints the missing tools of a list, as " tool (package name)".
missing_tools = for pair in $(1); do command -v $${pair%%=*} >/dev/null \
  || printf ' %s (package %s)' $${pair%%=*} $${pair\#*=}; done

.PHONY: package package-deb package-zip

package:
	rm -rf $(PACKAGE_DIR)
	@missing=$$($(call missing_tools,$(DEB_TOOLS))); \
	if [ -n "$$missing" ]; then echo "make package: skipped the .deb, for want of$$missing"; \
	else $(MAKE) --no-print-directory package-deb; fi
	@missing=$$($(call missing_tools,$(ZIP_TOOLS))); \
	if [ -n "$$missing" ]; then echo "make package: skipped the Windows zip, for want of$$missing"; \
	else $(MAKE) --no-print-directory package-zip; fi
	@test -s $(PACKAGE_DIR)/SHA256SUMS || { echo "make package: nothing was made" >&2; exit 1; }
	@echo "make package: $(PACKAGE_DIR)/SHA256SUMS:" && cat $(PACKAGE_DIR)/SHA256SUMS

package-deb: configure
	$(CMAKE) --build $(BUILD_DIR) -j $(JOBS) --target package-deb

package-zip: configure-windows
	$(CMAKE) --build $(WINDOWS_BUILD_DIR) -j $(JOBS) --target package-zip

# --- Hardening: the whole suite under sanitizers, and the fuzzers ----------

SANITIZE_DIR ?= build-sanitize
SANITIZE_FLAGS = -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer
# Every process of the suite (unit tests, and each plivex run of the
# end-to-end tests) inherits these: a report aborts the process, so its
# test sees a status other than 0 and fails.
SANITIZE_ENV = ASAN_OPTIONS=abort_on_error=1:detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1 \
  UBSAN_OPTIONS=abort_on_error=1:halt_on_error=1:print_stacktrace=1

.PHONY: test-sanitize

test-sanitize:
	$(CMAKE) -S . -B $(SANITIZE_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DPLIVEX_WERROR=$(PLIVEX_WERROR) \
	  "-DCMAKE_CXX_FLAGS=$(SANITIZE_FLAGS)" "-DCMAKE_EXE_LINKER_FLAGS=$(SANITIZE_FLAGS)"
	$(CMAKE) --build $(SANITIZE_DIR) -j $(JOBS)
	$(SANITIZE_ENV) $(CTEST) --test-dir $(SANITIZE_DIR) --output-on-failure --no-tests=error -j $(JOBS)

FUZZ_DIR ?= build-fuzz
FUZZ_CXX ?= clang++-14
FUZZ_SECONDS ?= 60
# The Debian packages of the compiler and of its runtimes (libFuzzer and
# the sanitizers'), named when they are missing.
FUZZ_CXX_PACKAGE ?= clang-14
FUZZ_RUNTIME_PACKAGE ?= libclang-rt-14-dev

.PHONY: fuzz

# The fuzz targets are a separate CMake project (fuzz/), so their compiler
# and instrumentation never reach the normal build. Before it, a program of
# one empty fuzz target is linked, to say what is missing in words rather
# than in CMake's or the linker's.
fuzz:
	@command -v $(FUZZ_CXX) >/dev/null || { echo "make fuzz: cannot build the fuzz targets," \
	  "for want of $(FUZZ_CXX) (package $(FUZZ_CXX_PACKAGE))" >&2; exit 1; }
	@probe=$$(mktemp -d) && trap 'rm -rf "$$probe"' EXIT && \
	  echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }' \
	    >"$$probe/probe.cpp" && \
	  $(FUZZ_CXX) -fsanitize=fuzzer,address,undefined "$$probe/probe.cpp" -o "$$probe/probe" 2>/dev/null \
	  || { echo "make fuzz: cannot build the fuzz targets, for want of libFuzzer and the sanitizers'" \
	    "runtimes of $(FUZZ_CXX) (package $(FUZZ_RUNTIME_PACKAGE))" >&2; exit 1; }
	$(CMAKE) -S fuzz -B $(FUZZ_DIR) -DCMAKE_CXX_COMPILER=$(FUZZ_CXX) \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPLIVEX_WERROR=$(PLIVEX_WERROR)
	$(CMAKE) --build $(FUZZ_DIR) -j $(JOBS)
	fuzz/run_fuzzers.sh $(FUZZ_DIR) $(FUZZ_SECONDS)

# Windows: plivex.exe and the tests cross-built with MinGW-w64 into their own
# folder, and the whole suite run under Wine (see cmake/mingw-w64-x86_64.cmake).
WINDOWS_BUILD_DIR ?= build-windows

.PHONY: configure-windows test-windows

configure-windows:
	$(CMAKE) -S . -B $(WINDOWS_BUILD_DIR) -DPLIVEX_WERROR=$(PLIVEX_WERROR) \
	  -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/mingw-w64-x86_64.cmake \
	  -DPLIVEX_PACKAGE_DIR=$(abspath $(PACKAGE_DIR))

test-windows: configure-windows
	$(CMAKE) --build $(WINDOWS_BUILD_DIR) -j $(JOBS)
	$(CTEST) --test-dir $(WINDOWS_BUILD_DIR) --output-on-failure --no-tests=error -j $(JOBS)

# Other Debian architectures: `make test-cross ARCH=armhf` cross-builds the
# programs and the tests with Debian's compiler for ARCH (package
# g++-<triplet>; see cmake/linux-cross.cmake) into build-ARCH, and runs the
# unit tests and both programs' end-to-end suites there under qemu-user
# (package qemu-user-static; i386 runs directly on an x86-64 kernel).
# GoogleTest is built from its sources (package googletest). The tests
# labelled `host` are left out: they check the build machine's install and
# manual pages, and how it builds, not the programs built for ARCH.
CROSS_ARCHS = i386 armhf arm64 s390x
CROSS_BUILD_DIR ?= build-$(ARCH)

.PHONY: test-cross

test-cross:
	@case " $(CROSS_ARCHS) " in *" $(ARCH) "*) ;; \
	  *) echo "make test-cross: set ARCH to one of: $(CROSS_ARCHS)" >&2; exit 1;; esac
	$(CMAKE) -S . -B $(CROSS_BUILD_DIR) -DPLIVEX_WERROR=$(PLIVEX_WERROR) \
	  -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/linux-cross.cmake -DPLIVEX_CROSS_ARCH=$(ARCH) \
	  $(CMAKE_ARGS)
	$(CMAKE) --build $(CROSS_BUILD_DIR) -j $(JOBS)
	$(CTEST) --test-dir $(CROSS_BUILD_DIR) --output-on-failure --no-tests=error -j $(JOBS) \
	  --label-exclude host
