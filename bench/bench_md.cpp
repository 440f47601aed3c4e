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
#include "mech_lattice.hpp"

namespace {

using kova_bench::natom;
using kova_bench::nmolec;

struct Sys {
    std::istringstream in;
    std::ostringstream out, err;
    std::unique_ptr<kova::Kova> k;
    Sys() : k(std::make_unique<kova::Kova>(in, out, err)) {
        kova::rndini(*k);
        kova_bench::build_lattice(*k, 14.0);
        k->ff.top.toprd[1] = true;
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
