// The non-bonded pair list on 5000 atoms: the atom-based list at 12 A
// (atoms on a 10 A lattice, so that the 15000 pairs found fit the list's
// 20000), beside a bare loop over the same candidate pairs computing their
// squared distances (the floor); and the list with no cut-off on the 200
// atoms whose 19900 pairs still fit. The grid interaction term on 5000
// atoms at 2.5 A spacing, 4784 of them on the grid and a 6 x 6 x 6 block of
// 216 real atoms in one corner: building the grid (0.5 A) and one
// evaluation of the real atoms on it.
#include <benchmark/benchmark.h>

#include <memory>
#include <sstream>

#include "command/kova.hpp"
#include "mech/mech.hpp"

namespace {

struct Sys {
    std::istringstream in;
    std::ostringstream out, err;
    std::unique_ptr<kova::Kova> k;
    // n atoms on a cubic lattice of the given spacing, one molecule, one
    // residue per atom, all live and real, carbon-like parameters.
    Sys(int n, float spacing) : k(std::make_unique<kova::Kova>(in, out, err)) {
        kova::MoleculeStore& m = k->mol;
        kova::ForceField& ff = k->ff;
        int side = 1;
        while (side * side * side < n) ++side;
        m.nmol = 1, m.fstatm[1] = 1, m.lstatm[1] = n, m.natom = n, m.natmd = n;
        for (int i = 1; i <= n; ++i) {
            const int a = (i - 1) % side, b = (i - 1) / side % side, c = (i - 1) / (side * side);
            m.x[i] = a * spacing, m.y[i] = b * spacing, m.z[i] = c * spacing;
            ff.xd[i] = m.x[i], ff.yd[i] = m.y[i], ff.zd[i] = m.z[i];
            m.chrg[i] = (i % 2 ? 0.2f : -0.2f), m.resnum[i] = i, m.live[i] = 1;
            ff.top.ireal[i] = 1;
            ff.top.ljpar[1][i] = -0.1f, ff.top.ljpar[2][i] = 1.9f;
        }
    }
};

void BM_nblist(benchmark::State& state) {
    const int n = int(state.range(0));
    const float cut = float(state.range(1));
    Sys s(n, n > 1000 ? 10.0f : 3.0f);
    for (auto _ : state) {
        kova::maknbl(*s.k, cut, 0);
        s.out.str("");
    }
    state.counters["pairs"] = s.k->ff.top.npair;
    state.counters["candidates/s"] =
        benchmark::Counter(double(n) * (n - 1) / 2 * double(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_nblist)->Args({5000, 12})->Args({200, 100000})->Unit(benchmark::kMillisecond);

// The floor: every candidate pair's squared distance against the cut-off.
void BM_pairscan_floor(benchmark::State& state) {
    const int n = 5000;
    Sys s(n, 10.0f);
    const double* x = &s.k->ff.xd[0];
    const double* y = &s.k->ff.yd[0];
    const double* z = &s.k->ff.zd[0];
    for (auto _ : state) {
        long in = 0;
        for (int i = 1; i < n; ++i)
            for (int j = i + 1; j <= n; ++j) {
                const double dx = x[i] - x[j], dy = y[i] - y[j], dz = z[i] - z[j];
                in += dx * dx + dy * dy + dz * dz < 144.0;
            }
        benchmark::DoNotOptimize(in);
    }
    state.counters["candidates/s"] =
        benchmark::Counter(double(n) * (n - 1) / 2 * double(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_pairscan_floor)->Unit(benchmark::kMillisecond);

// The last 216 atoms made real, the rest on the grid: a block in the
// lattice's corner.
std::unique_ptr<Sys> grid_system() {
    auto s = std::make_unique<Sys>(5000, 2.5f);
    kova::MoleculeStore& m = s->k->mol;
    for (int i = 1; i <= 5000; ++i)
        s->k->ff.top.ireal[i] = (m.x[i] < 14.0f && m.y[i] < 14.0f && m.z[i] < 14.0f) ? 1 : 0;
    s->k->ff.grid.gridsp = 0.5f;
    return s;
}

void BM_makgrid(benchmark::State& state) {
    auto s = grid_system();
    int real = 0;
    for (int i = 1; i <= 5000; ++i) real += s->k->ff.top.ireal[i];
    for (auto _ : state) {
        kova::InteractionGrid& g = s->k->ff.grid;
        g.gxmin = g.gymin = g.gzmin = 99999.0f;
        g.gxmax = g.gymax = g.gzmax = -99999.0f;
        benchmark::DoNotOptimize(kova::makgrid(*s->k, "none"));
        s->out.str("");
    }
    const kova::InteractionGrid& g = s->k->ff.grid;
    state.counters["real atoms"] = real;
    state.counters["points"] = double(g.ixg) * g.iyg * g.izg;
}
BENCHMARK(BM_makgrid)->Unit(benchmark::kMillisecond);

void BM_egrid(benchmark::State& state) {
    auto s = grid_system();
    kova::makgrid(*s->k, "none");
    for (auto _ : state) {
        kova::egrid(*s->k);
        benchmark::DoNotOptimize(s->k->ff.e[0]);
    }
}
BENCHMARK(BM_egrid)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
