# Convenience front to the CMake build.
#   make         build nexli, nexla (host) and the tests
#   make demo    build, then run a short session against a virtual hub
#   make test    build, then run every test
#   make deps    install the Debian packages the build needs (as root or sudo)

BUILD ?= build
JOBS ?= $(shell nproc)
# Tests wait on devices far more than they compute: run many at once.
TEST_JOBS ?= 12

PACKAGES = cmake g++ make libgtest-dev

.PHONY: all deps demo test clean

all: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j $(JOBS)

deps:
	@./scripts/install-deps $(PACKAGES)

demo: all
	./scripts/demo $(BUILD)

test: all
	cd $(BUILD) && ctest -j $(TEST_JOBS) --output-on-failure

clean:
	rm -rf $(BUILD)
