// Solving for the potential of barnase (1730 atoms) on a 65^3 grid at
// 1 A: pdie 2, sdie 78, 150 mM, ion-exclusion radius 2, a Debye-Hueckel
// sphere per atom on the boundary, as the elec command sets it up. Each
// solve starts from phi = 0 with the assembled constant vector.
//
// Besides whole solves: the matrix product and the two preconditioners
// alone, beside two floors: one pass streaming the arrays the product
// touches (memory traffic), and the bare first-order recurrence that each
// triangular sweep of the incomplete Cholesky preconditioner must follow
// (dependency latency; two sweeps per application).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "command/mainloop.hpp"
#include "command/readers.hpp"
#include "command/tokens.hpp"
#include "elec/elec.hpp"
#include "pqr.hpp"

namespace {

struct Setup {
    std::istringstream in;
    std::ostringstream out, err;
    std::unique_ptr<kova::Kova> kp;
    kova::Kova* k = nullptr;
    std::vector<float> b;  // the assembled constant vector
    bool ok = false;

    explicit Setup(bool full) {
        in.str(std::string("elec mol1 cent grid 1.0 dime 65 65 65 pdie 2 sdie 78\n"
                           "ions 150 rion 2.0 bcfl 2 ") +
               (full ? "full " : "") + "setu end\n");
        kp = std::make_unique<kova::Kova>(in, out, err);
        k = kp.get();
        if (kova::bench::load_pqr(k->mol, kova::bench::barnase_pqr()) == 0) return;
        k->flags.bomb = 5;
        kova::getlin(*k, 5, "Main");
        kova::gettok(*k);
        try {
            kova::eledrv(*k);
        } catch (const kova::RunEnd&) {
            std::fputs(out.str().c_str(), stderr);
            return;
        }
        b = k->mess.rhs;
        ok = true;
    }

