# Set-up, build, tests and the demo. Every target installs what is missing first: the package
# check runs once (again when scripts/install-deps changes) and CMake configures a build
# directory once; after that the build itself notices changes. `make deps` and `make configure`
# run them again on demand.
BUILD ?= build
JOBS ?= $(shell nproc)
# Tests run side by side: most of their time is a sensor's wire time or a time-out waited for,
# not work, and each has its own ports, folders and display.
TEST_JOBS ?= 3
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo
DEPS_STAMP = .deps-installed

.PHONY: all deps configure build test run install package clean format check-format

all: build

deps:
	./scripts/install-deps
	touch $(DEPS_STAMP)

$(DEPS_STAMP): scripts/install-deps
	./scripts/install-deps
	touch $@

CONFIGURE = cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

configure: $(DEPS_STAMP)
	$(CONFIGURE)

$(BUILD)/CMakeCache.txt: | $(DEPS_STAMP)
	$(CONFIGURE)

build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j$(JOBS)

test: build
	cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j$(TEST_JOBS)

# Only what the demo runs: the program, the simulator and zurid (the tests and benchmarks are
# for `make test`).
RUN_TARGETS = tavrin-zurid sensor-sim zurid

run: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j$(JOBS) --target $(RUN_TARGETS)
	./scripts/demo $(BUILD)

# Installs the program, sensor-sim, their data, the menu entry and the icon under PREFIX
# (default: the configured /usr/local); PREFIX=~/.local needs no root. DESTDIR is honoured.
PREFIX ?=
install: build
	cmake --install $(BUILD) $(if $(PREFIX),--prefix $(PREFIX))

# A Debian package in the build directory: $(BUILD)/tavrin-zurid_<version>_<arch>.deb.
package: build
	cmake --build $(BUILD) --target package

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

check-format:
	./scripts/check-format

clean:
	rm -rf $(BUILD)

# Address, undefined-behaviour and leak sanitizers over the whole test suite, in a build of its
# own. Leaks that belong to Qt and the libraries below it are listed in tests/sanitizers/lsan.supp.
# (No strict_string_checks: libxkbcommon-x11 strndup()s unterminated X replies, legitimately.)
SANITIZE_BUILD ?= build-sanitize
# Two tests at a time: under the sanitizers each needs several times its normal CPU and memory.
SANITIZE_TEST_JOBS ?= 2
SANITIZE_FLAGS = -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer

.PHONY: test-sanitize fuzz fuzz-deps

$(SANITIZE_BUILD)/CMakeCache.txt: | $(DEPS_STAMP)
	cmake -S . -B $(SANITIZE_BUILD) $(CMAKE_FLAGS) -DZURID_BENCH=OFF \
	  "-DCMAKE_CXX_FLAGS=$(SANITIZE_FLAGS)" \
	  "-DCMAKE_EXE_LINKER_FLAGS=$(SANITIZE_FLAGS)"

test-sanitize: $(SANITIZE_BUILD)/CMakeCache.txt
	cmake --build $(SANITIZE_BUILD) -j$(JOBS)
	cd $(SANITIZE_BUILD) && QT_QPA_PLATFORM=offscreen \
	  ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:detect_stack_use_after_return=1 \
	  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  LSAN_OPTIONS=suppressions=$(CURDIR)/tests/sanitizers/lsan.supp:print_suppressions=0 \
	  ctest --output-on-failure -j$(SANITIZE_TEST_JOBS)

# libFuzzer targets (clang), each run for FUZZ_SECONDS on a copy of its committed seed corpus.
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60

fuzz-deps:
	./scripts/install-fuzz-deps

fuzz: $(DEPS_STAMP) fuzz-deps
	cmake -S . -B $(FUZZ_BUILD) $(CMAKE_FLAGS) -DZURID_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++ \
	  -DBUILD_TESTING=OFF -DCMAKE_PROJECT_INCLUDE=$(CURDIR)/fuzz/hook.cmake
	cmake --build $(FUZZ_BUILD) -j$(JOBS) --target fuzz-targets
	./fuzz/run $(FUZZ_BUILD) $(FUZZ_SECONDS)
