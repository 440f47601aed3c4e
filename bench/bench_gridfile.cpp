// Grid files of the full 65^3 grid: writing and reading a potential in text
// and binary form. The binary cases are set against the bare cost of moving
// the same bytes through a file stream (BM_RawFile), the floor any layout
// of these bytes pays.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "command/kova.hpp"
#include "elec/gridfile.hpp"

namespace {

namespace fs = std::filesystem;
using namespace kova;

constexpr int n = 65;
constexpr float scale = 0.0023900573f;

// A run state in a scratch folder of its own, with a smooth potential.
struct Bench {
    std::istringstream in;
    std::ostringstream out, err;
    Kova k{in, out, err};
    fs::path dir, old;
    std::vector<float> phi = std::vector<float>(maxgrid + 1);
    Bench() {
        dir = fs::temp_directory_path() / ("kova_bench_grd_" + std::to_string(::getpid()));
        fs::create_directories(dir);
        old = fs::current_path();
        fs::current_path(dir);
        for (int l = 1; l <= n * n * n; ++l) phi[l] = 1000.0f * std::sin(0.001f * l) - 3.0f;
    }
    ~Bench() {
        fs::current_path(old);
        fs::remove_all(dir);
    }
    bool write(const char* file, int form) {
        return outgrd(k, file, 20, form, "Potential Grid", n, n, n, 1.25f, -41.25f, -41.25f, -41.25f, 1, phi.data(),
                      scale, 1);
    }
};

void BM_WriteGrid(benchmark::State& st) {
    const int form = static_cast<int>(st.range(0));
    Bench b;
    for (auto _ : st) {
        if (!b.write("phi.grd", form)) st.SkipWithError("write failed");
        st.PauseTiming();
        fs::remove("phi.grd");
        st.ResumeTiming();
    }
    b.write("phi.grd", form);
    st.SetBytesProcessed(st.iterations() * static_cast<std::int64_t>(fs::file_size("phi.grd")));
    st.counters["ns_per_value"] = benchmark::Counter(static_cast<double>(st.iterations()) * n * n * n,
                                                     benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_WriteGrid)->Arg(0)->Arg(1)->ArgName("text")->Unit(benchmark::kMillisecond);

void BM_ReadGrid(benchmark::State& st) {
    const int form = static_cast<int>(st.range(0));
    Bench b;
    b.write("phi.grd", form);
    std::string title;
    int nx, ny, nz, flag;
    float h, ox, oy, oz;
    for (auto _ : st) {
        if (!inpgrd(b.k, "phi.grd", 20, form, title, nx, ny, nz, h, ox, oy, oz, flag, b.k.mess.phi.data(), maxgrid,
                    scale, 6))
            st.SkipWithError("read failed");
        benchmark::DoNotOptimize(b.k.mess.phi[1]);
    }
    st.SetBytesProcessed(st.iterations() * static_cast<std::int64_t>(fs::file_size("phi.grd")));
    st.counters["ns_per_value"] = benchmark::Counter(static_cast<double>(st.iterations()) * n * n * n,
                                                     benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_ReadGrid)->Arg(0)->Arg(1)->ArgName("text")->Unit(benchmark::kMillisecond);

// The same bytes as a binary potential file written and read back in one
// piece each: arg 0 writes, 1 reads.
void BM_RawFile(benchmark::State& st) {
    Bench b;
    const size_t bytes = 168 + n * (20 + 8 + 4 * n * n);
    std::vector<char> buf(bytes, 1);
    {
        std::ofstream("raw.bin", std::ios::binary).write(buf.data(), static_cast<std::streamsize>(bytes));
    }
    for (auto _ : st) {
        if (st.range(0) == 0) {
            std::ofstream f("raw.tmp", std::ios::binary);
            f.write(buf.data(), static_cast<std::streamsize>(bytes));
            f.close();
            st.PauseTiming();
            fs::remove("raw.tmp");
            st.ResumeTiming();
        } else {
            std::ifstream f("raw.bin", std::ios::binary);
            f.read(buf.data(), static_cast<std::streamsize>(bytes));
            benchmark::DoNotOptimize(buf[0]);
        }
    }
    st.SetBytesProcessed(st.iterations() * static_cast<std::int64_t>(bytes));
}
BENCHMARK(BM_RawFile)->Arg(0)->Arg(1)->ArgName("read")->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
