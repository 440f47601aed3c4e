// Reading a 5000-atom fixed-format PDB file into the molecule store.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "command/mainloop.hpp"
#include "command/output.hpp"
#include "fortio/format.hpp"
#include "molecule/read.hpp"

namespace {

std::string make_file(int atoms, int fmt) {
    std::string path = (std::filesystem::temp_directory_path() / ("kova_bench_" + std::to_string(fmt) + ".pdb")).string();
    std::ofstream f(path);
    for (int i = 1; i <= atoms; ++i) {
        float x = 0.013f * i, y = -0.007f * i, z = 10.0f + 0.001f * i;
        if (fmt == 1)
            f << fortio::format_write("(a6,i5,1x,a4,1x,a3,1x,a1,i4,4x,3f8.3,2f6.2,10x,a2)",
                                      {std::string_view("ATOM  "), std::int64_t{i}, std::string_view(" CA "),
                                       std::string_view("ALA"), std::string_view("A"), std::int64_t{i % 10000}, x, y,
                                       z, 1.0f, 20.0f, std::string_view(" C")})[0]
              << '\n';
        else
            f << "ATOM " << i << " CA ALA " << i << ' ' << x << ' ' << y << ' ' << z << '\n';
    }
    f << "END\n";
    return path;
}

void BM_ReadPdb(benchmark::State& st) {
    const int fmt = static_cast<int>(st.range(0));
    const std::string path = make_file(kova::maxatm, fmt);
    std::istringstream in;
    std::ostringstream out, err;
    auto kp = std::make_unique<kova::Kova>(in, out, err);
    kova::Kova& k = *kp;
    kova::AtomTarget t = kova::molecule_target(k.mol);
    for (auto _ : st) {
        k.units.open(10, path, fortio::OpenStatus::old_file, fortio::Form::formatted);
        int last = kova::pdb(k, 10, 1, t, fmt);
        k.units.close(10);
        benchmark::DoNotOptimize(last);
        if (last != kova::maxatm) st.SkipWithError("wrong atom count");
    }
    st.counters["atoms_per_s"] = benchmark::Counter(static_cast<double>(st.iterations()) * kova::maxatm,
                                                    benchmark::Counter::kIsRate);
    std::remove(path.c_str());
}
BENCHMARK(BM_ReadPdb)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
