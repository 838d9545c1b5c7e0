# Single entry point. `make test` and `make demo` are the README's quick start.
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: deps build test demo package check-package check-sanitizers asan tsan fuzz bench soak format clean

deps:
	scripts/install-deps

# Built for /usr: the run path of the programs and the skins' folder they search follow
# the install prefix, and the package installs there.
build: deps
	cmake -S . -B build -G Ninja -DCMAKE_INSTALL_PREFIX=/usr $(CMAKE_FLAGS)
	cmake --build build -j $(JOBS)

test: build
	ctest --test-dir build --output-on-failure -j $(JOBS)

# Whole suite under AddressSanitizer + UndefinedBehaviorSanitizer (no GUI: Qt is not
# instrumented), then the threading tests under ThreadSanitizer.
asan: deps
	cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTARVIO_WITH_GUI=OFF \
	  -DTARVIO_SANITIZE=address,undefined $(CMAKE_FLAGS)
	cmake --build build-asan -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir build-asan --output-on-failure -j $(JOBS)

tsan: deps
	cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVIO_WITH_GUI=OFF \
	  -DTARVIO_SANITIZE=thread $(CMAKE_FLAGS)
	cmake --build build-tsan -j $(JOBS)
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  ctest --test-dir build-tsan --output-on-failure -j $(JOBS) -L threading

check-sanitizers: asan tsan

# Every fuzz target for FUZZ_SECONDS each, built with clang in build-fuzz; seeds come from the
# fixture script. Failing inputs land in build/fuzz-crashes/ (tests/fuzz/README.md).
FUZZ_SECONDS ?= 60
fuzz: deps
	cmake -S . -B build-fuzz -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	  -DTARVIO_WITH_GUI=OFF -DTARVIO_FUZZ=ON $(CMAKE_FLAGS)
	cmake --build build-fuzz -j $(JOBS) --target tarvio_fuzzers
	tests/fixtures/make-fixtures.sh build/fixtures
	FUZZ_SECONDS=$(FUZZ_SECONDS) tests/fuzz/run-fuzz

# build/tarvio_VERSION_ARCH.deb (cmake/TarvioPackage.cmake); `sudo apt install ./build/tarvio_*.deb`.
package: build
	cmake --build build -j $(JOBS) --target package

# Installs the package on this machine, checks the installed programs, and purges it (root).
check-package: package
	scripts/check-package build

demo: build
	scripts/run-demo build

bench: build
	@for b in build/bench/bench_*; do [ -x "$$b" ] && "$$b"; done

# The player and tarvio-cli beside mpv for SOAK_MINUTES under stress-ng (not part of
# `make test`); report and plot in build/soak/ (README, "Soak test").
SOAK_MINUTES ?= 60
soak: build
	SOAK_MINUTES=$(SOAK_MINUTES) scripts/soak build

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf build build-asan build-tsan build-fuzz
