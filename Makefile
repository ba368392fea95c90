# The everyday commands:
#   make run    build and start the reference device with its defaults
#   make gateway  build and start recnet-gateway for the device of `make run`
#   make test   build and run every test, plain, under ASan+UBSan and under TSan,
#               then build everything as Release and run the unit tests from it
#   make test-fast  build the plain tree and run every test but the slow ones
#               (ctest label "slow": idle limits, long streams, formats)
# They expect scripts/deps.sh to have installed the build dependencies.

JOBS ?= $(shell nproc)
DEVICE_ARGS ?=
GATEWAY_ARGS ?= --device dev=127.0.0.1:5500

SANITIZER_ENV = ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

# Our own builds treat warnings as errors (RECNET_WERROR; off by default for
# anyone configuring by hand).
# $(call suite,DIR,SANITIZER): configure, build and run the whole suite in DIR.
define suite
	cmake -S . -B $(1) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRECNET_WERROR=ON -DRECNET_SANITIZE=$(2)
	cmake --build $(1) -j $(JOBS)
	$(SANITIZER_ENV) ctest --test-dir $(1) --output-on-failure -j $(JOBS)
endef

.PHONY: all build run gateway test test-fast test-plain test-asan test-tsan test-release fuzz clean

all: build

CONFIGURE = cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRECNET_WERROR=ON -DRECNET_SANITIZE=

build:
	$(CONFIGURE)
	cmake --build build -j $(JOBS)

# Only what it runs: a first start does not wait for the tests to compile.
run:
	$(CONFIGURE)
	cmake --build build -j $(JOBS) --target recnet-device netserver
	./build/recnet-device $(DEVICE_ARGS)

gateway:
	$(CONFIGURE)
	cmake --build build -j $(JOBS) --target recnet-gateway
	./build/recnet-gateway $(GATEWAY_ARGS)

test: test-plain test-asan test-tsan test-release

test-plain:
	$(call suite,build,)

# Everything but the tests labelled slow (tests/CMakeLists.txt), for the edit
# and test loop; make test and CI still run them all.
test-fast: build
	$(SANITIZER_ENV) ctest --test-dir build --output-on-failure -j $(JOBS) -LE slow

test-asan:
	$(call suite,build-asan,address)

test-tsan:
	$(call suite,build-tsan,thread)

# Release (-O3) optimises and warns differently from RelWithDebInfo: build
# everything, tests included, and run the fast unit tests, so that a warning or
# a miscompile seen only at -O3 is caught here rather than by a user.
test-release:
	cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DRECNET_WERROR=ON -DRECNET_SANITIZE=
	cmake --build build-release -j $(JOBS)
	./build-release/unit_tests --gtest_brief=1

# The libFuzzer targets of fuzz/ (clang), each for FUZZ_SECONDS over its seed
# corpus; fails when one finds a fault (see fuzz/README.md).
FUZZ_SECONDS ?= 30

fuzz:
	./scripts/fuzz.sh $(FUZZ_SECONDS)

clean:
	rm -rf build build-asan build-tsan build-release build-fuzz
