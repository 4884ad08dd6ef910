# The front door: `make run` and `make test` install what is missing, build and go.
# Builds started below print no "Entering directory" lines of their own.
MAKEFLAGS += --no-print-directory
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
DEPS := scripts/install-deps.sh
PREFIX ?= /usr/local
DESTDIR ?=

.PHONY: run build program test test-release test-asan test-tsan windows bench install package \
	format deps clean

# The program alone: its own packages, no test or benchmark framework.
run: program
	./build/program/tonarium

program:
	@$(DEPS) build
	cmake --preset program >/dev/null
	cmake --build --preset program -j $(JOBS)

build: program

test:
	@$(DEPS) build test windows
	scripts/test.sh

# tonarium.exe for 32-bit and 64-bit Windows, cross-compiled with mingw-w64:
# build/windows-i686/tonarium.exe and build/windows-x64/tonarium.exe.
windows:
	@$(DEPS) build windows
	scripts/wine-test.sh --build-only

bench:
	@$(DEPS) build bench
	cmake --preset release >/dev/null
	cmake --build --preset release -j $(JOBS)
	scripts/bench.sh

# The program and its manual page under $(PREFIX) (default /usr/local), below $(DESTDIR).
install:
	@$(DEPS) build
	cmake --preset program -DCMAKE_INSTALL_PREFIX=$(PREFIX) >/dev/null
	cmake --build --preset program -j $(JOBS)
	DESTDIR=$(DESTDIR) cmake --install build/program

# A Debian package of the same files, in build/program.
package:
	@$(DEPS) build package
	cmake --preset program >/dev/null
	cmake --build --preset program -j $(JOBS)
	cd build/program && cpack -G DEB

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf build
