# The two everyday commands:
#   make run    build and start the reference device with its defaults
#   make test   build and run every test, plain, under ASan+UBSan and under TSan
# Both expect scripts/deps.sh to have installed the build dependencies.

JOBS ?= $(shell nproc)
DEVICE_ARGS ?=

SANITIZER_ENV = ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

# $(call suite,DIR,SANITIZER): configure, build and run the whole suite in DIR.
define suite
	cmake -S . -B $(1) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRECNET_SANITIZE=$(2)
	cmake --build $(1) -j $(JOBS)
	$(SANITIZER_ENV) ctest --test-dir $(1) --output-on-failure -j $(JOBS)
endef

.PHONY: all build run test test-plain test-asan test-tsan clean

all: build

build:
	cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRECNET_SANITIZE=
	cmake --build build -j $(JOBS)

run: build
	./build/recnet-device $(DEVICE_ARGS)

test: test-plain test-asan test-tsan

test-plain:
	$(call suite,build,)

test-asan:
	$(call suite,build-asan,address)

test-tsan:
	$(call suite,build-tsan,thread)

clean:
	rm -rf build build-asan build-tsan
