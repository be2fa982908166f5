# Front end for the CMake presets. `make run` serves the demo site; `make test` runs every test.
# Each command installs only the package lists it needs (see scripts/install-deps).
.PHONY: all configure build binary run test check fuzz bench deb format clean deps

all: build

deps:
	@scripts/install-deps run test

configure:
	@cmake --preset default >/dev/null

# The server alone: what `make run`, `make bench` and `make deb` build.
binary: configure
	@cmake --build build --target vantrel

# The server and every test binary.
build: deps
	@$(MAKE) --no-print-directory configure
	@cmake --build build

run:
	@scripts/install-deps run
	@scripts/run-demo --check-port
	@$(MAKE) --no-print-directory binary
	@scripts/run-demo

# Fast inner loop: default build, unit and end-to-end tests, no sanitizers or fuzzing.
# The package test (label "package") installs a package on this machine: `make test` runs it.
check: build
	@ctest --test-dir build --output-on-failure -j2 -LE package

# Everything CI runs: default build, ASan+UBSan, TSan on the concurrency tests, fuzz smoke runs,
# and the package test where dpkg-deb is there.
test: deps
	@scripts/test-all

fuzz: deps
	@scripts/fuzz-all $${FUZZ_SECONDS:-300}

bench:
	@scripts/install-deps run bench
	@$(MAKE) --no-print-directory binary
	@bench/run-all

# The Debian package, build/vantrel_VERSION_ARCH.deb (see packaging/).
deb:
	@scripts/install-deps run package
	@$(MAKE) --no-print-directory configure
	@cmake --build build --target vantrel vantrel_package_files
	@cd build && cpack --config CPackConfig.cmake

format:
	@clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf build build-*
