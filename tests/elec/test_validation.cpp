// Grid sizes checked without overflow: the size test against 128-bit
// arithmetic, the elec command and the grid-file reader given dimensions
// whose product a 64-bit integer cannot hold.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <memory>
#include <fstream>
#include <string>
#include <vector>

#include "../command/harness.hpp"
#include "../command/scratch.hpp"
#include "command/mainloop.hpp"
#include "command/output.hpp"
#include "elec/elec.hpp"
#include "elec/gridfile.hpp"

namespace kova {
namespace {

class GridSize : public test::ScratchFolder {
protected:
    GridSize() : ScratchFolder("kova_gsize_") {}
};

TEST_F(GridSize, FitTestAgreesWithWideArithmetic) {
    // 2^21 cubed is 2^63: one past the largest signed 64-bit value.
    const long long dims[] = {-2, 0, 1, 2, 64, 65, 66, 129, 4225, 274625, 274626, 65536, 2097152,
                              INT_MAX, 3037000500LL, LLONG_MAX};
    const long long caps[] = {1, 274625, INT_MAX, LLONG_MAX};
    for (long long cap : caps)
        for (long long a : dims)
            for (long long b : dims)
                for (long long c : dims) {
                    // a b is at most 2^126, and so is a b c once a b <= cap.
                    const __int128 ab = __int128(a) * b;
                    const bool want = a >= 1 && b >= 1 && c >= 1 && ab <= cap && ab * c <= cap;
                    ASSERT_EQ(grid_fits(a, b, c, cap), want) << a << " x " << b << " x " << c << " cap " << cap;
                }
    static_assert(grid_fits(65, 65, 65, maxgrid) && !grid_fits(66, 65, 65, maxgrid) &&
                  grid_fits(129, 65, 32, maxgrid));

    // Counts that an int cannot hold are 0 rather than wrapped, and such a
    // grid never passes for one the maps hold.
    auto g = std::make_unique<GridStore>();
    g->nx = g->ny = g->nz = 2097152;
    g->update_counts();
    EXPECT_EQ(g->nxy, 0);
    EXPECT_EQ(g->nxyz, 0);
    EXPECT_FALSE(fits_grid(*g));
    g->nx = 65536, g->ny = 65536, g->nz = 1;  // 2^32 points
    g->update_counts();
    EXPECT_FALSE(fits_grid(*g));
    g->nx = 129, g->ny = 65, g->nz = 32;
    g->update_counts();
    EXPECT_EQ(g->nxyz, 268320);
    EXPECT_TRUE(fits_grid(*g));
}

TEST_F(GridSize, ElecRefusesDimensionsWhoseProductOverflows) {
    for (const char* dime : {"2097152 2097152 2097152", "2147483647 2147483647 2147483647", "65536 65536 1"}) {
        SCOPED_TRACE(dime);
        test::Session s(std::string("elec dime ") + dime + " setu end\nstop\n");
        s.ends([&] { run_kova(s.k); });
        EXPECT_LE(s.status, 0);  // still running at stop
        EXPECT_NE(s.listing().find(" WARNING: eledrv(050) requested grid too large. max= 65 cubed. reset to max.\n"),
                  std::string::npos)
            << s.listing();
        EXPECT_EQ(s.k.mess.nx, 65);
        EXPECT_EQ(s.k.mess.nxyz, 274625);
        EXPECT_NE(s.listing().find("Grid dimensions                      (dime # # #) : 65, 65, 65"),
                  std::string::npos);
    }
}

// A 2 x 2 x 2 grid file whose header dimensions are replaced.
void write_with_dims(Kova& k, int form, const std::string& name, std::int32_t nx, std::int32_t ny, std::int32_t nz) {
    const std::vector<float> g(9, 1.0f);
    ASSERT_TRUE(outgrd(k, name, 20, form, "Potential Grid", 2, 2, 2, 1.0f, 0, 0, 0, 1, g.data(), 1.0f, 1));
    std::ifstream f(name, std::ios::binary);
    std::string b((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    f.close();
    if (form == 0) {
        // The header record: 4-byte marker, 72-byte title, then items 2 to
        // 8 (seven four-byte items) before nx, ny, nz.
        const size_t at = 4 + 72 + 4 * 7;
        const std::int32_t d[3] = {nx, ny, nz};
        for (int a = 0; a < 3; ++a)
            for (int i = 0; i < 4; ++i)
                b[at + 4 * a + i] = static_cast<char>(static_cast<std::uint32_t>(d[a]) >> (8 * i));
    } else {
        // Third line of the text header: nx, ny, nz in three i7 fields.
        size_t line3 = b.find('\n', b.find('\n') + 1) + 1;
        char dims[22];
        std::snprintf(dims, sizeof dims, "%7d%7d%7d", nx, ny, nz);
        b.replace(line3, 21, dims);
    }
    std::ofstream(name, std::ios::binary) << b;
}

TEST_F(GridSize, GridFileWithAbsurdHeaderDimensionsEndsWithItsFatalMessage) {
    struct Case {
        std::int32_t nx, ny, nz;
    };
    const Case cases[] = {{2097152, 2097152, 2097152}, {65536, 65536, 1}, {1, 1, 274626}};
    int n = 0;
    for (int form : {0, 1})
        for (const Case& c : cases) {
            const std::string name = "huge" + std::to_string(++n) + ".grd";  // files are never overwritten
            SCOPED_TRACE(std::to_string(form) + ": " + std::to_string(c.nx) + " " + std::to_string(c.ny) + " " +
                         std::to_string(c.nz));
            test::Session s;
            write_with_dims(s.k, form, name, c.nx, c.ny, c.nz);
            s.k.mess.phi[1] = 5.0f;
            std::string t = "kept";
            int nx = 3, ny = 3, nz = 3, flag = 0;
            float h = 0.5f, ox = 0, oy = 0, oz = 0;
            EXPECT_TRUE(s.ends([&] {
                inpgrd(s.k, name, 20, form, t, nx, ny, nz, h, ox, oy, oz, flag, s.k.mess.phi.data(), maxgrid,
                       1.0f, s.k.files.msgunit);
            }));
            EXPECT_EQ(s.status, exit_fatal);
            EXPECT_NE(s.listing().find(" FATAL: inpgrd(002) grid too large. recompile with larger IM_MAX value.\n"
                                       " FATAL: inpgrd(002) grid file: " + name + "\n"),
                      std::string::npos)
                << s.listing();
            EXPECT_EQ(s.k.mess.phi[1], 5.0f);  // nothing installed
            EXPECT_EQ(nx, 3);
            EXPECT_EQ(t, "kept");
        }
}

}  // namespace
}  // namespace kova
