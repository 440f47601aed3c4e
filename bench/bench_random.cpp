// Random numbers: uniform and Gaussian draws per second, from the run's
// stream (with its seeded check) and from a stream held as a value.
#include <benchmark/benchmark.h>

#include <memory>
#include <random>
#include <sstream>
#include <vector>

#include "bd/random.hpp"
#include "command/mainloop.hpp"

namespace {

struct Run {
    std::istringstream in;
    std::ostringstream out, err;
    std::unique_ptr<kova::Kova> k = std::make_unique<kova::Kova>(in, out, err);
    Run() { kova::inidef(*k); }
};

void BM_Rnd1(benchmark::State& st) {
    Run r;
    for (auto _ : st) benchmark::DoNotOptimize(kova::rnd1(*r.k));
    st.SetItemsProcessed(st.iterations());
}
BENCHMARK(BM_Rnd1);

void BM_Rndgau(benchmark::State& st) {
    Run r;
    for (auto _ : st) benchmark::DoNotOptimize(kova::rndgau(*r.k));
    st.SetItemsProcessed(st.iterations());
}
BENCHMARK(BM_Rndgau);

// A stream of its own (as a trajectory would hold), drawn inline.
void BM_UniformValue(benchmark::State& st) {
    kova::RandomState s(2193, 3283);
    for (auto _ : st) benchmark::DoNotOptimize(s.uniform());
    st.SetItemsProcessed(st.iterations());
}
BENCHMARK(BM_UniformValue);

void BM_GaussianValue(benchmark::State& st) {
    kova::RandomState s(2193, 3283);
    kova::GaussTable g;
    kova::gauss(g);
    for (auto _ : st) benchmark::DoNotOptimize(s.gaussian(g));
    st.SetItemsProcessed(st.iterations());
}
BENCHMARK(BM_GaussianValue);

// Peers on the same machine: the standard library's Mersenne twister and
// its normal distribution.
void BM_PeerMt19937Uniform(benchmark::State& st) {
    std::mt19937 g(2193);
    std::uniform_real_distribution<float> d(0.0f, 1.0f);
    for (auto _ : st) benchmark::DoNotOptimize(d(g));
    st.SetItemsProcessed(st.iterations());
}
BENCHMARK(BM_PeerMt19937Uniform);

void BM_PeerMt19937Normal(benchmark::State& st) {
    std::mt19937 g(2193);
    std::normal_distribution<float> d;
    for (auto _ : st) benchmark::DoNotOptimize(d(g));
    st.SetItemsProcessed(st.iterations());
}
BENCHMARK(BM_PeerMt19937Normal);

// The random displacements of a Brownian step: 3N deviates times sqrt(2 dt),
// here for 40 subunits.
void BM_Rndvec120(benchmark::State& st) {
    Run r;
    std::vector<float> g(120);
    for (auto _ : st) {
        kova::rndvec(*r.k, g, 0.0447f);
        benchmark::ClobberMemory();
    }
    st.SetItemsProcessed(st.iterations() * 120);
}
BENCHMARK(BM_Rndvec120);

// Seeding both states and building the table.
void BM_Rndini(benchmark::State& st) {
    Run r;
    for (auto _ : st) {
        kova::rndini(*r.k);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_Rndini);

}  // namespace

BENCHMARK_MAIN();
