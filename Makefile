# The front door: `make run` and `make test` install what is missing, build and go.
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
DEPS := scripts/install-deps.sh

.PHONY: run build test test-release test-asan test-tsan windows bench format deps clean

run: build
	./build/release/tonarium

build:
	@$(DEPS) build
	cmake --preset release >/dev/null
	cmake --build --preset release -j $(JOBS)

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

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf build
