# Entry points: `make` builds, `make test` runs the suite, `make demo` packs and runs the demo.
# Each installs missing Debian packages first (scripts/install-deps).

BUILD      ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all deps configure test demo screenshots clean

all: configure
	cmake --build $(BUILD) -j $(JOBS)

deps:
	@scripts/install-deps

configure: deps
	@test -f $(BUILD)/CMakeCache.txt || cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE)

test: all
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

demo: all
	scripts/demo $(BUILD)

screenshots: all
	scripts/screenshots $(BUILD)

clean:
	rm -rf $(BUILD)
