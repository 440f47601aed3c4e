// The per-step reaction test with 10 sites of 10 criteria each, 10^7 calls
// per case: the usual step far from the target (the first criterion of every
// site fails: 10 distances), the worst step (every criterion but the last of
// each site met: 100 distances), the gated mode (10 distances and one draw),
// and the same worst step recorded for the site-distance printout. Items are
// distances evaluated, so items per second compare with the arithmetic limit
// of a distance (3 loads per point, 8 flops and a square root).
#include <benchmark/benchmark.h>

#include <array>

#include "bd/random.hpp"
#include "bd/reaction.hpp"

namespace {

using kova::maxcrt;
using kova::maxsit;

constexpr int natom = 100;

struct Scene {
    std::array<float, natom + 1> ax{}, ay{}, az{};
    std::array<float, 11> sx{}, sy{}, sz{};
    kova::ReactionStore r;
    kova::RandomState rng{2193, 3283};

    // Site i, criterion j: atom 10*(i-1)+j against subunit j. With worst,
    // every criterion but the last is met.
    explicit Scene(bool worst) {
        kova::RandomState g(1234, 5678);
        for (int a = 1; a <= natom; ++a) ax[a] = 40 * g.uniform(), ay[a] = 40 * g.uniform(), az[a] = 40 * g.uniform();
        for (int s = 1; s <= 10; ++s) sx[s] = 200 + s, sy[s] = 200, sz[s] = 200;
        r.nsite = 10;
        for (int i = 1; i <= 10; ++i) {
            r.ncrit[i] = 10;
            for (int j = 1; j <= 10; ++j) {
                r.patom[i][j] = 10 * (i - 1) + j;
                r.psub[i][j] = j;
                r.pdist[i][j] = worst && j < 10 ? 1.0e6f : 5.0f;
            }
        }
    }
    kova::XyzView atoms() const { return {ax, ay, az}; }
    kova::XyzView sub() const { return {sx, sy, sz}; }
};

void run(benchmark::State& st, bool worst, bool zhou, bool traced) {
    Scene s(worst);
    kova::RxnTrace tr;
    for (auto _ : st) {
        benchmark::DoNotOptimize(kova::rxntst(s.r, s.atoms(), s.sub(), 0.001f, zhou, s.rng, traced ? &tr : nullptr));
        benchmark::ClobberMemory();
    }
    st.SetItemsProcessed(st.iterations() * (worst ? 100 : 10));
}

void BM_RxntstFar(benchmark::State& st) { run(st, false, false, false); }
void BM_RxntstWorst(benchmark::State& st) { run(st, true, false, false); }
void BM_RxntstGated(benchmark::State& st) { run(st, false, true, false); }
void BM_RxntstWorstTraced(benchmark::State& st) { run(st, true, false, true); }
BENCHMARK(BM_RxntstFar)->Iterations(10000000);
BENCHMARK(BM_RxntstWorst)->Iterations(10000000);
BENCHMARK(BM_RxntstGated)->Iterations(10000000);
BENCHMARK(BM_RxntstWorstTraced)->Iterations(10000000);

}  // namespace

BENCHMARK_MAIN();
