# kova: top-level commands. A newcomer needs two: `make example` and `make test`.
JOBS ?= 2
RELEASE := build/release
CHECK := build/check

.PHONY: all deps build check-build example test test-release test-check test-bigrid bench regen clean

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
	@# Optional: the mmCIF reader (gemmi headers and the PEGTL parser they use)
	@# and the gemmi program, which converts a PDB file to mmCIF in a test.
	@optional=""; \
	[ -f /usr/include/gemmi/mmcif.hpp ] || optional="$$optional gemmi-dev"; \
	[ -f /usr/include/tao/pegtl.hpp ] || optional="$$optional tao-pegtl-dev"; \
	command -v gemmi >/dev/null || optional="$$optional gemmi"; \
	if [ -n "$$optional" ]; then \
	  echo "installing (optional):$$optional"; \
	  (apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$optional) || \
	    echo "optional packages not installed: read ... cif will not be available"; \
	fi
	@# Optional: Open MPI (Brownian-dynamics runs spread over processes, tested
	@# with 2 ranks) and GROMACS (builds topologies of real proteins for the
	@# converter in tools/).
	@optional=""; \
	command -v mpicxx >/dev/null || optional="$$optional libopenmpi-dev"; \
	command -v mpirun >/dev/null || optional="$$optional openmpi-bin"; \
	command -v gmx >/dev/null || optional="$$optional gromacs"; \
	if [ -n "$$optional" ]; then \
	  echo "installing (optional):$$optional"; \
	  (apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$optional) || \
	    echo "optional packages not installed: MPI runs or topology building will not be available"; \
	fi

build: deps
	@cmake --preset release >/dev/null
	cmake --build --preset release -j$(JOBS)

check-build: deps
	@cmake --preset check >/dev/null
	cmake --build --preset check -j$(JOBS)

# Runs the main examples in a scratch copy of examples/: the electrostatic
# solvation energy of barnase, then the Brownian-dynamics association of
# barstar with barnase (its rate constants in association.dat, plotted as
# association.png with gnuplot, installed here when missing and possible).
# Builds the program only, not the tests and benchmarks.
example: deps
	@cmake --preset release >/dev/null
	cmake --build --preset release -j$(JOBS) --target kova
	@rm -rf build/example && mkdir -p build/example && cp -r examples/. build/example/
	cd build/example && ../release/kova < barnase.inp
	@command -v gnuplot >/dev/null || (DEBIAN_FRONTEND=noninteractive apt-get install -y -qq gnuplot-nox >/dev/null 2>&1 || true)
	cd build/example && bash association.sh ../release/kova

# Every test, under AddressSanitizer+UBSan and in the optimised build, and
# the program built for grids of up to 161 points per axis on one deck. The
# large-grid program is built before the optimised build's tests, which
# start it beside the ordinary one under mpirun (a process built with other
# limits must stop every process).
test: test-check test-bigrid test-release

test-check: check-build
	ctest --preset check -j$(JOBS)

test-release: build
	ctest --preset release -j$(JOBS)

test-bigrid: deps
	@cmake --preset bigrid >/dev/null
	cmake --build --preset bigrid -j$(JOBS) --target kova
	bash tests/decks/run_deck.sh $(CURDIR)/build/bigrid/kova $(CURDIR)/tests/decks/elec_mg_bigrid/elec_mg_bigrid.inp

bench: build
	bash bench/run.sh

# Rewrites expected deck listings from the release build: review with git diff.
regen: build
	bash tests/decks/regen.sh $(DECKS)

clean:
	rm -rf build
