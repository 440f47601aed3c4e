// Mapping barnase (1730 atoms) onto a 65^3 grid at 1 A: dielectric maps,
// probe surface, ion exclusion, diagonal and charges (exclud + charge), as
// one elec set-up does after inigrd.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "elec/elec.hpp"
#include "pqr.hpp"

namespace {

struct Setup {
    std::istringstream in;
    std::ostringstream out, err;
    std::unique_ptr<kova::Kova> kp = std::make_unique<kova::Kova>(in, out, err);
    kova::Kova& k = *kp;
    bool ok = false;

    Setup() {
        kova::MoleculeStore& m = k.mol;
        if (kova::bench::load_pqr(m, kova::bench::barnase_pqr()) == 0) return;
        double cx = 0, cy = 0, cz = 0;
        for (int a = 1; a <= m.natom; ++a) {
            k.mess.isel[a] = 1;
            cx += m.x[a], cy += m.y[a], cz += m.z[a];
        }
        kova::GridStore& g = k.mess;
        g.nx = g.ny = g.nz = 65;
        g.update_counts();
        g.h = 1.0f;
        g.xo = static_cast<float>(cx / m.natom - 33.0);
        g.yo = static_cast<float>(cy / m.natom - 33.0);
        g.zo = static_cast<float>(cz / m.natom - 33.0);
        k.env.epsint = 2.0f * kova::eps0;
        k.env.epsout = 80.0f * kova::eps0;
        k.env.kappa = 0.126f;
        g.rion = 2.0f;
        g.rsolv = 1.4f;
        g.nsph = 200;
        ok = true;
    }

    // What inigrd and the boundary set-up leave before the mapping.
    void reset() {
        kova::GridStore& g = k.mess;
        const int n = g.nxyz;
        for (auto* v : {&g.epsi, &g.epsj, &g.epsk}) std::fill(v->begin() + 1, v->begin() + 1 + n, k.env.epsout);
        for (auto* v : {&g.work, &g.iacs, &g.diagm, &g.rhs}) std::fill(v->begin() + 1, v->begin() + 1 + n, 0.0f);
        for (int kk = 1; kk <= g.nz; ++kk)
            for (int j = 1; j <= g.ny; ++j)
                for (int i = 1; i <= g.nx; ++i) {
                    const int l = g.index(i, j, kk);
                    if (i == g.nx) g.epsi[l] = 0;
                    if (j == g.ny) g.epsj[l] = 0;
                    if (kk == g.nz) g.epsk[l] = 0;
                }
    }
};

// range(0): 1 probe surface (nmap 1.4, smoothing of the probe spheres),
// 0 van der Waals surface with smoothing.
void BM_MapBarnase(benchmark::State& st) {
    Setup s;
    if (!s.ok) {
        st.SkipWithError("tests/data/pqr/barnase.pqr not found");
        return;
    }
    kova::GridStore& g = s.k.mess;
    g.newmap = st.range(0) == 1;
    g.smprb = g.newmap;
    g.smvdw = !g.newmap;
    for (auto _ : st) {
        st.PauseTiming();
        s.reset();
        st.ResumeTiming();
        kova::exclud(s.k);
        kova::charge(s.k);
        benchmark::DoNotOptimize(g.diagm.data());
    }
    st.counters["dots"] = g.ndot;
    st.counters["atoms"] = s.k.mol.natom;
}
BENCHMARK(BM_MapBarnase)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);

// The probe-accessible surface alone.
void BM_SrsrfBarnase(benchmark::State& st) {
    Setup s;
    if (!s.ok) {
        st.SkipWithError("tests/data/pqr/barnase.pqr not found");
        return;
    }
    int n = 0;
    for (auto _ : st) {
        n = kova::srsrf(s.k, 200, 1.4f);
        benchmark::DoNotOptimize(n);
    }
    st.counters["dots"] = n;
}
BENCHMARK(BM_SrsrfBarnase)->Unit(benchmark::kMillisecond);

// Streaming floor: one pass writing the ten maps' worth of a 65^3 grid that
// the mapping touches (six owner maps, the scratch resets, iacs and the
// diagonal), to put the mapping time beside what memory traffic alone costs.
void BM_GridPassFloor(benchmark::State& st) {
    Setup s;
    kova::GridStore& g = s.k.mess;
    const int n = kova::maxgrid;
    for (auto _ : st) {
        for (auto& o : g.owner) std::fill(o.begin() + 1, o.begin() + 1 + n, 0);
        for (int axis = 0; axis < 3; ++axis) {
            std::fill(g.iacs.begin() + 1, g.iacs.begin() + 1 + n, 0.0f);
            std::fill(g.work.begin() + 1, g.work.begin() + 1 + n, 0.0f);
        }
        std::fill(g.iacs.begin() + 1, g.iacs.begin() + 1 + n, 0.0f);
        for (int l = 1; l <= n; ++l) g.diagm[l] += g.epsi[l] + g.epsj[l] + g.epsk[l];
        benchmark::DoNotOptimize(g.diagm.data());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_GridPassFloor)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
