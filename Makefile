# kova: top-level commands. A newcomer needs two: `make example` and `make test`.
JOBS ?= 2
RELEASE := build/release
CHECK := build/check

.PHONY: all deps build check-build example test test-release test-check bench regen clean

all: build

# Debian packages the build and the tests need (present on a fresh machine of
# this kind; installed here when missing).
deps:
	@missing=""; \
	command -v cmake >/dev/null || missing="$$missing cmake"; \
	command -v ninja >/dev/null || missing="$$missing ninja-build"; \
	command -v g++ >/dev/null || missing="$$missing g++"; \
	command -v gfortran >/dev/null || missing="$$missing gfortran"; \
	[ -f /usr/include/gtest/gtest.h ] || missing="$$missing libgtest-dev libgmock-dev"; \
	[ -f /usr/include/benchmark/benchmark.h ] || missing="$$missing libbenchmark-dev"; \
	command -v python3 >/dev/null || missing="$$missing python3"; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi

build: deps
	@cmake --preset release >/dev/null
	cmake --build --preset release -j$(JOBS)

check-build: deps
	@cmake --preset check >/dev/null
	cmake --build --preset check -j$(JOBS)

# Runs the main example deck (the electrostatic solvation energy of
# barnase) in a scratch copy of examples/. Builds the program only, not the
# tests and benchmarks.
example: deps
	@cmake --preset release >/dev/null
	cmake --build --preset release -j$(JOBS) --target kova
	@rm -rf build/example && mkdir -p build/example && cp -r examples/. build/example/
	cd build/example && ../release/kova < barnase.inp

# Every test, under AddressSanitizer+UBSan and in the optimised build.
test: test-check test-release

test-check: check-build
	ctest --preset check -j$(JOBS)

test-release: build
	ctest --preset release -j$(JOBS)

bench: build
	bash bench/run.sh

# Rewrites expected deck listings from the release build: review with git diff.
regen: build
	bash tests/decks/regen.sh $(DECKS)

clean:
	rm -rf build
