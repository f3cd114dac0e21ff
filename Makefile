# A thin layer over CMake.
#   make demo   build, write a stand-in kvbgm.dat into demo/ and extract it there
#   make test   build and run every test
#   make bench  run the benchmark and save its table in bench/results/
#   make windows        cross-build the 32-bit Windows kvbgm2wav.exe (build-win/)
#   make test-windows   its unit tests and an end-to-end comparison with the
#                       Linux build, under Wine
#   make install PREFIX=/usr/local

BUILD ?= build
PREFIX ?= /usr/local
JOBS ?= $(shell nproc)

.PHONY: all deps build demo test bench windows test-windows install clean

all: build

deps:
	@tools/install-deps.sh base

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j $(JOBS)

demo: build
	mkdir -p demo
	test -f demo/kvbgm.dat || $(BUILD)/make_standin demo/kvbgm.dat
	cd demo && ../$(BUILD)/kvbgm2wav

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j 2

WINE_ENV = WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

windows:
	@tools/install-deps.sh windows
	cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake
	cmake --build build-win -j $(JOBS)

test-windows: build windows
	$(WINE_ENV) ctest --test-dir build-win --output-on-failure
	cd tests && $(WINE_ENV) KVBGM2WAV=$(CURDIR)/$(BUILD)/kvbgm2wav \
	  MAKE_STANDIN=$(CURDIR)/$(BUILD)/make_standin \
	  KVBGM2WAV_EXE=$(CURDIR)/build-win/kvbgm2wav.exe python3 -m unittest -v windows_e2e_test

install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

clean:
	rm -rf $(BUILD) build-win build-bench demo

bench:
	@tools/install-deps.sh base bench
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DKVBGM_BENCH=ON -DKVBGM_TESTS=OFF
	cmake --build build-bench -j $(JOBS)
	bench/bench.py --build build-bench
