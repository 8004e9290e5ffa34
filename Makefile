# Set-up, build, tests and the demo. Every target installs what is missing first.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: all deps configure build test run install package clean format

all: build

deps:
	./scripts/install-deps

configure: deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD) -j$(JOBS)

test: build
	cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure

run: build
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

clean:
	rm -rf $(BUILD)
