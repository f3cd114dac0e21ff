# A thin layer over CMake. Each target installs the Debian packages it needs
# first (tools/install-deps.sh), and make itself is the one thing to install
# by hand on a bare machine: sudo apt-get install make.
#   make demo   build the tool (no tests), write a stand-in kvbgm.dat into
#               demo/ and extract it there: about 1.4 GB of disk
#   make test   build and run every test
#   make bench  run the benchmark and save its table in bench/results/
#   make windows        cross-build the 32-bit Windows kvbgm2wav.exe (build-win/)
#   make test-windows   its unit tests and an end-to-end comparison with the
#                       Linux build, the 32-bit exe itself under Wine (through
#                       qemu where the machine cannot run 32-bit programs)
#   make test-sanitize  every test on an AddressSanitizer + UBSan build
#   make fuzz           the command-line fuzzer for FUZZ_SECONDS (default 60)
#   make install PREFIX=/usr/local
#   make deb            the .deb, with CPack, of a build of its own (build-deb/)
#                       with Debian's hardening flags; fails if lintian finds an
#                       error in it
#   make zip            the .zip of the Windows build (build-win/), with CPack
#   make package        both
#   make test-package   check what the .deb and the .zip hold
#   make clean          remove every build, build-deps/ and demo/

BUILD ?= build
DEB_BUILD ?= build-deb
PREFIX ?= /usr/local
JOBS ?= $(shell nproc)

.PHONY: all deps build demo test bench windows test-windows test-sanitize fuzz install deb zip package test-package clean

all: build

deps:
	@tools/install-deps.sh base

# The tests are switched on again here: make demo leaves them off in the
# same build folder.
build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DKVBGM_TESTS=ON
	cmake --build $(BUILD) -j $(JOBS)

# Only the tool and the stand-in maker, configured without the tests, so
# that only the build group is installed: no test tools. The same build
# folder as make test, which then builds only the tests.
demo:
	@echo "make demo: needs about 1.4 GB of disk in demo/: a 492 MB stand-in kvbgm.dat and 923 MB of WAV files"
	@tools/install-deps.sh build
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DKVBGM_TESTS=OFF
	cmake --build $(BUILD) -j $(JOBS) --target kvbgm2wav make_standin
	mkdir -p demo
	test -f demo/kvbgm.dat || $(BUILD)/make_standin demo/kvbgm.dat
	cd demo && ../$(BUILD)/kvbgm2wav
	@echo "make demo: the 31 WAV files are in $(CURDIR)/demo/"

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
	# The Ogg end-to-end suite spends its time in libvorbis and oggenc, which
	# carry no sanitizer; the Ogg writer's own tests run here in unit_tests.
	ctest --test-dir build-asan --output-on-failure -j 2 -E '^ogg_e2e_test$$'

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

# The .deb's own build: Debian's hardening flags (cmake/harden.cmake), no
# tests; CPack strips the program and drops its .comment section.
deb:
	@tools/install-deps.sh build package
	cmake -S . -B $(DEB_BUILD) -DCMAKE_BUILD_TYPE=Release -DKVBGM_TESTS=OFF -DKVBGM_HARDEN=ON
	cmake --build $(DEB_BUILD) -j $(JOBS) --target kvbgm2wav package_docs
	rm -f $(DEB_BUILD)/kvbgm2wav_*.deb
	cd $(DEB_BUILD) && cpack -G DEB
	lintian --fail-on error $(DEB_BUILD)/kvbgm2wav_*.deb

zip: windows
	rm -f build-win/kvbgm2wav-*-win32.zip
	cd build-win && cpack -G ZIP

package: deb zip

# The packages' contents; the Linux build's program is the reference for the
# packaged one's output.
test-package: build
	@tools/install-deps.sh package
	cd tests && KVBGM2WAV="$(CURDIR)/$(BUILD)/kvbgm2wav" MAKE_STANDIN="$(CURDIR)/$(BUILD)/make_standin" \
	  KVBGM_DEB_BUILD="$(CURDIR)/$(DEB_BUILD)" KVBGM_WIN_BUILD="$(CURDIR)/build-win" \
	  python3 -m unittest -v package_test

clean:
	rm -rf $(BUILD) $(DEB_BUILD) build-win build-bench build-asan build-fuzz build-deps demo

bench:
	@tools/install-deps.sh base bench
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DKVBGM_BENCH=ON -DKVBGM_TESTS=OFF
	cmake --build build-bench -j $(JOBS)
	bench/bench.py --build build-bench
	bench/flac_bench.py --build build-bench
