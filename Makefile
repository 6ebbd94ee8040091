# The two commands of the README:
#   make run    installs what is missing, builds, and runs zat_pwd
#   make test   installs what is missing, then builds and runs the whole test
#               suite twice (plain and ASan+UBSan) and every fuzz harness
JOBS ?= $(shell nproc)
FUZZ_SECONDS ?= 30
BUILD_TYPE ?= RelWithDebInfo

.PHONY: all deps build run test test-plain test-asan fuzz bench clean

all: build

deps:
	@./scripts/install-deps

build: deps
	cmake -S . -B build -DCMAKE_BUILD_TYPE=$(BUILD_TYPE)
	cmake --build build -j $(JOBS)

run: build
	@if [ -x build/tools/zat_pwd/zat_pwd ]; then ./build/tools/zat_pwd/zat_pwd $(ARGS); \
	else echo "zat_pwd is not built yet"; fi

test-plain: build
	ctest --test-dir build --output-on-failure -j $(JOBS)

test-asan: deps
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DZAT_SANITIZE=ON
	cmake --build build-asan -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		ctest --test-dir build-asan --output-on-failure -j $(JOBS)

fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZAT_FUZZ=ON
	cmake --build build-fuzz -j $(JOBS)
	./fuzz/run-all build-fuzz $(FUZZ_SECONDS)

test: test-plain test-asan fuzz

bench: build
	./bench/run-all build

clean:
	rm -rf build build-asan build-fuzz
