// Dynamics steps per second on 5000 atoms: 1000 five-atom molecules (4000
// bonds, 3000 angles, 2000 dihedrals, 1000 impropers) on a 14 A lattice with
// the pair list built at 12 A (the list holds at most 20000 pairs, so the
// molecules are spread out), relaxed by steepest descent and run through
// the md command at 300 K (leap-frog with weak coupling, and the stochastic
// integrator; reports every 100 steps), beside one forces evaluation alone
// so that the cost of the step itself shows.
#include <benchmark/benchmark.h>

#include <memory>
#include <random>
#include <sstream>
#include <string>

#include "bd/random.hpp"
#include "command/kova.hpp"
#include "command/mainloop.hpp"
#include "command/tokens.hpp"
#include "mech/mech.hpp"

namespace {

constexpr int nmolec = 1000, natom = 5 * nmolec;

struct Sys {
    std::istringstream in;
    std::ostringstream out, err;
    std::unique_ptr<kova::Kova> k;
    Sys() : k(std::make_unique<kova::Kova>(in, out, err)) {
        kova::MoleculeStore& m = k->mol;
        kova::ForceField& ff = k->ff;
        kova::Topology& t = ff.top;
        k->env.pdie = 1.0f;
        kova::rndini(*k);
        m.nmol = 1, m.fstatm[1] = 1, m.lstatm[1] = natom, m.natom = natom, m.natmd = natom;
        t.toprd[1] = true;
        std::mt19937 rng(5);
        std::uniform_real_distribution<double> u(-0.3, 0.3);
        const int side = 10;
        const double lattice = 14.0;
        // A zig-zag of five atoms 1.5 A apart, jittered.
        const double shape[5][3] = {{0, 0, 0}, {1.25, 0.8, 0}, {2.5, 0, 0.2}, {3.75, 0.8, 0.5}, {5.0, 0.1, 0.9}};
        for (int c = 0; c < nmolec; ++c) {
            const double o[3] = {lattice * (c % side), lattice * (c / side % side), lattice * (c / (side * side))};
            for (int a = 0; a < 5; ++a) {
                const int i = 5 * c + a + 1;
                ff.xd[i] = o[0] + shape[a][0] + u(rng);
                ff.yd[i] = o[1] + shape[a][1] + u(rng);
                ff.zd[i] = o[2] + shape[a][2] + u(rng);
                m.x[i] = float(ff.xd[i]), m.y[i] = float(ff.yd[i]), m.z[i] = float(ff.zd[i]);
                m.chrg[i] = a % 2 ? 0.3f : -0.2f, m.resnum[i] = c + 1, m.live[i] = 1, m.mass[i] = 12.0f;
                t.ireal[i] = 1;
                t.ljpar[1][i] = -0.1f, t.ljpar[2][i] = 1.9f;
            }
            const int b = 5 * c;
            for (int a = 1; a <= 4; ++a) {
                const int n = ++t.nbnd;
                t.ibnd[n] = b + a, t.jbnd[n] = b + a + 1, t.kbnd[n] = 600.0f, t.bnd0[n] = 1.5f;
            }
            for (int a = 1; a <= 3; ++a) {
                const int n = ++t.nang;
                t.iang[n] = b + a, t.jang[n] = b + a + 1, t.kang[n] = b + a + 2, t.kth[n] = 100.0f, t.th0[n] = 1.95f;
            }
            for (int a = 1; a <= 2; ++a) {
                const int n = ++t.ndih;
                t.idih[n] = b + a, t.jdih[n] = b + a + 1, t.kdih[n] = b + a + 2, t.ldih[n] = b + a + 3;
                t.kphi[n] = 0.2f, t.pn[n] = 3.0f, t.phase[n] = 0.0f;
            }
            const int n = ++t.nimp;
            t.iimp[n] = b + 2, t.jimp[n] = b + 1, t.kimp[n] = b + 3, t.limp[n] = b + 4, t.kpsi[n] = 40.0f;
            t.psi0[n] = 0.0f;
            for (int a = 1; a <= 5; ++a)
                for (int d = 1; d <= 2; ++d)
                    if (a + d <= 5) {
                        t.iexcl[b + a][++t.nexcl[b + a]] = b + a + d;
                        t.iexcl[b + a + d][++t.nexcl[b + a + d]] = b + a;
                    }
        }
        kova::maknbl(*k, 12.0f, 0);
    }
    // Runs one command line.
    void command(const std::string& line) {
        in.clear();
        in.str(line + "\n");
        kova::getlin(*k, k->files.inunit, "Main");
        kova::Token w = kova::gettok(*k);
        kova::dispatch(*k, kova::lcase(w.text));
        out.str("");
    }
};

constexpr int steps = 100;

void BM_md(benchmark::State& state) {
    Sys s;
    const std::string integ = state.range(0) ? " stoc" : " leap";
    // The lattice as built is strained: relaxed first, then held at 300 K.
    s.command("em sd ndbf nqe nste 300 nprt 1000 end");
    s.command("md ndbf nqe maxw heat temp 300" + integ + " nste 1 prnt 1 end");
    for (auto _ : state)
        s.command("md ndbf nqe rest heat temp 300 taut 0.1" + integ + " nste " + std::to_string(steps) + " prnt 100 end");
    state.counters["pairs"] = s.k->ff.top.npair;
    state.counters["steps/s"] = benchmark::Counter(double(steps) * double(state.iterations()), benchmark::Counter::kIsRate);
    state.SetLabel(state.range(0) ? "stochastic, 12 A list" : "leap-frog, 12 A list");
}
BENCHMARK(BM_md)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_forces_alone(benchmark::State& state) {
    Sys s;
    s.k->ff.ev.ldbf = s.k->ff.ev.lqe = false;
    for (auto _ : state) {
        kova::forces(*s.k);
        benchmark::DoNotOptimize(s.k->ff.e[kova::etot]);
    }
    state.counters["evaluations/s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_forces_alone)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
