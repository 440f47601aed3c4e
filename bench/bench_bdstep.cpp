// The work of one Brownian-dynamics step for chains of 2 to 40 subunits:
// the full diffusion tensor (Oseen), its Cholesky factor and the correlated
// displacements, the drift product D*F, and the unit forces.
#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>
#include <vector>

#include "bd/forces.hpp"
#include "bd/hydro.hpp"

namespace {

std::unique_ptr<kova::MoleculeStore> chain(int n) {
    auto m = std::make_unique<kova::MoleculeStore>();
    kova::UnitStore& u = m->units;
    m->nsbtot = n;
    u.nunit = 1, u.ifsub[1] = 1, u.ilsub[1] = n, u.nsubu[1] = n;
    u.himod[1] = 1, u.hibc[1] = 0.75f;
    u.bndon[1] = u.angon[1] = 1, u.exvmod[1] = u.solmod[1] = 1;
    for (int i = 1; i <= n; ++i) {
        m->sbunit[i] = 1, m->sbtype[i] = 64, m->sbrad[i] = 1.9f, m->sbchg[i] = (i % 3) - 1.0f;
        u.eval[i] = 0.3f * 418.4f, u.rexv[i] = 6.0f, u.sval[i] = -0.5f * 418.4f, u.rsol[i] = 9.0f;
    }
    for (int b = 1; b < n; ++b) u.b0[1][b] = 3.8f, u.cb[1][b] = 80 * 418.4f, u.t0[1][b] = 1.7f, u.ct[1][b] = 80 * 418.4f;
    return m;
}

std::vector<float> helix(int n) {
    std::vector<float> p(3 * n);
    for (int i = 0; i < n; ++i) p[3 * i] = 2.3f * std::cos(1.75f * i), p[3 * i + 1] = 2.3f * std::sin(1.75f * i), p[3 * i + 2] = 1.5f * i;
    return p;
}

void BM_TensorFactorDraw(benchmark::State& st) {
    const int n = int(st.range(0));
    auto m = chain(n);
    const kova::HydroModel h = kova::hydro_model(*m, 0.185f, 18.0f);
    auto t = std::make_unique<kova::Tensor>();
    const std::vector<float> pos = helix(n);
    std::vector<float> out(3 * n);
    kova::RandomState rs(2193, 3283);
    kova::GaussTable g;
    kova::gauss(g);
    for (auto _ : st) {
        kova::iniqmt(h, *t);
        kova::calcq(h, pos, {}, *t);
        benchmark::DoNotOptimize(kova::cholesky(*t, 3 * n));
        kova::calcss(*t, 3 * n, rs, g, 0.1f, out);
        benchmark::DoNotOptimize(out.data());
    }
    st.SetItemsProcessed(st.iterations());
}
BENCHMARK(BM_TensorFactorDraw)->Arg(2)->Arg(10)->Arg(40);

void BM_UnitForces(benchmark::State& st) {
    const int n = int(st.range(0));
    auto m = chain(n);
    const std::vector<float> pos = helix(n);
    std::vector<float> f(3 * n);
    for (auto _ : st) {
        std::fill(f.begin(), f.end(), 0.0f);
        kova::ForceEnergies e;
        kova::felec(*m, 0.1f, 78 * 5.7277083e-7f, pos, f);
        benchmark::DoNotOptimize(kova::clcfrc(*m, 1, pos, f, e));
        benchmark::DoNotOptimize(f.data());
    }
    st.SetItemsProcessed(st.iterations());
}
BENCHMARK(BM_UnitForces)->Arg(10)->Arg(40);

}  // namespace

BENCHMARK_MAIN();
