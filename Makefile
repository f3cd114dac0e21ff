# A thin layer over CMake.
#   make demo   build, write a stand-in kvbgm.dat into demo/ and extract it there
#   make test   build and run every test
#   make bench  run the benchmark and save its table in bench/results/
#   make install PREFIX=/usr/local

BUILD ?= build
PREFIX ?= /usr/local
JOBS ?= $(shell nproc)

.PHONY: all deps build demo test bench install clean

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

install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

clean:
	rm -rf $(BUILD) demo

bench:
	@tools/install-deps.sh base bench
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DKVBGM_BENCH=ON -DKVBGM_TESTS=OFF
	cmake --build build-bench -j $(JOBS)
	bench/bench.py --build build-bench
