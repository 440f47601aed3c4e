// One full force-field evaluation (forces) on 5000 atoms: 1000 five-atom
// molecules (4000 bonds, 3000 angles, 2000 dihedrals, 1000 impropers) and
// the non-bonded pair term, in evaluations per second; and the pair term's
// time per pair beside a bare loop over the same pairs computing the same
// Lennard-Jones and Coulomb energies and forces.
//
// The pair list holds at most 20000 pairs, so 5000 atoms (12.5 million
// pairs) cannot be evaluated without a cut-off: a list built with no cut-off
// ends the run. The no-cut-off case is therefore the full list of 20000
// pairs (as 200 atoms with every pair would give it) with the bonded terms
// of all 5000 atoms; the 12 A case is the list maknbl builds at 12 A with
// the molecules on a 14 A lattice.
#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>
#include <random>
#include <sstream>
#include <vector>

#include "command/kova.hpp"
#include "mech/mech.hpp"
#include "mech_lattice.hpp"

namespace {

using kova_bench::natom;
using kova_bench::nmolec;
// Molecule spacing of the 12 A case: the pairs it finds fit the list.
constexpr float lattice12 = 14.0f;

struct Sys {
    std::istringstream in;
    std::ostringstream out, err;
    std::unique_ptr<kova::Kova> k;
    explicit Sys(float lattice) : k(std::make_unique<kova::Kova>(in, out, err)) {
        kova_bench::build_lattice(*k, lattice);
        kova::ForceField& ff = k->ff;
        kova::EvalState& ev = ff.ev;
        ev.lbnd = ev.lang = ev.ldih = ev.limp = ev.lvdw = ev.leel = true;
        ev.ldbf = ev.lqe = false;
        ev.istep = 1;
    }
    // The full list: every pair of the first 200 atoms (19900) and 100 more
    // between later molecules.
    void full_list() {
        kova::Topology& t = k->ff.top;
        t.npair = 0;
        auto add = [&](int i, int j) {
            const int n = ++t.npair;
            t.ipr[n] = i, t.jpr[n] = j, t.prsig[n] = 3.4f, t.preps[n] = 0.1f, t.prqq[n] = 0.06f;
        };
        for (int i = 1; i <= 200; ++i)
            for (int j = i + 1; j <= 200; ++j) add(i, j);
        for (int i = 1; i <= 100; ++i) add(200 + i, 300 + i);
    }
};

void BM_forces(benchmark::State& state) {
    const bool cut = state.range(0) != 0;
    Sys s(lattice12);
    if (cut) {
        kova::maknbl(*s.k, 12.0f, 0);
        s.out.str("");
    } else {
        s.full_list();
    }
    for (auto _ : state) {
        kova::forces(*s.k);
        benchmark::DoNotOptimize(s.k->ff.e[kova::etot]);
    }
    state.counters["pairs"] = s.k->ff.top.npair;
    state.counters["evaluations/s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
    state.SetLabel(cut ? "12 A" : "no cut-off (list full)");
}
BENCHMARK(BM_forces)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// The pair term alone over the full list, per pair.
void BM_pair_term(benchmark::State& state) {
    Sys s(11.0f);
    s.full_list();
    kova::EvalState& ev = s.k->ff.ev;
    ev.lbnd = ev.lang = ev.ldih = ev.limp = false;
    for (auto _ : state) {
        kova::forces(*s.k);
        benchmark::DoNotOptimize(s.k->ff.e[kova::etot]);
    }
    state.counters["s/pair"] = benchmark::Counter(double(s.k->ff.top.npair) * double(state.iterations()),
                                                  benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_pair_term)->Unit(benchmark::kMicrosecond);

// The floor: the same pairs, energies and forces of the same formulas in a
// plain loop (no per-pair bookkeeping of molecules, no scaling).
void BM_pair_bare(benchmark::State& state) {
    Sys s(11.0f);
    s.full_list();
    const kova::Topology& t = s.k->ff.top;
    const kova::ForceField& ff = s.k->ff;
    std::vector<double> f(3 * (natom + 1), 0.0);
    for (auto _ : state) {
        std::fill(f.begin(), f.end(), 0.0);
        double ev = 0, ee = 0;
        for (int n = 1; n <= t.npair; ++n) {
            const int i = t.ipr[n], j = t.jpr[n];
            const double dx = ff.xd[i] - ff.xd[j], dy = ff.yd[i] - ff.yd[j], dz = ff.zd[i] - ff.zd[j];
            const double r2 = dx * dx + dy * dy + dz * dz, r = std::sqrt(r2);
            const double s2 = double(t.prsig[n]) * t.prsig[n] / r2, s6 = s2 * s2 * s2;
            const double lj = 4.0 * t.preps[n] * (s6 * s6 - s6);
            const double qq = 332.054 * t.prqq[n] / r;
            ev += lj, ee += qq;
            const double g = (24.0 * t.preps[n] * (2.0 * s6 * s6 - s6) + qq) / r2;
            f[size_t(3 * i)] += g * dx, f[size_t(3 * i + 1)] += g * dy, f[size_t(3 * i + 2)] += g * dz;
            f[size_t(3 * j)] -= g * dx, f[size_t(3 * j + 1)] -= g * dy, f[size_t(3 * j + 2)] -= g * dz;
        }
        benchmark::DoNotOptimize(ev);
        benchmark::DoNotOptimize(ee);
        benchmark::DoNotOptimize(f.data());
    }
    state.counters["s/pair"] = benchmark::Counter(double(t.npair) * double(state.iterations()),
                                                  benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_pair_bare)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
