# A thin layer over CMake.
#   make demo   build the tool, write a stand-in kvbgm.dat into demo/ and extract
#               it there: about 1.4 GB of disk
#   make test   build and run every test
#   make bench  run the benchmark and save its table in bench/results/
#   make windows        cross-build the 32-bit Windows kvbgm2wav.exe (build-win/)
#   make test-windows   its unit tests and an end-to-end comparison with the
#                       Linux build, the 32-bit exe itself under Wine (through
#                       qemu where the machine cannot run 32-bit programs)
#   make test-sanitize  every test on an AddressSanitizer + UBSan build
#   make fuzz           the command-line fuzzer for FUZZ_SECONDS (default 60)
#   make install PREFIX=/usr/local
#   make package        a .deb of the Linux build ($(BUILD)/) and a .zip of the
#                       Windows build (build-win/), with CPack; fails if lintian
#                       finds an error in the .deb

BUILD ?= build
PREFIX ?= /usr/local
JOBS ?= $(shell nproc)

.PHONY: all deps build demo test bench windows test-windows test-sanitize fuzz install package clean

all: build

deps:
	@tools/install-deps.sh base

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j $(JOBS)

# Only the tool and the stand-in maker: the demo needs no tests.
demo: deps
	@echo "make demo: about 1.4 GB of disk in demo/: a 492 MB stand-in kvbgm.dat and 923 MB of WAV files"
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j $(JOBS) --target kvbgm2wav make_standin
	mkdir -p demo
	test -f demo/kvbgm.dat || $(BUILD)/make_standin demo/kvbgm.dat
	cd demo && ../$(BUILD)/kvbgm2wav

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j 2

windows:
	@tools/install-deps.sh windows
	tools/build-codecs-win.sh i686
	cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake
	cmake --build build-win -j $(JOBS)

test-windows: build windows
	tools/test-windows.sh $(BUILD)

test-sanitize: deps
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKVBGM_SANITIZE=ON
	cmake --build build-asan -j $(JOBS)
	ctest --test-dir build-asan --output-on-failure -j 2

FUZZ_SECONDS ?= 60

fuzz:
	@tools/install-deps.sh base fuzz
	CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DKVBGM_FUZZ=ON -DKVBGM_TESTS=OFF
	cmake --build build-fuzz -j $(JOBS) --target fuzz_options
	rm -rf build-fuzz/corpus && mkdir -p build-fuzz/corpus
	build-fuzz/fuzz_options -max_total_time=$(FUZZ_SECONDS) -max_len=256 \
	  -print_final_stats=1 build-fuzz/corpus tests/fuzz_corpus

install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

package: build windows
	@tools/install-deps.sh package
	cd $(BUILD) && cpack -G DEB
	cd build-win && cpack -G ZIP
	lintian --fail-on error $(BUILD)/kvbgm2wav_*.deb

clean:
	rm -rf $(BUILD) build-win build-bench build-asan build-fuzz demo

bench:
	@tools/install-deps.sh base bench
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DKVBGM_BENCH=ON -DKVBGM_TESTS=OFF
	cmake --build build-bench -j $(JOBS)
	bench/bench.py --build build-bench
	bench/flac_bench.py --build build-bench
