# The two commands of the README:
#   make run    installs what building zat_pwd needs, builds zat_pwd alone
#               (its output kept in build-run/build.log) and runs it
#   make test   installs everything, runs the static analysis, then builds
#               and runs the whole test suite in several builds (GCC plain,
#               ASan+UBSan, Release, clang) and every fuzz harness, warnings
#               as errors throughout
JOBS ?= $(shell nproc)
FUZZ_SECONDS ?= 30
BUILD_TYPE ?= RelWithDebInfo

# No "Entering directory" lines: make run's standard output is the tool's.
MAKEFLAGS += --no-print-directory

# The test builds use the compilers that this project chose and tested, so a
# warning there is an error.
TEST_OPTIONS = -DZAT_WERROR=ON
SANITIZER_ENV = ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

.PHONY: all deps build run analyse test test-plain test-asan test-release test-clang fuzz bench clean

all: build

deps:
	@./scripts/install-deps all

build: deps
	cmake -S . -B build -DCMAKE_BUILD_TYPE=$(BUILD_TYPE)
	cmake --build build -j $(JOBS)

run:
	@./scripts/install-deps tool
	@mkdir -p build-run
	@if ! { cmake -S . -B build-run -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DBUILD_TESTING=OFF -DZAT_BENCH=OFF && \
	        cmake --build build-run -j $(JOBS) --target zat_pwd; } >build-run/build.log 2>&1; then \
	    tail -n 20 build-run/build.log >&2; \
	    echo "make run: building zat_pwd failed; the whole output is in build-run/build.log" >&2; \
	    exit 1; \
	fi
	@./build-run/tools/zat_pwd/zat_pwd $(ARGS)

# clang-tidy (.clang-tidy) and cppcheck over daemon/ and tools/; any finding
# fails.  It configures build-analyse/ for the compile commands and builds
# nothing.
analyse: deps
	JOBS=$(JOBS) ./scripts/analyse build-analyse

test-plain: deps
	cmake -S . -B build -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(TEST_OPTIONS)
	cmake --build build -j $(JOBS)
	ctest --test-dir build --output-on-failure -j $(JOBS)

test-asan: deps
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DZAT_SANITIZE=ON $(TEST_OPTIONS)
	cmake --build build-asan -j $(JOBS)
	$(SANITIZER_ENV) ctest --test-dir build-asan --output-on-failure -j $(JOBS)

# The optimiser's own warnings, and code that only goes wrong when optimised.
test-release: deps
	cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DZAT_BENCH=OFF $(TEST_OPTIONS)
	cmake --build build-release -j $(JOBS)
	ctest --test-dir build-release --output-on-failure -j $(JOBS)

# The second compiler that the project supports.
test-clang: deps
	CC=clang CXX=clang++ cmake -S . -B build-clang -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DZAT_BENCH=OFF $(TEST_OPTIONS)
	cmake --build build-clang -j $(JOBS)
	ctest --test-dir build-clang --output-on-failure -j $(JOBS)

fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZAT_FUZZ=ON $(TEST_OPTIONS)
	cmake --build build-fuzz -j $(JOBS)
	./fuzz/run-all build-fuzz $(FUZZ_SECONDS)

# The analysis first: it takes about half a minute, the builds many.
test: analyse test-plain test-asan test-release test-clang fuzz

bench: build
	./bench/run-all build

clean:
	rm -rf build build-asan build-release build-clang build-fuzz build-run build-analyse
