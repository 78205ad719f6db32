# The two commands: `make test` and `make run`. Both install what they need first.
BUILD      ?= build
ASAN_BUILD ?= build-asan
RUN_BUILD  ?= build-run
TSAN_BUILD ?= build-tsan
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 600
JOBS       ?= $(shell nproc)
CMAKE_GEN  := -G Ninja

.PHONY: all bootstrap bootstrap-run build build-asan build-tsan build-fuzz package test fuzz run bench screenshots format clean

all: build

bootstrap:
	@scripts/bootstrap test

# What building and running the programs need, without the test tools.
bootstrap-run:
	@scripts/bootstrap run

build: bootstrap
	cmake -S . -B $(BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j $(JOBS)

# The core and its tests again, under AddressSanitizer and UndefinedBehaviorSanitizer.
build-asan: bootstrap
	cmake -S . -B $(ASAN_BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug \
	  -DTROVANEX_SANITIZE=ON -DTROVANEX_CORE_ONLY=ON
	cmake --build $(ASAN_BUILD) -j $(JOBS)

# The core and its tests again, built by Clang under ThreadSanitizer; Clang also checks the
# lock annotations, and a broken lock rule fails this build.
build-tsan: bootstrap
	cmake -S . -B $(TSAN_BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_CXX_COMPILER=clang++ -DTROVANEX_TSAN=ON -DTROVANEX_CORE_ONLY=ON \
	  -DTROVANEX_ISAL=OFF
	cmake --build $(TSAN_BUILD) -j $(JOBS)

# The libFuzzer targets (fuzz/), built by Clang over the core under AddressSanitizer and
# UndefinedBehaviorSanitizer.
build-fuzz: bootstrap
	cmake -S . -B $(FUZZ_BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_CXX_COMPILER=clang++ -DTROVANEX_FUZZ=ON -DTROVANEX_CORE_ONLY=ON
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzz_targets

# The Debian package, in the build folder.
package: build
	cd $(BUILD) && cpack -G DEB

test: build build-asan build-tsan build-fuzz package
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  ctest --test-dir $(TSAN_BUILD) --output-on-failure -j $(JOBS)
	scripts/fuzz $(FUZZ_BUILD) 20

# Every fuzz target for FUZZ_SECONDS; what a run finds stays in $(FUZZ_BUILD)/fuzz/findings.
fuzz: build-fuzz
	scripts/fuzz $(FUZZ_BUILD) $(FUZZ_SECONDS)

bench: build
	$(BUILD)/bench/trovanex_bench
	$(BUILD)/bench/trovanex_ui_bench

# The desktop program's windows, on a virtual display, into docs/screenshots/.
screenshots: build
	scripts/screenshots $(BUILD)/src/ui/trovanex

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD) $(RUN_BUILD)

# The programs alone, without tests or benchmarks.
run: bootstrap-run
	cmake -S . -B $(RUN_BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTROVANEX_TESTS=OFF
	cmake --build $(RUN_BUILD) -j $(JOBS)
	BUILD=$(CURDIR)/$(RUN_BUILD) scripts/run $(ARGS)
