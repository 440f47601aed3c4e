// Brownian-dynamics steps per second on one core, each beside its floor
// measured in the same run:
// - one charged sphere in a solved 65**3 potential (floor: its three
//   Gaussian draws and one interpolation of the grid force);
// - a two-subunit unit (closed-form two-sphere tensor);
// - a 10-subunit chain with modified Oseen interactions (floor: the
//   Cholesky factor of its 30 by 30 tensor).
// A simulation of one long trajectory per iteration, stopped by its step
// limit, with no reaction and no escape.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "bd/bdrun.hpp"
#include "bd/engine.hpp"
#include "bd/forces.hpp"
#include "bd/hydro.hpp"
#include "command/mainloop.hpp"

namespace {

struct Run {
    std::istringstream in;
    std::ostringstream out, err;
    std::unique_ptr<kova::Kova> k;
    explicit Run(const std::string& deck) : in(deck), k(std::make_unique<kova::Kova>(in, out, err)) { kova::run_kova(*k); }
};

constexpr int steps = 20000;

std::unique_ptr<Run> setup(int subunits) {
    std::ofstream("bench_a.qcrd") << "atom 1 ion i 0 0 0 2 2.0\nend\n";
    {
        std::ofstream b("bench_b.qcrd");
        for (int i = 1; i <= subunits; ++i) b << "atom " << i << " ala ca " << 30 + 3.8 * i << " 0 0 " << (i % 2 ? -1 : 0) << " 1.9\n";
        b << "end\n";
    }
    std::string deck = "read mol 1 qcard file bench_a.qcrd end read mol 2 qcard file bench_b.qcrd end\n";
    deck += subunits == 1 ? "edit suni iflx 1 end\n" : "edit suni iflx 1 resn 1 " + std::to_string(subunits) + " end\n";
    deck += "edit funi iflx 1 hrid 1.9 mdos end\n";
    deck += "elec mol1 cent grid 1.5 dime 65 65 65 pdie 78 sdie 78 bcfl 1 calc end\n";
    auto r = std::make_unique<Run>(deck);
    kova::Kova& k = *r->k;
    kova::BdRun& b = k.bdrun;
    b.rad1 = 2.0f, b.beta = kova::bdbeta(k.env.temp), b.hifac = kova::bdhifac(k.env.temp, b.svis);
    b.nrun = 1, b.ntraj = 1, b.maxstp = steps, b.delt = 0.001f;
    b.bsurf = 30, b.qsurf = 1e6f, b.psurf = 0;
    b.rnst = false, b.rateon = false;
    b.sphere1 = subunits == 1, b.sphere2 = subunits == 2;
    return r;
}

void BM_Steps(benchmark::State& st) {
    auto r = setup(int(st.range(0)));
    for (auto _ : st) {
        benchmark::DoNotOptimize(kova::bd(*r->k, r->k->bdrun).steps);
        std::remove("kova_den.srf");  // every simulation writes its reaction-density file
    }
    st.SetItemsProcessed(st.iterations() * steps);
}
BENCHMARK(BM_Steps)->Arg(1)->Arg(2)->Arg(10)->Unit(benchmark::kMillisecond);

// The sphere's floor: three deviates and one grid force per step.
void BM_SphereFloor(benchmark::State& st) {
    auto r = setup(1);
    kova::Kova& k = *r->k;
    kova::RandomState& rs = k.rnd.raset1;
    float p[3] = {10.3f, -4.2f, 7.7f}, f[3];
    for (auto _ : st) {
        for (int s = 0; s < steps; ++s) {
            const float g0 = rs.gaussian(k.rnd.gtab), g1 = rs.gaussian(k.rnd.gtab), g2 = rs.gaussian(k.rnd.gtab);
            kova::grid_force(k.mess, k.mol, 0.0f, 78 * 5.7277083e-7f, -1.0f, p, f);
            p[0] += 1e-6f * (g0 + f[0]), p[1] += 1e-6f * (g1 + f[1]), p[2] += 1e-6f * (g2 + f[2]);
        }
        benchmark::DoNotOptimize(p);
    }
    st.SetItemsProcessed(st.iterations() * steps);
}
BENCHMARK(BM_SphereFloor)->Unit(benchmark::kMillisecond);

// The chain's floor: the Cholesky factor of its tensor, once per step.
void BM_ChainFloor(benchmark::State& st) {
    auto r = setup(10);
    kova::Kova& k = *r->k;
    const kova::HydroModel h = kova::hydro_model(k.mol, k.bdrun.hifac, k.bdrun.rad1);
    auto t = std::make_unique<kova::Tensor>();
    std::vector<float> pos(30);
    for (int i = 0; i < 10; ++i) pos[3 * i] = 3.8f * i, pos[3 * i + 1] = 0.3f * (i % 2);
    kova::iniqmt(h, *t);
    kova::calcq(h, pos, {}, *t);
    for (auto _ : st) {
        for (int s = 0; s < steps; ++s) benchmark::DoNotOptimize(kova::cholesky(*t, 30));
    }
    st.SetItemsProcessed(st.iterations() * steps);
}
BENCHMARK(BM_ChainFloor)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
