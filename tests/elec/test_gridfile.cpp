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
#include "../command/scratch.hpp"
#include "command/mainloop.hpp"
#include "elec/elec.hpp"
#include "elec/gridfile.hpp"
#include "molecule/read.hpp"

namespace kova {
namespace {

namespace fs = std::filesystem;

// Runs each test in a fresh folder of its own.
class GridFile : public test::ScratchFolder {
protected:
    GridFile() : ScratchFolder("kova_grd_") {}
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

// ---------------------------------------------------------------------------
// Round trips

// The header items inpgrd hands back.
struct Read {
    std::string title;
    int nx = 0, ny = 0, nz = 0, flag = 0;
    float h = 0, ox = 0, oy = 0, oz = 0;
    std::vector<float> grid = std::vector<float>(maxgrid + 1, -7.0f);
    bool ok = false;
    Read(Kova& k, const std::string& file, int form, float scale = 1.0f) {
        ok = inpgrd(k, file, 20, form, title, nx, ny, nz, h, ox, oy, oz, flag, grid.data(), maxgrid, scale,
                    k.files.msgunit);
    }
};

TEST_F(GridFile, EveryGridTypeComesBackInBothEncodings) {
    test::Session s;
    const int nx = 9, ny = 7, nz = 5;
    const float hh = 0.8f;
    struct Type {
        const char* title;
        int flag;
        float scale;
        std::vector<float> map;
    };
    // Values of the range each map holds: potentials, permittivities, point
    // charges times h, exclusion flags.
    const std::vector<Type> types = {
        {"Potential Grid", 1, 0.0023900573f, make_map(nx, ny, nz, [](int i, int j, int k) { return 400.0f * wavy(i, j, k); })},
        {"EPSC - Dielectric and Ionic Grid", 2, 1745898.875f,
         make_map(nx, ny, nz, [](int i, int j, int k) { return 1.0e-4f * (1.5f + wavy(i, j, k)); })},
        {"EPSI - X-shifted Dielectric Grid", 3, 1745898.875f,
         make_map(nx, ny, nz, [](int i, int j, int) { return (i + j) % 3 ? 78.0f * eps0 : 2.0f * eps0; })},
        {"EPSJ - Y-shifted Dielectric Grid", 4, 1745898.875f,
         make_map(nx, ny, nz, [](int i, int j, int k) { return (i == nx) ? 0.0f : float(j + k) * eps0; })},
        {"EPSK - Z-shifted Dielectric Grid", 5, 1745898.875f,
         make_map(nx, ny, nz, [](int i, int, int k) { return (k == nz) ? 0.0f : float(i) * 7.0f * eps0; })},
        {"RHO - Charge Grid", 6, hh, make_map(nx, ny, nz, [](int i, int j, int k) { return 0.3f * wavy(k, j, i); })},
        {"EXGRID - Solvent Exclusion Grid", 7, 1.0f,
         make_map(nx, ny, nz, [](int i, int j, int k) { return (i * j * k) % 4 ? 0.0f : 6.0f; })},
    };
    int n = 0;
    for (const Type& t : types) {
        for (int form : {0, 1}) {
            SCOPED_TRACE(std::string(t.title) + (form ? " text" : " binary"));
            const std::string file = "g" + std::to_string(++n) + ".grd";
            ASSERT_TRUE(outgrd(s.k, file, 20, form, t.title, nx, ny, nz, hh, -3.5f, 2.25f, 0.5f, t.flag, t.map.data(),
                               t.scale, 1));
            Read r(s.k, file, form, 99.0f);  // the file's own factor is the divisor
            ASSERT_TRUE(r.ok) << s.out.str();
            EXPECT_EQ(r.title, t.title);
            EXPECT_EQ(r.flag, t.flag);
            EXPECT_EQ(r.nx, nx);
            EXPECT_EQ(r.ny, ny);
            EXPECT_EQ(r.nz, nz);
            EXPECT_EQ(r.h, hh);
            EXPECT_EQ(r.ox, -3.5f);
            EXPECT_EQ(r.oy, 2.25f);
            EXPECT_EQ(r.oz, 0.5f);
            for (int l = 1; l <= nx * ny * nz; ++l) {
                const float v = t.map[l];
                if (form == 0) {
                    // The file holds scale x value; reading divides it again.
                    const float written = t.scale * v;
                    ASSERT_EQ(r.grid[l], written / t.scale) << l;
                    ASSERT_LE(std::fabs(r.grid[l] - v), std::fabs(v) * 1.2e-7f) << l;
                } else {
                    ASSERT_LE(std::fabs(r.grid[l] - v), std::fabs(v) * 6.0e-6f) << l;  // six digits
                }
            }
            EXPECT_EQ(r.grid[nx * ny * nz + 1], -7.0f);  // nothing beyond the grid
        }
    }
}

TEST_F(GridFile, StepTwoGivesA32PointGridAtTwiceTheSpacing) {
    test::Session s;
    const int n = 65;
    auto g = make_map(n, n, n, wavy);
    for (int form : {0, 1}) {
        const std::string file = form ? "t.grd" : "b.grd";
        ASSERT_TRUE(outgrd(s.k, file, 20, form, "Potential Grid", n, n, n, 1.25f, -41.25f, -41.25f, -41.25f, 1,
                           g.data(), 0.0023900573f, 2));
        Read r(s.k, file, form);
        ASSERT_TRUE(r.ok) << s.out.str();
        EXPECT_EQ(r.nx * r.ny * r.nz, 32 * 32 * 32);
        EXPECT_EQ(r.h, 2.5f);
        EXPECT_EQ(r.ox, -41.25f);
        for (int k : {1, 17, 32})
            for (int j : {1, 32})
                for (int i : {1, 5, 32})
                    EXPECT_NEAR(r.grid[i + 32 * (j - 1) + 1024 * (k - 1)], wavy(2 * i - 1, 2 * j - 1, 2 * k - 1),
                                form ? 1e-5f : 1e-6f);
    }
    // A step longer than an edge of the grid is refused; no file is made.
    s.k.flags.bomb = 5;
    EXPECT_FALSE(outgrd(s.k, "x.grd", 20, 0, "S", 3, 3, 3, 1.0f, 0, 0, 0, 1, g.data(), 1.0f, 4));
    EXPECT_NE(s.out.str().find(" SERIOUS: outgrd(010) no grid points to write with step     4."), std::string::npos);
    EXPECT_FALSE(fs::exists("x.grd"));
}

// The read command: the listing, the geometry it installs and its NOTEs.
class ReadCommand : public GridFile {
protected:
    std::unique_ptr<test::Session> s;
    test::Session& run(const std::string& deck) {
        s = std::make_unique<test::Session>(deck);
        run_kova(s->k);
        return *s;
    }
};

TEST_F(ReadCommand, PotentialBecomesThePreviousGrid) {
    {
        test::Session w;
        auto g = make_map(5, 6, 7, [](int i, int j, int k) { return float(i * j - k); });
        ASSERT_TRUE(outgrd(w.k, "p.grd", 20, 0, "Potential Grid", 5, 6, 7, 1.5f, -4.5f, -5.25f, -6.0f, 1, g.data(),
                           0.0023900573f, 1));
    }
    auto& r = run("read phi binary file 'p.grd' end\n");
    const GridStore& g = r.k.mess;
    EXPECT_EQ(g.nx, 5);
    EXPECT_EQ(g.nxyz, 5 * 6 * 7);
    EXPECT_EQ(g.hold, 1.5f);
    EXPECT_EQ(g.xoold, -4.5f);
    EXPECT_EQ(g.yoold, -5.25f);
    EXPECT_EQ(g.zoold, -6.0f);
    EXPECT_EQ(g.nxold, 5);
    EXPECT_EQ(g.nyold, 6);
    EXPECT_EQ(g.nzold, 7);
    EXPECT_NEAR(g.phi[g.index(3, 4, 5)], 7.0f, 1e-6f);
    const std::string text = r.messages();
    EXPECT_NE(text.find(" READ GRID\n"
                        "   Grid type                                         :phi                 \n"
                        "   Grid file                                         :p.grd               \n"
                        "   Grid dimensions                                   :  5,  6,  7\n"
                        "   Grid origin                                       :    -4.500  A\n"
                        "                                                          -5.250  A\n"
                        "                                                          -6.000  A\n"
                        "   Grid spacing                                      :     1.500  A\n"
                        " NOTE: reed(070) Run \"elec setup samegrid\" to complete grid setup.\n"),
              std::string::npos)
        << text;
}

TEST_F(ReadCommand, StaggeredMapsUndoTheHalfStepOfTheirAxis) {
    const float hh = 0.75f, xo = -10.5f, yo = 3.0f, zo = 0.25f;
    {
        test::Session w;
        auto g = make_map(4, 3, 2, [](int i, int j, int k) { return float(i + j + k) * eps0; });
        // As the write command stores them: the origin moved half a step along the map's axis.
        ASSERT_TRUE(outgrd(w.k, "i.grd", 20, 1, "EPSI", 4, 3, 2, hh, xo + hh / 2, yo, zo, 3, g.data(), 1745898.875f, 1));
        ASSERT_TRUE(outgrd(w.k, "j.grd", 20, 1, "EPSJ", 4, 3, 2, hh, xo, yo + hh / 2, zo, 4, g.data(), 1745898.875f, 1));
        ASSERT_TRUE(outgrd(w.k, "k.grd", 20, 0, "EPSK", 4, 3, 2, hh, xo, yo, zo + hh / 2, 5, g.data(), 1745898.875f, 1));
    }
    for (const char* t : {"epsi file 'i.grd'", "epsj file 'j.grd'", "epsk binary file 'k.grd'"}) {
        SCOPED_TRACE(t);
        auto& r = run(std::string("read ") + t + " end\n");
        const GridStore& g = r.k.mess;
        EXPECT_EQ(g.xorep, xo);
        EXPECT_EQ(g.yorep, yo);
        EXPECT_EQ(g.zorep, zo);
        EXPECT_EQ(g.hrep, hh);
        EXPECT_EQ(g.nxrep, 4);
        EXPECT_EQ(g.nyrep, 3);
        EXPECT_EQ(g.nzrep, 2);
        EXPECT_EQ(g.hold, -9999.0f);  // a permittivity map is no previous potential
        const std::vector<float>& m = t[3] == 'i' ? g.epsi : t[3] == 'j' ? g.epsj : g.epsk;
        EXPECT_NEAR(m[g.index(4, 3, 2)], 9.0f * eps0, 6e-5f * eps0);
        EXPECT_NE(r.messages().find(" NOTE: reed(070) Use samegrid on elec command line\n"
                                    " to complete grid setup, or use reps keyword on elec \n"
                                    " command line to reuse epsilon grids.\n"),
                  std::string::npos);
    }
}

// ---------------------------------------------------------------------------
// gfortran reads our files with plain READs and writes back what it got.

bool have_gfortran() { return std::system("command -v gfortran > /dev/null 2>&1") == 0; }

const char* const reader_source = R"F90(
program rdgrid
  implicit none
  character(len=72) :: title
  real(4) :: scale, dum2, h, ox, oy, oz, d(6)
  integer(4) :: flag, idum2, km, one, km2, im, jm, kk, idum3, idum4, k, p, pnx, pny, l
  real(4), allocatable :: v(:)
  character(len=16) :: files(2)
  files(1) = 'b.grd'
  files(2) = 't.grd'
  open(12, file='back.txt', status='replace')
  do p = 1, 2
    if (p == 1) then
      open(11, file=files(p), form='unformatted', access='sequential', status='old')
      read(11) title, scale, dum2, flag, idum2, km, one, km2, im, jm, kk, h, ox, oy, oz, d, idum3, idum4
    else
      open(11, file=files(p), form='formatted', status='old')
      read(11, '(a72/2e12.6,5i7/3i7,4e12.6/4e12.6/2e12.6,2i7)') title, scale, dum2, flag, idum2, km, one, km2, &
        im, jm, kk, h, ox, oy, oz, d, idum3, idum4
    end if
    write(12, '(a)') trim(title)
    write(12, *) transfer(scale, 1), flag, km, one, km2, im, jm, kk, transfer(h, 1), transfer(ox, 1), &
      transfer(oy, 1), transfer(oz, 1)
    allocate(v(im * jm))
    do k = 1, kk
      if (p == 1) then
        read(11) l, pnx, pny
        read(11) v
      else
        read(11, '(3i7)') l, pnx, pny
        read(11, '((6(1x,e12.6)))') v
      end if
      write(12, *) l, pnx, pny
      write(12, *) (transfer(v(l), 1), l = 1, im * jm)
    end do
    deallocate(v)
    close(11)
  end do
  close(12)
end program
)F90";

TEST_F(GridFile, GfortranReadsBothEncodings) {
    if (!have_gfortran()) GTEST_SKIP() << "gfortran is not on PATH";
    test::Session s;
    const int nx = 7, ny = 4, nz = 3;
    auto g = make_map(nx, ny, nz, [](int i, int j, int k) { return 1000.0f * wavy(i, j, k); });
    for (int form : {0, 1})
        ASSERT_TRUE(outgrd(s.k, form ? "t.grd" : "b.grd", 20, form, "Fortran check", nx, ny, nz, 0.6f, -2.5f, 1.75f,
                           -0.125f, 1, g.data(), 0.0023900573f, 1));
    std::ofstream("rdgrid.f90") << reader_source;
    ASSERT_EQ(std::system("gfortran -O0 -o rdgrid rdgrid.f90 > build.log 2>&1 && ./rdgrid > run.log 2>&1"), 0)
        << lines_of("build.log").size();
    // What gfortran read, item by item, against what our reader gives.
    std::ifstream back("back.txt");
    auto bits = [](float f) {
        std::int32_t b;
        std::memcpy(&b, &f, 4);
        return b;
    };
    for (int form : {0, 1}) {
        SCOPED_TRACE(form ? "text" : "binary");
        Read r(s.k, form ? "t.grd" : "b.grd", form, 0.0023900573f);
        ASSERT_TRUE(r.ok);
        std::string title;
        std::getline(back, title);
        EXPECT_EQ(title, "Fortran check");
        std::int32_t scale, flag, km, one, km2, im, jm, kk, h, ox, oy, oz;
        back >> scale >> flag >> km >> one >> km2 >> im >> jm >> kk >> h >> ox >> oy >> oz;
        if (form == 0) EXPECT_EQ(scale, bits(0.0023900573f));  // six digits in text
        EXPECT_EQ(flag, 1);
        EXPECT_EQ(km, nz);
        EXPECT_EQ(one, 1);
        EXPECT_EQ(km2, nz);
        EXPECT_EQ(im, nx);
        EXPECT_EQ(jm, ny);
        EXPECT_EQ(kk, nz);
        EXPECT_EQ(h, bits(0.6f));
        EXPECT_EQ(ox, bits(-2.5f));
        EXPECT_EQ(oy, bits(1.75f));
        EXPECT_EQ(oz, bits(-0.125f));
        for (int k = 1; k <= nz; ++k) {
            int pk, pnx, pny;
            back >> pk >> pnx >> pny;
            EXPECT_EQ(pk, k);
            EXPECT_EQ(pnx, nx);
            EXPECT_EQ(pny, ny);
            for (int l = 1; l <= nx * ny; ++l) {
                std::int32_t b;
                back >> b;
                // gfortran's value times nothing: the file value; ours is it
                // divided by the scale.
                float v;
                std::memcpy(&v, &b, 4);
                ASSERT_EQ(r.grid[l + nx * ny * (k - 1)], v / 0.0023900573f) << k << " " << l;
                if (form == 0) ASSERT_EQ(b, bits(0.0023900573f * g[l + nx * ny * (k - 1)]));
            }
        }
        back >> std::ws;
    }
}

// ---------------------------------------------------------------------------
// Damaged files

std::vector<unsigned char> with(std::vector<unsigned char> b, size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<unsigned char>(v >> (8 * i));
    return b;
}

void save(const std::string& name, const std::vector<unsigned char>& b) {
    std::ofstream(name, std::ios::binary).write(reinterpret_cast<const char*>(b.data()),
                                                static_cast<std::streamsize>(b.size()));
}

// Offsets in a binary file: the header items follow the 4-byte marker and
// the 72-byte title.
constexpr size_t item = 4 + 72;
constexpr size_t at_nx = item + 4 * 7, at_ny = item + 4 * 8, at_nz = item + 4 * 9, at_h = item + 4 * 10;

TEST_F(GridFile, LimitsEndTheRunWithTheirFatalMessages) {
    test::Session s;
    std::vector<float> g(8452, 1.0f);
    // A plane of 8451 values fits the grid but not the plane buffer of a binary read.
    ASSERT_TRUE(outgrd(s.k, "wide.grd", 20, 0, "W", 8451, 1, 1, 1.0f, 0, 0, 0, 1, g.data(), 1.0f, 1));
    ASSERT_TRUE(outgrd(s.k, "wide.txt", 20, 1, "W", 8451, 1, 1, 1.0f, 0, 0, 0, 1, g.data(), 1.0f, 1));
    ASSERT_TRUE(outgrd(s.k, "small.grd", 20, 0, "S", 2, 2, 2, 1.0f, 0, 0, 0, 1, g.data(), 1.0f, 1));
    auto small = bytes_of("small.grd");
    save("big.grd", with(with(small, at_nx, 66), at_ny, 65 * 65));  // 66 x 4225 x 2 points
    const float before = s.k.mess.phi[1];
    s.k.mess.phi[1] = 5.0f;
    std::string t;
    int nx, ny, nz, flag;
    float h, ox, oy, oz;
    EXPECT_TRUE(s.ends([&] {
        inpgrd(s.k, "wide.grd", 20, 0, t, nx, ny, nz, h, ox, oy, oz, flag, s.k.mess.phi.data(), maxgrid, 1.0f, 6);
    }));
    EXPECT_NE(s.out.str().find(" FATAL: inpgrd(001) buffer too small.\n FATAL: inpgrd(001) grid file: wide.grd\n"),
              std::string::npos)
        << s.out.str();
    EXPECT_TRUE(s.ends([&] {
        inpgrd(s.k, "big.grd", 20, 0, t, nx, ny, nz, h, ox, oy, oz, flag, s.k.mess.phi.data(), maxgrid, 1.0f, 6);
    }));
    EXPECT_NE(s.out.str().find(" FATAL: inpgrd(002) grid too large. recompile with larger IM_MAX value.\n"),
              std::string::npos);
    EXPECT_EQ(s.k.mess.phi[1], 5.0f);  // nothing installed
    (void)before;
    // The plane buffer limits binary files only.
    Read r(s.k, "wide.txt", 1);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.nx, 8451);
}

// Reads each damaged file with the read command in one run (abort level
// fatal, so that the ERROR messages do not end it): every file either reads
// as a whole grid or ends with a message naming it, and a refused file
// leaves the grid store as it was.
class Fuzz : public GridFile {
protected:
    std::vector<std::pair<std::string, bool>> cases;  // file, binary
    void add(const std::vector<unsigned char>& b, bool binary) {
        std::string name = "m" + std::to_string(cases.size() + 1) + ".grd";
        save(name, b);
        cases.emplace_back(name, binary);
    }
    void run_all() {
        std::string deck;
        for (auto& [name, binary] : cases)
            deck += std::string(" grid ") + (binary ? "binary" : "ascii") + " file '" + name + "' end\n";
        test::Session s(deck);
        Kova& k = s.k;
        k.flags.bomb = 5;
        GridStore& g = k.mess;
        std::vector<float> phi = g.phi;
        int fail = 0, fatal = 0;
        for (auto& [name, binary] : cases) {
            SCOPED_TRACE(name);
            const size_t from = s.out.str().size();
            const int nx = g.nx, ny = g.ny, nz = g.nz;
            const float h = g.h, xo = g.xo;
            const bool ended = s.ends([&] { reed(k); });
            const std::string said = s.out.str().substr(from);
            if (said.find("NOTE: reed(070)") != std::string::npos) {
                ASSERT_FALSE(ended);
                ASSERT_GE(g.nx, 1);
                ASSERT_GE(g.ny, 1);
                ASSERT_GE(g.nz, 1);
                ASSERT_LE(static_cast<long long>(g.nx) * g.ny * g.nz, maxgrid);
                ASSERT_TRUE(std::isfinite(g.h) && g.h > 0);
                for (int l = 1; l <= g.nxyz; ++l) ASSERT_TRUE(std::isfinite(g.phi[l])) << l;
                phi = g.phi;
                continue;
            }
            ++fail;
            fatal += ended;
            ASSERT_NE(said.find("inpgrd("), std::string::npos) << said;
            ASSERT_NE(said.find(name), std::string::npos) << said;
            ASSERT_TRUE(g.nx == nx && g.ny == ny && g.nz == nz && g.h == h && g.xo == xo);
            ASSERT_TRUE(g.phi == phi);
        }
        EXPECT_GT(fail, static_cast<int>(cases.size()) / 2);
        std::printf("%zu damaged files, %d refused (%d fatal)\n", cases.size(), fail, fatal);
    }
};

TEST_F(Fuzz, DamagedFilesAreRefusedWithAMessageNamingThem) {
    test::Session w;
    auto g = make_map(5, 4, 3, [](int i, int j, int k) { return 100.0f * wavy(i, j, k); });
    ASSERT_TRUE(outgrd(w.k, "b.grd", 20, 0, "Potential Grid", 5, 4, 3, 1.0f, -3.0f, -2.5f, -2.0f, 1, g.data(),
                       0.0023900573f, 1));
    ASSERT_TRUE(outgrd(w.k, "t.grd", 20, 1, "Potential Grid", 5, 4, 3, 1.0f, -3.0f, -2.5f, -2.0f, 1, g.data(),
                       0.0023900573f, 1));
    const auto bin = bytes_of("b.grd"), txt = bytes_of("t.grd");
    std::mt19937 rng(20261207);
    auto pick = [&](size_t n) { return static_cast<size_t>(rng() % n); };
    // Every truncation of the binary file, and of the text file at random points.
    for (size_t n = 0; n < bin.size(); ++n) add({bin.begin(), bin.begin() + static_cast<std::ptrdiff_t>(n)}, true);
    for (int c = 0; c < 120; ++c) {
        size_t n = pick(txt.size());
        add({txt.begin(), txt.begin() + static_cast<std::ptrdiff_t>(n)}, false);
    }
    // Flipped bytes anywhere in the binary file; stray characters in the text.
    for (int c = 0; c < 200; ++c) {
        auto b = bin;
        b[pick(b.size())] ^= static_cast<unsigned char>(1 + pick(255));
        add(b, true);
    }
    for (int c = 0; c < 120; ++c) {
        auto b = txt;
        size_t at = pick(b.size());
        if (b[at] == '\n') continue;
        b[at] = "x-+.E/9 "[pick(8)];
        add(b, false);
    }
    // Absurd dimensions and spacings, and each form read as the other.
    const std::uint32_t absurd[] = {0u, 0xffffffffu, 0x80000000u, 0x7fffffffu, 66u, 65u * 65u * 65u + 1u, 4u, 6u};
    for (std::uint32_t v : absurd)
        for (size_t at : {at_nx, at_ny, at_nz}) add(with(bin, at, v), true);
    for (std::uint32_t v : {0u, 0xbf800000u, 0x7fc00000u, 0x7f800000u}) add(with(bin, at_h, v), true);
    add(with(bin, 168 + 4 + 4, 6), true);              // plane 1 says 6 points across
    add(with(bin, 168 + 20 + 4 + 8, 0x7f800000u), true);  // an infinite value
    add(txt, true);
    add(bin, false);
    run_all();
}

// ---------------------------------------------------------------------------
// Focusing from a potential read back in a fresh run

// Potential at each atom of barnase on the current grid.
std::vector<float> atom_potentials(const Kova& k) {
    const GridStore& g = k.mess;
    const MoleculeStore& m = k.mol;
    std::vector<float> v;
    for (int a = 1; a <= m.natom; ++a) {
        GridCoord c = xyzijk(m.x[a], m.y[a], m.z[a], g.h, g.xo, g.yo, g.zo);
        v.push_back(phi_get(g, c.i, c.j, c.k, c.fx, c.fy, c.fz));
    }
    return v;
}

TEST_F(ReadCommand, FocusingFromAPotentialReadBackMatchesTheSingleRun) {
    const std::string mol = "read mol 1 qcard file '" + std::string(KOVA_TEST_SOURCE_DIR) +
                            "/data/pqr/barnase.qcrd' end\n";
    const std::string coarse = "elec mol1 cent grid 2.0 dime 33 33 33 bcfl 2 ions 50.0 calc end\n";
    const std::string fine = "elec mol1 cent grid 1.4 dime 41 41 41 bcfl 4 ions 50.0 calc end\n";
    // One run: coarse, then focused; then the coarse potential stored both ways.
    run(mol + coarse + fine + "stop\n");
    ASSERT_EQ(s->k.mol.natom, 1730);
    ASSERT_EQ(s->k.mess.nx, 41) << s->messages();
    const std::vector<float> direct = atom_potentials(s->k);
    const double edirect = nrgrho(s->k, s->k.mess.isel);
    run(mol + coarse + "stop\n");
    const GridStore& c = s->k.mess;
    for (int form : {0, 1})
        ASSERT_TRUE(outgrd(s->k, form ? "phi.txt" : "phi.grd", 20, form, "Potential Grid", c.nx, c.ny, c.nz, c.h, c.xo,
                           c.yo, c.zo, 1, c.phi.data(), 0.0023900573f, 1));
    float peak = 0;
    for (float v : direct) peak = std::max(peak, std::fabs(v));
    ASSERT_GT(peak, 0.0f);
    for (int form : {0, 1}) {
        SCOPED_TRACE(form ? "text" : "binary");
        // A fresh run reads the coarse potential, maps the molecule on its
        // grid without solving, and focuses from it.
        run(mol + (form ? "read grid file 'phi.txt' end\n" : "read grid binary file 'phi.grd' end\n") +
            "elec mol1 same grid ions 50.0 setu end\n" + fine + "stop\n");
        ASSERT_EQ(s->k.mess.nx, 41);
        const std::vector<float> focused = atom_potentials(s->k);
        ASSERT_EQ(focused.size(), direct.size());
        float worst = 0;
        for (size_t a = 0; a < direct.size(); ++a) worst = std::max(worst, std::fabs(focused[a] - direct[a]));
        EXPECT_LE(worst, (form ? 1e-5f : 1e-6f) * peak) << "peak " << peak;
        EXPECT_NEAR(nrgrho(s->k, s->k.mess.isel), edirect, std::fabs(edirect) * (form ? 1e-5 : 1e-6));
    }
    // Focusing straight after the read, with no permittivity maps on the
    // file's grid: warned, and the solvent permittivity at the boundary
    // gives the same potential, the boundary lying in the solvent.
    run(mol + "read grid binary file 'phi.grd' end\n" + fine + "stop\n");
    EXPECT_NE(s->messages().find(" WARNING: bound(010) no permittivity maps of the previous grid"),
              std::string::npos);
    const std::vector<float> focused = atom_potentials(s->k);
    float worst = 0;
    for (size_t a = 0; a < direct.size(); ++a) worst = std::max(worst, std::fabs(focused[a] - direct[a]));
    EXPECT_LE(worst, 1e-5f * peak);
}

TEST_F(ReadCommand, PermittivityMapsReadBackReproduceTheSolve) {
    const std::string mol = "read mol 1 qcard file '" + std::string(KOVA_TEST_SOURCE_DIR) +
                            "/data/pqr/barnase.qcrd' end\n";
    run(mol + "elec mol1 cent grid 1.5 dime 41 41 41 bcfl 2 nmap 1.4 calc end\nstop\n");
    const std::vector<float> first = atom_potentials(s->k);
    const GridStore& g = s->k.mess;
    // Stored as the write command stores them: origins moved half a step
    // along each map's axis, the maps in dielectric-constant units.
    const float half = g.h / 2, scale = 1745898.875f;
    ASSERT_TRUE(outgrd(s->k, "epsi.grd", 20, 0, "EPSI", g.nx, g.ny, g.nz, g.h, g.xo + half, g.yo, g.zo, 3,
                       g.epsi.data(), scale, 1));
    ASSERT_TRUE(outgrd(s->k, "epsj.grd", 20, 1, "EPSJ", g.nx, g.ny, g.nz, g.h, g.xo, g.yo + half, g.zo, 4,
                       g.epsj.data(), scale, 1));
    ASSERT_TRUE(outgrd(s->k, "epsk.grd", 20, 0, "EPSK", g.nx, g.ny, g.nz, g.h, g.xo, g.yo, g.zo + half, 5,
                       g.epsk.data(), scale, 1));
    const float xo = g.xo, yo = g.yo, zo = g.zo;
    // A fresh run takes the dielectric from the files (no probe surface is
    // built) and solves on their grid.
    run(mol + "read epsi binary file 'epsi.grd' end\nread epsj file 'epsj.grd' end\n" +
        "read epsk binary file 'epsk.grd' end\nelec mol1 reps bcfl 2 calc end\nstop\n");
    EXPECT_EQ(s->k.mess.xo, xo);
    EXPECT_EQ(s->k.mess.yo, yo);
    EXPECT_EQ(s->k.mess.zo, zo);
    const std::vector<float> again = atom_potentials(s->k);
    float peak = 0, worst = 0;
    for (size_t a = 0; a < first.size(); ++a) {
        peak = std::max(peak, std::fabs(first[a]));
        worst = std::max(worst, std::fabs(again[a] - first[a]));
    }
    EXPECT_GT(peak, 0.0f);
    EXPECT_LE(worst, 2e-5f * peak) << s->messages();
}

}  // namespace
}  // namespace kova
