# Convenience front to the CMake build.
#   make         build nexli, nexla (host) and the tests
#   make demo    build, then run a short session against a virtual hub
#   make test    build, then run every test
#   make deps    install the Debian packages the build needs (as root or sudo)
#   make aarch64 cross-build nexla for AArch64 into build-aarch64/
#   make package build the Debian package build/nexli_<version>_<arch>.deb

BUILD ?= build
BUILD_AARCH64 ?= build-aarch64
JOBS ?= $(shell nproc)
# Tests wait on devices far more than they compute: run many at once.
TEST_JOBS ?= 12

PACKAGES = cmake g++ make libgtest-dev
# The tests also run the AArch64 nexla under emulation.
TEST_PACKAGES = $(PACKAGES) g++-aarch64-linux-gnu qemu-user file
# ...and check the manual pages, the bash completion and the Debian package.
TEST_PACKAGES += man-db groff-base dpkg-dev bash-completion

.PHONY: all deps test-deps aarch64 demo test package clean

all: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j $(JOBS)

deps:
	@./scripts/install-deps $(PACKAGES)

test-deps:
	@./scripts/install-deps $(TEST_PACKAGES)

aarch64:
	cmake -S . -B $(BUILD_AARCH64) -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
	cmake --build $(BUILD_AARCH64) -j $(JOBS) --target nexla

demo: all
	./scripts/demo $(BUILD)

test: test-deps aarch64
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DNEXLA_AARCH64=$(CURDIR)/$(BUILD_AARCH64)/nexla
	cmake --build $(BUILD) -j $(JOBS)
	cd $(BUILD) && ctest -j $(TEST_JOBS) --output-on-failure

package: all
	@./scripts/install-deps dpkg-dev
	cd $(BUILD) && cpack -G DEB

clean:
	rm -rf $(BUILD) $(BUILD_AARCH64)
