// Writing maps of a 65^3 potential: the field-direction coding (vecmap),
// the brick image (brkmap) and the surface-point records (outsrf). The
// potential is the Coulomb field of two opposite charges, with a sphere of
// excluded points around each.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <sstream>
#include <vector>

#include "command/kova.hpp"
#include "molecule/write.hpp"

namespace {

constexpr int n = 65;
constexpr float h = 1.0f;

struct Maps {
    std::vector<float> phi, ex;
    Maps() : phi(n * n * n + 1), ex(n * n * n + 1) {
        const float c[2][4] = {{-6, 0, 0, 1}, {6, 0, 0, -1}};  // x, y, z, q
        for (int k = 1; k <= n; ++k)
            for (int j = 1; j <= n; ++j)
                for (int i = 1; i <= n; ++i) {
                    const int l = i + n * (j - 1) + n * n * (k - 1);
                    const float x = (i - 33) * h, y = (j - 33) * h, z = (k - 33) * h;
                    float p = 0, inside = 0;
                    for (const auto& q : c) {
                        const float r = std::sqrt((x - q[0]) * (x - q[0]) + (y - q[1]) * (y - q[1]) +
                                                  (z - q[2]) * (z - q[2]));
                        p += q[3] / std::max(r, 0.5f);
                        if (r < 4.0f) inside = 6.0f;
                    }
                    phi[static_cast<size_t>(l)] = p;
                    ex[static_cast<size_t>(l)] = inside;
                }
    }
};

const Maps& maps() {
    static const Maps m;
    return m;
}

kova::VectorMap geometry() {
    kova::VectorMap v;
    v.nx = v.ny = v.nz = n;
    v.h = h;
    return v;
}

void BM_vecmap(benchmark::State& state) {
    const Maps& m = maps();
    std::vector<std::int16_t> code(n * n * n + 1);
    std::vector<std::int8_t> dir(3 * (n * n * n + 1));
    kova::VectorMap v = geometry();
    for (auto _ : state) {
        kova::vecmap(v, m.phi.data(), m.ex.data(), 0.0023900573f, code.data(), dir.data());
        benchmark::DoNotOptimize(code.data());
        benchmark::DoNotOptimize(dir.data());
    }
    state.counters["points/s"] = benchmark::Counter(static_cast<double>(n) * n * n * state.iterations(),
                                                    benchmark::Counter::kIsRate);
}
BENCHMARK(BM_vecmap)->Unit(benchmark::kMillisecond);

void BM_brkmap(benchmark::State& state) {
    const Maps& m = maps();
    std::vector<std::int16_t> code(n * n * n + 1);
    std::vector<std::int8_t> dir(3 * (n * n * n + 1));
    kova::VectorMap v = geometry();
    kova::vecmap(v, m.phi.data(), m.ex.data(), 0.0023900573f, code.data(), dir.data());
    size_t bytes = 0;
    for (auto _ : state) {
        std::string img = kova::brkmap(v, "Potential Field Vector");
        bytes = img.size();
        benchmark::DoNotOptimize(img.data());
    }
    state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_brkmap)->Unit(benchmark::kMillisecond);

// The surface records go through the unit table to a scratch file.
void BM_outsrf(benchmark::State& state) {
    const Maps& m = maps();
    std::istringstream in;
    std::ostringstream out, err;
    auto k = std::make_unique<kova::Kova>(in, out, err);
    kova::GridStore& g = k->mess;
    g.nx = g.ny = g.nz = n;
    g.update_counts();
    g.h = h;
    std::copy(m.phi.begin(), m.phi.end(), g.phi.begin());
    std::copy(m.ex.begin(), m.ex.end(), g.iacs.begin());
    int points = 0;
    for (auto _ : state) {
        k->units.open(40, "", fortio::OpenStatus::scratch, fortio::Form::unformatted);
        points = kova::outsrf(*k, 40);
        k->units.close(40);
    }
    state.counters["records"] = points;
    state.counters["records/s"] =
        benchmark::Counter(static_cast<double>(points) * state.iterations(), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_outsrf)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
