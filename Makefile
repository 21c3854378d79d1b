# Thin wrapper around CMake so that a fresh checkout needs two commands:
# `make demo` and `make test`. Plain `make` builds build/plivex.

BUILD_DIR ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE ?= cmake
CTEST ?= ctest
# ON turns compiler warnings into errors (CI sets it in the environment).
PLIVEX_WERROR ?= OFF

.PHONY: all configure demo test bench clean

all: configure
	$(CMAKE) --build $(BUILD_DIR) -j $(JOBS) --target plivex

configure:
	$(CMAKE) -S . -B $(BUILD_DIR) -DPLIVEX_WERROR=$(PLIVEX_WERROR)

demo: configure
	$(CMAKE) --build $(BUILD_DIR) -j $(JOBS) --target demo

test: configure
	$(CMAKE) --build $(BUILD_DIR) -j $(JOBS)
	$(CTEST) --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS)

# Micro-benchmarks, then whole runs against `cat` and the peak memory, in a
# Release build of its own. Needs libbenchmark-dev; /usr/bin/time (package
# `time`) gives the memory figures.
BENCH_DIR ?= build-bench
bench:
	$(CMAKE) -S . -B $(BENCH_DIR) -DCMAKE_BUILD_TYPE=Release -DPLIVEX_BUILD_TESTS=OFF \
	  -DPLIVEX_BUILD_BENCH=ON -DPLIVEX_WERROR=$(PLIVEX_WERROR)
	$(CMAKE) --build $(BENCH_DIR) -j $(JOBS) --target plivex plivex_bench
	$(BENCH_DIR)/bench/plivex_bench
	python3 bench/whole_process.py --exe $(BENCH_DIR)/plivex

clean:
	rm -rf $(BUILD_DIR) $(BENCH_DIR)

# --- Packages: make package ------------------------------------------------
# build/plivex_<version>_amd64.deb from the Linux build, then
# build-windows/plivex-<version>-win64.zip (plivex.exe, README.md, LICENSE)
# from the Windows cross build. Until the cross toolchain file exists, the
# zip is skipped with a note. WINDOWS_PACKAGE_FLAGS adds CMake options to the
# Windows configure step (e.g. -DPLIVEX_BUILD_TESTS=OFF).
WINDOWS_BUILD_DIR ?= build-windows
WINDOWS_TOOLCHAIN ?= cmake/mingw-w64-x86_64.cmake
WINDOWS_PACKAGE_FLAGS ?=

.PHONY: package package-deb package-zip

package: package-deb package-zip

package-deb: configure
	$(CMAKE) --build $(BUILD_DIR) -j $(JOBS) --target package

package-zip:
	@if [ -f "$(WINDOWS_TOOLCHAIN)" ]; then \
	  echo "$(CMAKE) -S . -B $(WINDOWS_BUILD_DIR) -DCMAKE_TOOLCHAIN_FILE=$(WINDOWS_TOOLCHAIN) $(WINDOWS_PACKAGE_FLAGS)"; \
	  $(CMAKE) -S . -B $(WINDOWS_BUILD_DIR) -DCMAKE_TOOLCHAIN_FILE=$(WINDOWS_TOOLCHAIN) $(WINDOWS_PACKAGE_FLAGS) && \
	  echo "$(CMAKE) --build $(WINDOWS_BUILD_DIR) -j $(JOBS) --target package" && \
	  $(CMAKE) --build $(WINDOWS_BUILD_DIR) -j $(JOBS) --target package; \
	else \
	  echo "note: $(WINDOWS_TOOLCHAIN) does not exist yet, so there is no Windows build:"; \
	  echo "note: skipping the Windows zip; only the .deb was made."; \
	fi
