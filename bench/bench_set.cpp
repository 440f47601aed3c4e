// The set command on a 5000-atom protein: the database lookup of every atom
// and the molecule-size calculation (largest pair extent).
#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "command/mainloop.hpp"
#include "molecule/params.hpp"

namespace {

const char* const residues[] = {"ala", "gly", "ser", "leu", "lys", "asp", "glu", "phe", "thr", "val"};
const char* const atoms[] = {"n", "ca", "c", "o", "cb", "cg", "cd", "ce"};

std::string table_file() {
    auto path = std::filesystem::temp_directory_path() / "kova_bench_qtable.dat";
    std::ofstream f(path);
    f << "opls\nresi atom chrg radi end\n";
    for (const char* r : residues)
        for (const char* a : atoms) f << r << ' ' << a << " 0.1 1.7\n";
    return path.string();
}

void fill(kova::MoleculeStore& m) {
    const int n = kova::maxatm;
    for (int i = 1; i <= n; ++i) {
        int res = (i - 1) / 8;
        m.resnam[i] = kova::Name4(residues[res % 10]);
        m.atnam[i] = kova::Name4(atoms[(i - 1) % 8]);
        m.resnum[i] = res + 1;
        // A compact globule: points on a 17x17x18 lattice, 1.5 A apart.
        m.x[i] = 1.5f * (i % 17), m.y[i] = 1.5f * ((i / 17) % 17), m.z[i] = 1.5f * (i / 289);
    }
    m.nmol = 1;
    m.fstatm[1] = 1;
    m.lstatm[1] = n;
    m.natom = n;
}

void BM_SetCommand(benchmark::State& st) {
    const std::string table = table_file();
    for (auto _ : st) {
        st.PauseTiming();
        std::istringstream in("char radi file '" + table + "' end\n");
        std::ostringstream out, err;
        auto k = std::make_unique<kova::Kova>(in, out, err);
        k->flags.batch = true;
        fill(k->mol);
        st.ResumeTiming();
        kova::set(*k);
        benchmark::DoNotOptimize(k->mol.molsiz[1]);
    }
    st.SetItemsProcessed(st.iterations() * kova::maxatm);
}
BENCHMARK(BM_SetCommand)->Unit(benchmark::kMillisecond);

void BM_Calca(benchmark::State& st) {
    std::istringstream in;
    std::ostringstream out, err;
    auto k = std::make_unique<kova::Kova>(in, out, err);
    fill(k->mol);
    for (int i = 1; i <= kova::maxatm; ++i) k->mol.radi[i] = 1.7f;
    for (auto _ : st) benchmark::DoNotOptimize(kova::calca(k->mol, 1, kova::maxatm));
}
BENCHMARK(BM_Calca)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
