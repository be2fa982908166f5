# Front end for the CMake presets. `make run` serves the demo site; `make test` runs every test.
.PHONY: all build run test check fuzz bench format clean deps

all: build

deps:
	@scripts/install-deps

build: deps
	@cmake --preset default >/dev/null
	@cmake --build build

run: build
	@scripts/run-demo

# Fast inner loop: default build, unit and end-to-end tests, no sanitizers or fuzzing.
check: build
	@ctest --test-dir build --output-on-failure -j2

# Everything CI runs: default build, ASan+UBSan, TSan on the concurrency tests, fuzz smoke runs.
test: deps
	@scripts/test-all

fuzz: deps
	@scripts/fuzz-all $${FUZZ_SECONDS:-300}

bench: build
	@bench/run-all

format:
	@clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf build build-*
