// Formatted records: the layouts that carry the bulk data of the program
// (grid files of 65^3 values, structure files of thousands of atoms).
#include <benchmark/benchmark.h>

#include <cmath>
#include <string>

#include "fortio/format.hpp"

namespace {

// One grid-file record: six values in e12.6.
void BM_WriteGridRecord(benchmark::State& st) {
    float v[6] = {0.125f, -3.5e-4f, 17.25f, -0.0f, 6.02e23f, 1.0f / 3.0f};
    for (auto _ : st) {
        auto r = fortio::format_write("(6(1x,e12.6))", {v[0], v[1], v[2], v[3], v[4], v[5]});
        benchmark::DoNotOptimize(r);
        v[0] += 1.0f;
    }
    st.SetItemsProcessed(st.iterations() * 6);
}
BENCHMARK(BM_WriteGridRecord);

// One structure record with a charge and radius.
void BM_WritePdbRecord(benchmark::State& st) {
    std::int64_t serial = 1;
    for (auto _ : st) {
        auto r = fortio::format_write("(a6,i5,1x,a4,a1,a4,a1,i4,a1,3x,3f8.3,2f6.2)",
                                      {std::string_view("ATOM  "), serial, std::string_view(" CA "),
                                       std::string_view(" "), std::string_view("ALA "), std::string_view("A"),
                                       std::int64_t{42}, std::string_view(" "), 12.345f, -6.5f, 101.25f,
                                       0.35f, 1.85f});
        benchmark::DoNotOptimize(r);
        ++serial;
    }
    st.SetItemsProcessed(st.iterations());
}
BENCHMARK(BM_WritePdbRecord);

void BM_ReadPdbRecord(benchmark::State& st) {
    const std::string rec =
        "ATOM     17  CA  ALA A  42      12.345  -6.500 101.250  0.35  1.85";
    std::string rtype, atom, alt, res, chain, ins;
    int serial = 0, resnum = 0;
    float x = 0, y = 0, z = 0, q = 0, r = 0;
    for (auto _ : st) {
        auto res_ = fortio::format_read_record(
            "(a6,i5,1x,a4,a1,a4,a1,i4,a1,3x,3f8.3,2f6.2)", rec,
            {fortio::Chars{&rtype, 6}, &serial, fortio::Chars{&atom, 4}, fortio::Chars{&alt, 1},
             fortio::Chars{&res, 4}, fortio::Chars{&chain, 1}, &resnum, fortio::Chars{&ins, 1}, &x, &y, &z, &q,
             &r});
        benchmark::DoNotOptimize(res_);
        benchmark::DoNotOptimize(x);
    }
    st.SetItemsProcessed(st.iterations());
}
BENCHMARK(BM_ReadPdbRecord);

void BM_ReadGridRecord(benchmark::State& st) {
    const std::string rec = " 0.125000E+00 -.350000E-03 0.172500E+02 0.000000E+00 0.602000E+24 0.333333E+00";
    float v[6];
    for (auto _ : st) {
        auto r = fortio::format_read_record("(6(1x,e12.6))", rec, {&v[0], &v[1], &v[2], &v[3], &v[4], &v[5]});
        benchmark::DoNotOptimize(r);
        benchmark::DoNotOptimize(v[0]);
    }
    st.SetItemsProcessed(st.iterations() * 6);
}
BENCHMARK(BM_ReadGridRecord);

}  // namespace

BENCHMARK_MAIN();