    // The system as assembled, the potential at its start.
    void reset() {
        kova::GridStore& g = k->mess;
        std::copy(b.begin(), b.begin() + g.nxyz + 1, g.rhs.begin());
        std::fill(g.phi.begin(), g.phi.begin() + g.nxyz + 1, 0.0f);
    }
};

// range(0): preconditioner (solv 0 diagonal scaling, 1 incomplete Cholesky);
// range(1): 1 for the full nonlinear equation.
void BM_SolveBarnase(benchmark::State& st) {
    Setup s(st.range(1) == 1);
    if (!s.ok) {
        st.SkipWithError("tests/data/pqr/barnase.pqr not found");
        return;
    }
    kova::GridStore& g = s.k->mess;
    g.solv = static_cast<int>(st.range(0));
    g.maxits = 1000;  // run to convergence whatever the preconditioner
    for (auto _ : st) {
        st.PauseTiming();
        s.reset();
        st.ResumeTiming();
        kova::potent(*s.k);
        benchmark::DoNotOptimize(g.phi.data());
    }
    st.counters["iters"] = g.iters;
    st.counters["rnorm/bnorm"] = g.rnorm / g.bnorm;
}
BENCHMARK(BM_SolveBarnase)
    ->ArgsProduct({{0, 1}, {0}})
    ->Args({1, 1})
    ->ArgNames({"solv", "full"})
    ->Unit(benchmark::kMillisecond);

// The full equation for 1A8O (644 atoms with its crystal waters, charges
// and radii from the parameter table) in 150 mM salt with no ion-exclusion
// layer, on a 65^3 grid at 1 A, pdie 2, sdie 78.54, bcfl 2, from phi = 0:
// the potentials at the atoms' surfaces are many kT, where the
// conjugate-gradient iteration hands over to Newton's method. Counters:
// iterations and the residual reached.
void BM_SolveNonlinear1a8o(benchmark::State& st) {
    namespace fs = std::filesystem;
    const fs::path pdb = fs::path(__FILE__).parent_path().parent_path() / "tests/data/pdb/1A8O.pdb";
    const fs::path dir = fs::temp_directory_path() / "kova_bench_1a8o";
    std::error_code ec;
    fs::create_directories(dir, ec);
    fs::copy_file(pdb, dir / "1A8O.pdb", fs::copy_options::overwrite_existing, ec);
    if (ec) {
        st.SkipWithError("tests/data/pdb/1A8O.pdb not found");
        return;
    }
    const fs::path back = fs::current_path();
    fs::current_path(dir);
    std::istringstream in("read mol 1 fpdb file 1A8O.pdb end\nset char radi end\n"
                          "elec mol1 cent grid 1.0 dime 65 65 65 pdie 2 sdie 78.54\n"
                          "ions 150 rion 0 bcfl 2 full setu end\n");
    std::ostringstream out, err;
    auto k = std::make_unique<kova::Kova>(in, out, err);
    k->flags.bomb = 5;
    try {
        for (int c = 0; c < 3; ++c) kova::dispatch(*k, kova::getnam(*k, 5, "Main"));
    } catch (const kova::RunEnd&) {
        std::fputs(out.str().c_str(), stderr);
    }
    fs::current_path(back);
    fs::remove_all(dir, ec);
    kova::GridStore& g = k->mess;
    if (k->mol.natom != 644 || g.nonl != -1) {
        st.SkipWithError("1A8O not set up");
        return;
    }
    const std::vector<float> b = g.rhs;
    for (auto _ : st) {
        st.PauseTiming();
        std::copy(b.begin(), b.begin() + g.nxyz + 1, g.rhs.begin());
        std::fill(g.phi.begin(), g.phi.begin() + g.nxyz + 1, 0.0f);
        st.ResumeTiming();
        kova::potent(*k);
        benchmark::DoNotOptimize(g.phi.data());
    }
    st.counters["iters"] = g.iters;
    st.counters["rnorm/bnorm"] = g.rnorm / g.bnorm;
}
BENCHMARK(BM_SolveNonlinear1a8o)->Unit(benchmark::kMillisecond);

// The whole linearised calculation as a deck asks for it: barnase on a 65^3
// grid at 1.0 A with the probe surface (1.4 A), pdie 2, sdie 78, 150 mM,
// bcfl 2, incomplete Cholesky, conv 1e-6, from phi = 0. Counters: set-up
// seconds (maps, charges, boundary), solve seconds, iterations, seconds per
// iteration, and that against one pass streaming the nine arrays the solver
// keeps (reading eight, writing two), timed in the same run.
void BM_BarnaseCalculation(benchmark::State& st) {
    using clock = std::chrono::steady_clock;
    double setup = 0, solve = 0, stream = 1e30;
    int iters = 0, runs = 0;
    for (auto _ : st) {
        st.PauseTiming();
        std::istringstream in("elec mol1 cent grid 1.0 dime 65 65 65 nmap 1.4 pdie 2 sdie 78\n"
                              "ions 150 rion 2.0 bcfl 2 solv 1 conv 1.0e-6 setu end\n");
        std::ostringstream out, err;
        auto k = std::make_unique<kova::Kova>(in, out, err);
        if (kova::bench::load_pqr(k->mol, kova::bench::barnase_pqr()) == 0) {
            st.SkipWithError("tests/data/pqr/barnase.pqr not found");
            return;
        }
        k->flags.bomb = 5;
        kova::getlin(*k, 5, "Main");
        kova::gettok(*k);
        st.ResumeTiming();
        const auto t0 = clock::now();
        kova::eledrv(*k);  // set-up only
        const auto t1 = clock::now();
        kova::potent(*k);
        const auto t2 = clock::now();
        st.PauseTiming();
        setup += std::chrono::duration<double>(t1 - t0).count();
        solve += std::chrono::duration<double>(t2 - t1).count();
        iters = k->mess.iters;
        ++runs;
        // One streaming pass over the solver's arrays, best of three.
        kova::GridStore& g = k->mess;
        const int n = g.nxyz;
        for (int rep = 0; rep < 3; ++rep) {
            const auto s0 = clock::now();
            float* __restrict phi = g.phi.data();
            float* __restrict w = g.work.data();
            const float *r = g.rhs.data(), *p = g.pvec.data(), *pr = g.prec.data(), *d = g.diagm.data(),
                        *a = g.epsi.data(), *b = g.epsj.data(), *c = g.epsk.data();
            for (int l = 1; l <= n; ++l) {
                const float v = r[l] + p[l] * pr[l] + d[l] * (a[l] + b[l] + c[l]) + phi[l];
                w[l] = v;
                phi[l] = v * 0.5f;
            }
            benchmark::DoNotOptimize(w);
            benchmark::ClobberMemory();
            stream = std::min(stream, std::chrono::duration<double>(clock::now() - s0).count());
        }
        st.ResumeTiming();
    }
    if (runs == 0) return;
    const double per_iter = solve / runs / std::max(iters, 1);
    st.counters["setup_s"] = setup / runs;
    st.counters["solve_s"] = solve / runs;
    st.counters["total_s"] = (setup + solve) / runs;
    st.counters["iters"] = iters;
    st.counters["s_per_iter"] = per_iter;
    st.counters["stream_s"] = stream;
    st.counters["iter_over_stream"] = per_iter / stream;
}
BENCHMARK(BM_BarnaseCalculation)->Unit(benchmark::kMillisecond)->Iterations(5);

// One product work = A pvec.
void BM_Gqact(benchmark::State& st) {
    Setup s(false);
    kova::GridStore& g = s.k->mess;
    std::fill(g.pvec.begin(), g.pvec.end(), 1.0f);
    for (auto _ : st) {
        kova::gqact(g);
        benchmark::DoNotOptimize(g.work.data());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_Gqact)->Unit(benchmark::kMicrosecond);

// One application of a preconditioner; range(0) as solv.
void BM_Precondition(benchmark::State& st) {
    Setup s(false);
    kova::GridStore& g = s.k->mess;
    s.reset();
    if (st.range(0) == 0) kova::indiag(g);
    else kova::iniccg(g);
    for (auto _ : st) {
        if (st.range(0) == 0) kova::pcdiag(g);
        else kova::pciccg(g);
        benchmark::DoNotOptimize(g.work.data());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_Precondition)->Arg(0)->Arg(1)->ArgName("solv")->Unit(benchmark::kMicrosecond);

// Memory floor of the product: read five maps, write one.
void BM_ProductStreamFloor(benchmark::State& st) {
    Setup s(false);
    kova::GridStore& g = s.k->mess;
    const int n = g.nxyz;
    const float *p = g.pvec.data(), *d = g.diagm.data(), *a = g.epsi.data(), *b = g.epsj.data(), *c = g.epsk.data();
    float* w = g.work.data();
    for (auto _ : st) {
        for (int l = 1; l <= n; ++l) w[l] = d[l] * p[l] - a[l] - b[l] - c[l];
        benchmark::DoNotOptimize(w);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_ProductStreamFloor)->Unit(benchmark::kMicrosecond);

// Latency floor of one triangular sweep: the bare first-order recurrence
// y(l) = r(l) + e(l) y(l-1), one product and one sum on the chain per
// point, which a sweep cannot beat.
void BM_SweepRecurrenceFloor(benchmark::State& st) {
    Setup s(false);
    kova::GridStore& g = s.k->mess;
    s.reset();
    const int n = g.nxyz;
    const float *r = g.rhs.data(), *e = g.epsi.data();
    float* y = g.work.data();
    for (auto _ : st) {
        float prev = 0.0f;
        for (int l = 1; l <= n; ++l) {
            prev = r[l] + e[l] * prev;
            y[l] = prev;
        }
        benchmark::DoNotOptimize(y);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_SweepRecurrenceFloor)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
