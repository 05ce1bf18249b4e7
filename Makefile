# Convenience front to the CMake build.
#   make           build nexli, nexla (host), hubsim and the tests
#   make demo      build nexli and hubsim only, then run a short session
#                  against a virtual hub
#   make test      build, then run every test: the suite as built (the examples
#                  of the README and the guides among it), the AArch64 nexla
#                  under qemu, the suite again with AddressSanitizer and
#                  UndefinedBehaviorSanitizer, the tests of threads and signals
#                  with ThreadSanitizer, and a few seconds of each fuzz target
#   make check     build, then run the suite as built (the quick loop)
#   make deps      install the Debian packages the build needs (as root or sudo)
#   make aarch64   cross-build nexla for AArch64 into build-aarch64/
#   make sanitize  the suite with the sanitizers, in build-asan/
#   make tsan      the tests whose program runs threads or catches signals (the
#                  list is in tests/CMakeLists.txt) with ThreadSanitizer, in
#                  build-tsan/; any report fails them
#   make fuzz      build the fuzz targets with clang and run each briefly, in build-fuzz/
#   make valgrind  the end-to-end suite with nexli under valgrind's memcheck
#   make coverage  the suite as built, on a build with gcc's --coverage in
#                  build-coverage/, then the line and branch coverage of each
#                  file of src/ (an HTML report in build-coverage/coverage/)
#   make package   build the Debian package build/nexli_<version>_<arch>.deb

BUILD ?= build
BUILD_AARCH64 ?= build-aarch64
BUILD_ASAN ?= build-asan
BUILD_TSAN ?= build-tsan
BUILD_FUZZ ?= build-fuzz
BUILD_COVERAGE ?= build-coverage
JOBS ?= $(shell nproc)
# Tests wait on devices far more than they compute: run many at once.
TEST_JOBS ?= 12
# Seconds each fuzz target runs in `make fuzz` and `make test`.
FUZZ_SECONDS ?= 5

PACKAGES = cmake g++ make libgtest-dev
# The tests also run the AArch64 nexla under emulation...
TEST_PACKAGES = $(PACKAGES) g++-aarch64-linux-gnu qemu-user file
# ...check the manual pages, the completions of bash, zsh and fish, and the
# Debian package (with Debian's lintian)...
TEST_PACKAGES += man-db groff-base dpkg-dev bash-completion zsh fish lintian
# ...fuzz with clang's libFuzzer...
TEST_PACKAGES += clang libclang-rt-14-dev
# ...hold ports and lead sessions as other programs do (flock, setsid)...
TEST_PACKAGES += util-linux
# ...drive labgrid's power driver through nexli (in Debian's /usr/bin/python3)...
TEST_PACKAGES += python3-labgrid
# ...read the JSON of -J back with a real JSON reader (/usr/bin/python3's json)...
TEST_PACKAGES += python3
# ...serve a hub with Debian's pdudaemon, asked by curl, its systemd drop-in
# checked by systemd-analyze...
TEST_PACKAGES += pdudaemon curl systemd
# ...and run the examples of the README and the guides with cram, some of them
# through jq and Jinja2.
TEST_PACKAGES += python3-cram jq python3-jinja2

.PHONY: all deps test-deps aarch64 demo check test sanitize tsan fuzz valgrind coverage package clean

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

# The demo runs nexli and hubsim: it builds nothing else (no tests, no nexla).
demo: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j $(JOBS) --target nexli hubsim
	./scripts/demo $(BUILD)

check: all
	cd $(BUILD) && ctest -j $(TEST_JOBS) --output-on-failure

test: test-deps aarch64
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DNEXLA_AARCH64=$(CURDIR)/$(BUILD_AARCH64)/nexla
	cmake --build $(BUILD) -j $(JOBS)
	cd $(BUILD) && ctest -j $(TEST_JOBS) --output-on-failure
	$(MAKE) sanitize tsan fuzz

sanitize: deps
	cmake -S . -B $(BUILD_ASAN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNEXLI_SANITIZE=ON
	cmake --build $(BUILD_ASAN) -j $(JOBS)
	cd $(BUILD_ASAN) && ctest -j $(TEST_JOBS) --output-on-failure

# Dynamically linked (ThreadSanitizer cannot link statically); only what the
# chosen tests run is built.
tsan: deps
	cmake -S . -B $(BUILD_TSAN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNEXLI_TSAN=ON
	cmake --build $(BUILD_TSAN) -j $(JOBS) --target nexli nexla hubsim e2e_tests unit_tests_103
	cd $(BUILD_TSAN) && ctest -j $(TEST_JOBS) --output-on-failure

fuzz:
	@./scripts/install-deps cmake clang libclang-rt-14-dev
	CC=clang CXX=clang++ cmake -S . -B $(BUILD_FUZZ) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DNEXLI_FUZZ=ON -DNEXLI_FUZZ_SECONDS=$(FUZZ_SECONDS)
	cmake --build $(BUILD_FUZZ) -j $(JOBS)
	cd $(BUILD_FUZZ) && ctest --output-on-failure

valgrind: all
	@./scripts/install-deps valgrind
	cmake --build $(BUILD) --target valgrind

# Not optimised, so that each line counts for itself. The data files of
# earlier runs make way for empty ones that every user may write: a test that
# runs nexli as an ordinary user adds its counts too, where gcov would
# otherwise fail to open them and say so on that test's standard error. (A
# process that a signal ends writes nothing.) The package is left out: lintian
# rightly finds that a build without optimisation fortifies nothing.
coverage: test-deps
	@./scripts/install-deps gcovr
	cmake -S . -B $(BUILD_COVERAGE) -DCMAKE_BUILD_TYPE=Debug -DNEXLI_COVERAGE=ON
	cmake --build $(BUILD_COVERAGE) -j $(JOBS)
	find $(BUILD_COVERAGE) -name '*.gcda' -delete
	find $(BUILD_COVERAGE) -name '*.gcno' | sed 's/\.gcno$$/.gcda/' | xargs touch
	find $(BUILD_COVERAGE) -name '*.gcda' | xargs chmod a+rw
	cd $(BUILD_COVERAGE) && ctest -j $(TEST_JOBS) --output-on-failure -E '^packaging\.deb$$'
	./scripts/coverage-report $(BUILD_COVERAGE)

# dpkg-dev first: its dpkg-buildflags gives hubsim Debian's hardening flags.
package:
	@./scripts/install-deps dpkg-dev
	$(MAKE) all
	cd $(BUILD) && cpack -G DEB

clean:
	rm -rf $(BUILD) $(BUILD_AARCH64) $(BUILD_ASAN) $(BUILD_TSAN) $(BUILD_FUZZ) $(BUILD_COVERAGE)
