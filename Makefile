# The front door: `make run` and `make test` install what is missing, build and go.
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
DEPS := scripts/install-deps.sh

.PHONY: run build test test-release test-asan test-tsan bench format deps clean

run: build
	./build/release/tonarium

build:
	@$(DEPS) build
	cmake --preset release >/dev/null
	cmake --build --preset release -j $(JOBS)

test:
	@$(DEPS) build test
	scripts/test.sh

bench:
	@$(DEPS) build bench
	cmake --preset release >/dev/null
	cmake --build --preset release -j $(JOBS)
	scripts/bench.sh

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf build
