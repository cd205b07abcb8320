# Conventional entry points over CMake.
#   make            build the library, the commands and the tests (build/)
#   make check      build and run the whole suite, normal and sanitizer builds
#   make test       run the suite of the normal build only
#   make asan       build and run the suite under ASan+UBSan (build-asan/)
#   make install    install the commands, man pages, library, headers, CMake
#                   package and zu.pc under PREFIX (staged: DESTDIR=...)
#   make package    Debian packages zu and zu-dev (build/*.deb) through CPack
#   make bench      whole-process and codec benchmarks (see bench/README.md)
#   make fuzz       a short timed run of every fuzz target (clang, libFuzzer)
PREFIX ?= /usr/local
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
GEN := $(shell command -v ninja >/dev/null 2>&1 && echo "-G Ninja")
CTEST_FLAGS ?= --output-on-failure -j $(JOBS)

.PHONY: all build test check asan install package bench fuzz clean demo

all: build

build:
	cmake -S . -B build $(GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=$(PREFIX)
	cmake --build build -j $(JOBS)

test: build
	ctest --test-dir build $(CTEST_FLAGS)

asan:
	cmake -S . -B build-asan $(GEN) -DCMAKE_BUILD_TYPE=Debug -DZU_SANITIZE=ON
	cmake --build build-asan -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir build-asan $(CTEST_FLAGS)

check: test asan

# DESTDIR stages the tree for a packager: files go to $(DESTDIR)$(PREFIX), and
# what names the prefix (zu.pc) names $(PREFIX).
install: build
	DESTDIR="$(DESTDIR)" cmake --install build --prefix "$(PREFIX)"

package: build
	cd build && cpack

# Compress and restore a sample file of the repository in a scratch folder.
demo: build
	rm -rf build/demo && mkdir -p build/demo
	cp tests/data/alice29.txt build/demo/alice29.txt
	cd build/demo && ../zucomp alice29.txt && ls -l alice29.txt_ && ../zuuncomp alice29.txt_ \
	  && cmp alice29.txt ../../tests/data/alice29.txt && echo "round trip ok: alice29.txt"

bench:
	bash bench/run.sh

fuzz:
	bash fuzz/run.sh $(FUZZ_SECONDS)

clean:
	rm -rf build build-asan build-fuzz build-bench
