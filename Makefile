# Front door: every target installs what is missing first, then drives CMake.
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: all deps build run test test-sanitize bench clean

all: build

deps:
	@scripts/deps

build: deps
	@cmake -S . -B $(BUILD) $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

run: build
	$(BUILD)/vantor $(ARGS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

bench: deps
	@BUILD=$(BUILD) JOBS=$(JOBS) QUICK=$(QUICK) bash bench/run.sh

test-sanitize:
	$(MAKE) test BUILD=build-sanitize CMAKE_FLAGS="-DCMAKE_BUILD_TYPE=Debug -DVANTOR_SANITIZE=ON"

clean:
	rm -rf build build-sanitize
