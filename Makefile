# Thin wrapper around CMake so that a fresh checkout needs two commands:
# `make demo` and `make test`. Plain `make` builds build/plivex.

BUILD_DIR ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE ?= cmake
CTEST ?= ctest
# ON turns compiler warnings into errors (CI sets it in the environment).
PLIVEX_WERROR ?= OFF

.PHONY: all configure demo test clean

all: configure
	$(CMAKE) --build $(BUILD_DIR) -j $(JOBS) --target plivex

configure:
	$(CMAKE) -S . -B $(BUILD_DIR) -DPLIVEX_WERROR=$(PLIVEX_WERROR)

demo: configure
	$(CMAKE) --build $(BUILD_DIR) -j $(JOBS) --target demo

test: configure
	$(CMAKE) --build $(BUILD_DIR) -j $(JOBS)
	$(CTEST) --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS)

clean:
	rm -rf $(BUILD_DIR)

# Windows: plivex.exe and the tests cross-built with MinGW-w64 into their own
# folder, and the whole suite run under Wine (see cmake/mingw-w64-x86_64.cmake).
WINDOWS_BUILD_DIR ?= build-windows

.PHONY: test-windows

test-windows:
	$(CMAKE) -S . -B $(WINDOWS_BUILD_DIR) -DPLIVEX_WERROR=$(PLIVEX_WERROR) \
	  -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/mingw-w64-x86_64.cmake
	$(CMAKE) --build $(WINDOWS_BUILD_DIR) -j $(JOBS)
	$(CTEST) --test-dir $(WINDOWS_BUILD_DIR) --output-on-failure -j $(JOBS)
