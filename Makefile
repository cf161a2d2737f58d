# Entry points: `make` builds, `make portable` builds the program images to ship (x86-64 and arm64),
# `make test` runs the suite, `make demo` packs and runs the demo,
# `make test-sanitize` runs the suite again built with AddressSanitizer and UndefinedBehaviorSanitizer,
# `make fuzz` runs the libFuzzer targets for FUZZ_SECONDS each, then the payload check against tar
# for FUZZ_SEQUENCES generated sequences of installations.
# Each installs missing Debian packages first (scripts/install-deps).

BUILD      ?= build
BUILD_SANITIZE ?= build-sanitize
BUILD_FUZZ ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_SEQUENCES ?= 2000
BUILD_TYPE ?= RelWithDebInfo
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all deps configure portable test test-sanitize fuzz demo screenshots clean

all: configure
	cmake --build $(BUILD) -j $(JOBS)

deps:
	@scripts/install-deps

configure: deps
	@test -f $(BUILD)/CMakeCache.txt || cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE)

# The program images built in minimal Debian 11 roots (needs root; see scripts/build-portable).
portable: configure
	cmake --build $(BUILD) --target portable

test: all portable
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# A build of its own, so that the sanitized objects never mix with the plain ones.
test-sanitize: deps
	@test -f $(BUILD_SANITIZE)/CMakeCache.txt || \
	    cmake -S . -B $(BUILD_SANITIZE) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DSONARIS_SANITIZE=ON
	cmake --build $(BUILD_SANITIZE) -j $(JOBS)
	cd $(BUILD_SANITIZE) && ctest --output-on-failure -j $(JOBS)

# clang's libFuzzer, in a build of its own; only the fuzz targets and what they use are built.
fuzz: configure
	@test -f $(BUILD_FUZZ)/CMakeCache.txt || CC=clang CXX=clang++ \
	    cmake -S . -B $(BUILD_FUZZ) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DSONARIS_FUZZ=ON -DBUILD_TESTING=OFF
	cmake --build $(BUILD_FUZZ) -j $(JOBS) --target trailer_fuzz packer_fuzz
	scripts/fuzz $(BUILD_FUZZ) $(FUZZ_SECONDS)
	cmake --build $(BUILD) -j $(JOBS) --target differential_test sonaris-installer
	cd $(BUILD) && SONARIS_DIFFERENTIAL_SEQUENCES=$(FUZZ_SEQUENCES) tests/differential_test

demo: all
	scripts/demo $(BUILD)

screenshots: all
	scripts/screenshots $(BUILD)

clean:
	rm -rf $(BUILD) $(BUILD_SANITIZE) $(BUILD_FUZZ)
