#!/usr/bin/env bash
# Runs the benchmarks of the release build, and the Fortran run-time peer for
# the formatted grid record when gfortran is present.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=${BUILD:-$here/../build/release}
"$build/bench/bench_fortio" --benchmark_min_time=0.2
"$build/bench/bench_tokens" --benchmark_min_time=0.2
"$build/bench/bench_read" --benchmark_min_time=0.2
"$build/bench/bench_set" --benchmark_min_time=0.2
"$build/bench/bench_mapping" --benchmark_min_time=0.2
"$build/bench/bench_solver" --benchmark_min_time=0.2
"$build/bench/bench_gridfile" --benchmark_min_time=0.2
"$build/bench/bench_write" --benchmark_min_time=0.2
"$build/bench/bench_random" --benchmark_min_time=0.2
"$build/bench/bench_rxntst" --benchmark_min_time=0.2
"$build/bench/bench_bdstep" --benchmark_min_time=0.2
"$build/bench/bench_nblist" --benchmark_min_time=0.2
# The engine's simulations write their reaction-density files: run it in a
# scratch folder.
scratch=$(mktemp -d)
(cd "$scratch" && "$build/bench/bench_bdengine" --benchmark_min_time=0.5)
rm -rf "$scratch"
# Multigrid against incomplete Cholesky on grids of up to 161^3 points: the
# large-grid program (preset bigrid), built or brought up to date first.
(cd "$here/.." && cmake --preset bigrid >/dev/null && cmake --build --preset bigrid --target kova >/dev/null)
bash "$here/bench_mg.sh" "$here/../build/bigrid/kova"
if command -v gfortran >/dev/null; then
  tmp=$(mktemp -d)
  trap 'rm -rf "$tmp"' EXIT
  gfortran -O2 -o "$tmp/peer" "$here/peer_format.f90"
  "$tmp/peer"
fi
