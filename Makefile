# Front door: every target installs what is missing first, then drives CMake.
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo
# make install: where the program goes (DESTDIR, when given, is put before it).
PREFIX ?= /usr/local
# make deb: the release build the package is made from, in its own folder.
RELEASE_BUILD ?= build-release

.PHONY: all deps configure build run test test-sanitize bench clean windows test-windows install deb test-package

all: build

deps:
	@scripts/deps

# The build knows where it is installed: run from there, it works in the current folder.
configure: deps
	@cmake -S . -B $(BUILD) $(CMAKE_FLAGS) -DCMAKE_INSTALL_PREFIX="$(PREFIX)" >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

# Only the program: the test runner and the benchmarks are left for `make test`.
run: configure
	@cmake --build $(BUILD) -j $(JOBS) --target vantor
	$(BUILD)/vantor $(ARGS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

bench:
	@scripts/deps --bench
	@BUILD=$(BUILD) JOBS=$(JOBS) QUICK=$(QUICK) ONLY=$(ONLY) SETS="$(SETS)" PHONE_RUNS=$(PHONE_RUNS) VANTOR=$(VANTOR) \
	  bash bench/run.sh

test-sanitize:
	$(MAKE) test BUILD=build-sanitize CMAKE_FLAGS="-DCMAKE_BUILD_TYPE=Debug -DVANTOR_SANITIZE=ON"

# The program, its manual page, the README and the systemd unit under $(DESTDIR)$(PREFIX).
install: configure
	@cmake --build $(BUILD) -j $(JOBS) --target vantor
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)"

# vantor_<version>_<architecture>.deb in this folder, from a release build.
deb:
	@scripts/deps --package
	@cmake -S . -B $(RELEASE_BUILD) -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
	@cmake --build $(RELEASE_BUILD) -j $(JOBS) --target vantor
	@scripts/make-deb $(RELEASE_BUILD) .

# The package, unpacked into a scratch root: its files, dependencies and unit, and a conversion.
test-package: deb
	@scripts/test-package "$$(cat $(RELEASE_BUILD)/deb-path)"

# Windows: cross-built with MinGW-w64, tested under wine64.
WINDOWS_BUILD ?= build-windows

# Also vantor-<version>-win64.zip in $(WINDOWS_BUILD): the program and the README.
windows:
	@scripts/deps --windows
	@cmake -S . -B $(WINDOWS_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(WINDOWS_BUILD) -j $(JOBS)
	@cmake --build $(WINDOWS_BUILD) --target vantor_zip

# The Linux build is the reference the Windows conversions are compared with.
test-windows: windows build
	@scripts/test-windows $(WINDOWS_BUILD) $(BUILD)

clean:
	rm -rf build build-sanitize $(RELEASE_BUILD) $(WINDOWS_BUILD) vantor_*.deb
