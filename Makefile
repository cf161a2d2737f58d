# Entry points: `make` builds, `make test` runs the suite, `make demo` packs and runs the demo,
# `make test-sanitize` runs the suite again built with AddressSanitizer and UndefinedBehaviorSanitizer.
# Each installs missing Debian packages first (scripts/install-deps).

BUILD      ?= build
BUILD_SANITIZE ?= build-sanitize
BUILD_TYPE ?= RelWithDebInfo
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all deps configure test test-sanitize demo screenshots clean

all: configure
	cmake --build $(BUILD) -j $(JOBS)

deps:
	@scripts/install-deps

configure: deps
	@test -f $(BUILD)/CMakeCache.txt || cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE)

test: all
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# A build of its own, so that the sanitized objects never mix with the plain ones.
test-sanitize: deps
	@test -f $(BUILD_SANITIZE)/CMakeCache.txt || \
	    cmake -S . -B $(BUILD_SANITIZE) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DSONARIS_SANITIZE=ON
	cmake --build $(BUILD_SANITIZE) -j $(JOBS)
	cd $(BUILD_SANITIZE) && ctest --output-on-failure -j $(JOBS)

demo: all
	scripts/demo $(BUILD)

screenshots: all
	scripts/screenshots $(BUILD)

clean:
	rm -rf $(BUILD) $(BUILD_SANITIZE)
