// The write command and the proximity choice: coordinate records read back
// by the structure reader, grid file headers and values, surface points, the
// bricked field map, and the refusals.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "../command/harness.hpp"
#include "../command/scratch.hpp"
#include "command/mainloop.hpp"
#include "fortio/format.hpp"
#include "molecule/prox.hpp"
#include "molecule/write.hpp"

using namespace kova;
namespace fs = std::filesystem;

namespace {

class Write : public test::ScratchFolder {
protected:
    Write() : ScratchFolder("kova_write_") {}
    test::Session& run(const std::string& deck) {
        s = std::make_unique<test::Session>(deck);
        status = run_kova(s->k);
        return *s;
    }
    static void put(const std::string& name, const std::string& text) { std::ofstream(name) << text; }
    static std::string slurp(const std::string& name) {
        std::ifstream f(name, std::ios::binary);
        std::stringstream ss;
        ss << f.rdbuf();
        return ss.str();
    }
    static std::vector<std::string> lines(const std::string& name) {
        std::ifstream f(name);
        std::vector<std::string> v;
        for (std::string l; std::getline(f, l);) v.push_back(l);
        return v;
    }
    std::unique_ptr<test::Session> s;
    int status = -1;
};

std::string source(const char* sub, const char* name) {
    return std::string(KOVA_TEST_SOURCE_DIR) + "/data/" + sub + "/" + name;
}

// Two ions 4 A apart, and the small grid every grid test solves on.
const char* pair_card = "* two ions\natom 1 na  na 0.0 0.0 0.0  1.0 1.5\natom 2 cl  cl 4.0 0.0 0.0 -1.0 2.0\nend\n";
const char* pair_solve = "read mol 1 qcard file pair.crd end\n"
                         "elec mol1 cent grid 1.0 dime 17 17 17 calc end\n";

// Molecule 1: atoms 1-3 at x = 0, 1, 2. Molecule 2: atom 4 at exactly 3.0
// from atom 3, atom 5 at 2.5 from it, atom 6 far away.
void build(MoleculeStore& m) {
    const float xyz[6][3] = {{0, 0, 0}, {1, 0, 0}, {2, 0, 0}, {2, 3, 0}, {2, 2.5f, 0}, {50, 0, 0}};
    for (int i = 1; i <= 6; ++i) {
        m.x[i] = xyz[i - 1][0], m.y[i] = xyz[i - 1][1], m.z[i] = xyz[i - 1][2];
        m.atnam[i] = Name4("c");
        m.resnam[i] = Name4("ala");
        m.resnum[i] = i;
    }
    m.nmol = 2;
    m.fstatm[1] = 1, m.lstatm[1] = 3;
    m.fstatm[2] = 4, m.lstatm[2] = 6;
    m.natom = 6;
}

struct Picked {
    std::vector<int> atoms;
    std::string out;
};

Picked proximity(const std::string& request) {
    test::Session s(request + "\n");
    build(s.k.mol);
    s.k.flags.bomb = 4;
    Arr1<int, maxatm> flags;
    flags.fill(1);
    prox(s.k, flags);
    Picked p;
    for (int i = 1; i <= 6; ++i)
        if (flags[i] == 1) p.atoms.push_back(i);
    p.out = s.out.str();
    return p;
}

using V = std::vector<int>;

// Header of a formatted grid file.
struct Header {
    std::string title;
    float scale = 0, h = 0, ox = 0, oy = 0, oz = 0;
    int grdflg = 0, nx = 0, ny = 0, nz = 0;
};

Header text_header(const std::vector<std::string>& l) {
    Header hd;
    float dum;
    int idum, km, one, km2;
    EXPECT_GE(l.size(), 5u);
    hd.title = std::string(trimmed(l[0]));
    fortio::format_read_record("(2e12.6,5i7)", l[1], {&hd.scale, &dum, &hd.grdflg, &idum, &km, &one, &km2});
    fortio::format_read_record("(3i7,4e12.6)", l[2], {&hd.nx, &hd.ny, &hd.nz, &hd.h, &hd.ox, &hd.oy, &hd.oz});
    return hd;
}

// All values of a formatted grid file, in file order.
std::vector<float> text_values(const std::vector<std::string>& l, const Header& hd) {
    std::vector<float> v;
    size_t at = 5;
    const int per = hd.nx * hd.ny, rows = (per + 5) / 6;
    for (int k = 1; k <= hd.nz; ++k) {
        ++at;  // plane record
        for (int r = 0; r < rows && at < l.size(); ++r, ++at) {
            std::istringstream ss(l[at]);
            for (float x; ss >> x;) v.push_back(x);
        }
    }
    return v;
}

// Equal to the 6 significant digits of an e12.6 field.
bool near(float a, float b) { return std::fabs(a - b) <= 6e-6f * std::max(std::fabs(a), std::fabs(b)) + 1e-30f; }

}  // namespace

TEST(Prox, FirstSetAndSecondSetStrictlyWithinTheDistance) {
    Picked zero = proximity("sel1 molecule 1 end sel2 molecule 2 end dist 0.0 end");
    EXPECT_EQ(zero.atoms, (V{1, 2, 3}));
    EXPECT_NE(zero.out.find(" Number of atoms selected by prox:        3\n"), std::string::npos);
    // Atom 5 lies at 2.5 from atom 3, atom 4 at exactly 3.0: below is strict.
    EXPECT_EQ(proximity("dist 3.0 sel2 molecule 2 end sel1 molecule 1 end end").atoms, (V{1, 2, 3, 5}));
    EXPECT_EQ(proximity("sel1 molecule 1 end sel2 molecule 2 end dist 3.01 end").atoms, (V{1, 2, 3, 4, 5}));
    // Unknown words are reported and skipped.
    Picked odd = proximity("sel1 atom 1 end bogus sel2 molecule 2 end dist 100.0 end");
    EXPECT_NE(odd.out.find(" SERIOUS: Prox(991) unknown keyword: bogus\n"), std::string::npos);
    EXPECT_EQ(odd.atoms, (V{1, 4, 5, 6}));
}

TEST(Prox, IncompleteRequestChoosesNothing) {
    Picked p = proximity("sel1 molecule 1 end dist 2.0 end");
    // The message, matched in two pieces.
    EXPECT_NE(p.out.find(" SERIOUS: Prox(992) Incomplete s"), std::string::npos);
    EXPECT_NE(p.out.find(" for operation.\n"), std::string::npos);
    EXPECT_TRUE(p.atoms.empty());
    // At the start-up abort level the run ends there.
    test::Session s("sel2 molecule 1 end end\n");
    build(s.k.mol);
    Arr1<int, maxatm> flags{};
    EXPECT_TRUE(s.ends([&] { prox(s.k, flags); }));
}

TEST_F(Write, CoordinatesReadBackByTheFixedFormatReader) {
    fs::copy_file(source("pdb", "1A8O.pdb"), "x.pdb");
    auto& r = run("read mol 1 fpdb file x.pdb end\n"
                  "write coord sele molecule 1 end file out.pdb end\n"
                  "read mol 2 fpdb file out.pdb end\nstop\n");
    const MoleculeStore& m = r.k.mol;
    ASSERT_EQ(m.nmol, 2);
    ASSERT_GT(m.count(1), 600);
    ASSERT_EQ(m.count(2), m.count(1));
    for (int i = m.fstatm[1], j = m.fstatm[2]; i <= m.lstatm[1]; ++i, ++j) {
        EXPECT_EQ(m.atnam[j], m.atnam[i]) << i;
        EXPECT_EQ(m.resnam[j].view(), m.resnam[i].view().substr(0, 3)) << i;
        EXPECT_EQ(m.resnum[j], m.resnum[i]) << i;
        EXPECT_EQ(m.x[j], m.x[i]) << i;
        EXPECT_EQ(m.y[j], m.y[i]) << i;
        EXPECT_EQ(m.z[j], m.z[i]) << i;
        EXPECT_EQ(m.chain[j], ' ');
    }
    auto l = lines("out.pdb");
    ASSERT_EQ(static_cast<int>(l.size()), m.count(1) + 1);
    EXPECT_EQ(l.back(), "END   ");
    EXPECT_EQ(l[0].substr(6, 5), "    1");  // the global atom number
}

TEST_F(Write, ChargeAndRadiusColumns) {
    put("q.crd", "atom 7 ala ca 1.5 -2.25 10.0 -0.5 1.85\nend\n");
    run("read mol 1 qcard file q.crd end\n"
        "write qrad coord sele molecule 1 end file q.pdb end\n"
        "write coord file n.pdb end\nstop\n");
    // ATOM, 2x, i5, 1x, a4, 1x, a3, 2x, i4, 4x, 3f8.3 [, 2x, 2f8.3]
    const std::string base = std::string("ATOM") + "  " + "    1" + " " + "ca  " + " " + "ala" + "  " + "   7" +
                             "    " + "   1.500" + "  -2.250" + "  10.000";
    auto q = lines("q.pdb");
    ASSERT_EQ(q.size(), 2u);
    EXPECT_EQ(q[0], base + "  " + "  -0.500" + "   1.850");
    EXPECT_EQ(q[0].substr(56, 8), "  -0.500");  // columns 57-64
    EXPECT_EQ(q[0].substr(64, 8), "   1.850");  // columns 65-72
    EXPECT_EQ(lines("n.pdb")[0], base);
}

TEST_F(Write, OpenUnitStaysOpen) {
    put("pair.crd", pair_card);
    auto& r = run("read mol 1 qcard file pair.crd end\n"
                  "open unit 20 fil u.pdb end\n"
                  "write coord sele molecule 1 end unit 20 end\n"
                  "write coord unit 20.2 end\n"  // rounded to 20
                  "close unit 20 end\n"
                  "write coord unit 21 end\n"
                  "stop\n");
    auto u = lines("u.pdb");
    ASSERT_EQ(u.size(), 6u);
    EXPECT_EQ(u[1], "ATOM      2 cl   cl      2       4.000   0.000   0.000");
    EXPECT_EQ(u[2], "END   ");
    EXPECT_EQ(u[4], u[1]);
    EXPECT_EQ(u[5], "END   ");
    // A unit that is not open is refused, not opened on fort.21.
    EXPECT_NE(r.out.str().find(" WARNING: write(040) unit not open for formatted writing: 21\n"),
              std::string::npos);
    EXPECT_FALSE(fs::exists("fort.21"));
}

TEST_F(Write, GridFilesCarryTitleCodeScaleAndOrigin) {
    put("pair.crd", pair_card);
    auto& r = run(std::string(pair_solve) +
                  "write end\nwrite epsc end\nwrite epsi end\nwrite epsj end\nwrite epsk end\n"
                  "write rho end\nwrite exgrid end\nstop\n");
    const GridStore& g = r.k.mess;
    ASSERT_EQ(g.nx, 17);
    struct Want {
        const char* file;
        const char* title;
        int code;
        float scale;
        float dx, dy, dz;
        const std::vector<float>* map;
    };
    const float half = g.h / 2;
    const Want want[] = {
        {"phi.grd", "Potential Grid", 1, 0.0023900573f, 0, 0, 0, &g.phi},
        {"epsc.grd", "EPSC - Dielectric and Ionic Grid", 2, 1745898.875f, 0, 0, 0, &g.diagm},
        {"epsi.grd", "EPSI - X-shifted Dielectric Grid", 3, 1745898.875f, half, 0, 0, &g.epsi},
        {"epsj.grd", "EPSJ - Y-shifted Dielectric Grid", 4, 1745898.875f, 0, half, 0, &g.epsj},
        {"epsk.grd", "EPSK - Z-shifted Dielectric Grid", 5, 1745898.875f, 0, 0, half, &g.epsk},
        {"rho.grd", "RHO - Charge Grid", 6, g.h, 0, 0, 0, &g.rhs},
        {"exgrid.grd", "EXGRID - Solvent Exclusion Grid", 7, 1.0f, 0, 0, 0, &g.iacs},
    };
    for (const Want& w : want) {
        SCOPED_TRACE(w.file);
        auto l = lines(w.file);
        Header hd = text_header(l);
        EXPECT_EQ(hd.title, w.title);
        EXPECT_EQ(hd.grdflg, w.code);
        EXPECT_TRUE(near(hd.scale, w.scale)) << hd.scale;
        EXPECT_EQ(hd.nx, 17);
        EXPECT_EQ(hd.nz, 17);
        EXPECT_TRUE(near(hd.h, g.h));
        EXPECT_TRUE(near(hd.ox, g.xo + w.dx));
        EXPECT_TRUE(near(hd.oy, g.yo + w.dy));
        EXPECT_TRUE(near(hd.oz, g.zo + w.dz));
        auto v = text_values(l, hd);
        ASSERT_EQ(v.size(), 17u * 17 * 17);
        int bad = 0;
        for (int n = 1; n <= g.nxyz; ++n)
            if (!near(v[static_cast<size_t>(n - 1)], w.scale * (*w.map)[static_cast<size_t>(n)])) ++bad;
        EXPECT_EQ(bad, 0);
    }
    // The potential is not trivially zero.
    float big = 0;
    for (int n = 1; n <= g.nxyz; ++n) big = std::max(big, std::fabs(g.phi[static_cast<size_t>(n)]));
    EXPECT_GT(big, 0.0f);
}

TEST_F(Write, BinarySampledAndExclusionAwareGrids) {
    put("pair.crd", pair_card);
    auto& r = run(std::string(pair_solve) +
                  "write epsj binary end\n"
                  "write rho file r2.grd intv 2 end\n"
                  "write phi excl seti 1.0 file x.grd end\n"
                  "write epsc exclusion seti 2.0 file xc.grd end\n"
                  "write end\nwrite end\nstop\n");
    const GridStore& g = r.k.mess;
    // Binary: a 160-byte header record framed by its length.
    std::string b = slurp("epsj.grd");
    ASSERT_GT(b.size(), 168u);
    std::int32_t len, code, nx;
    float scale, oy;
    std::memcpy(&len, b.data(), 4);
    EXPECT_EQ(len, 160);
    EXPECT_EQ(b.substr(4, 32), "EPSJ - Y-shifted Dielectric Grid");
    std::memcpy(&scale, b.data() + 4 + 72, 4);
    std::memcpy(&code, b.data() + 4 + 80, 4);
    std::memcpy(&nx, b.data() + 4 + 100, 4);
    std::memcpy(&oy, b.data() + 4 + 120, 4);
    EXPECT_EQ(scale, 1745898.875f);
    EXPECT_EQ(code, 4);
    EXPECT_EQ(nx, 17);
    EXPECT_EQ(oy, g.yo + g.h / 2);
    // Every second point: 8 points at twice the spacing.
    Header s = text_header(lines("r2.grd"));
    EXPECT_EQ(s.nx, 8);
    EXPECT_EQ(s.nz, 8);
    EXPECT_TRUE(near(s.h, 2 * g.h));
    // Points inside the exclusion region carry the interior value times
    // 0.0023900573 in the file, whatever the map.
    for (const char* f : {"x.grd", "xc.grd"}) {
        SCOPED_TRACE(f);
        const float setint = f[1] == '.' ? 1.0f : 2.0f;
        auto l = lines(f);
        Header hd = text_header(l);
        auto v = text_values(l, hd);
        ASSERT_EQ(v.size(), 17u * 17 * 17);
        const std::vector<float>& map = f[1] == '.' ? g.phi : g.diagm;
        int inside = 0, bad = 0;
        for (int n = 1; n <= g.nxyz; ++n) {
            const float want = std::lround(g.iacs[static_cast<size_t>(n)] / 6.0f) == 1
                                   ? 0.0023900573f * setint
                                   : hd.scale * map[static_cast<size_t>(n)];
            if (std::lround(g.iacs[static_cast<size_t>(n)] / 6.0f) == 1) ++inside;
            if (!near(v[static_cast<size_t>(n - 1)], want)) ++bad;
        }
        EXPECT_GT(inside, 0);
        EXPECT_EQ(bad, 0);
    }
    const std::string o = r.out.str();
    EXPECT_NE(o.find("  Interior points set to               (setint #.#) :0.2390E-02\n"), std::string::npos);
    EXPECT_NE(o.find("  Interior points set to               (setint #.#) :0.4780E-02\n"), std::string::npos);
    // The second plain write finds phi.grd and takes the next free name.
    EXPECT_TRUE(fs::exists("phi.grd"));
    EXPECT_TRUE(fs::exists("phi.grd1"));
    EXPECT_EQ(slurp("phi.grd"), slurp("phi.grd1"));
}

TEST_F(Write, SurfacePointsOutsideTheExclusionRegion) {
    put("pair.crd", pair_card);
    auto& r = run(std::string(pair_solve) + "write surf end\nstop\n");
    const GridStore& g = r.k.mess;
    std::string b = slurp("kova.srf");
    // First record: one integer 0.
    std::int32_t len, v0;
    std::memcpy(&len, b.data(), 4);
    std::memcpy(&v0, b.data() + 4, 4);
    ASSERT_EQ(len, 4);
    EXPECT_EQ(v0, 0);
    size_t at = 12;
    int records = 0, mismatched = 0;
    for (int i = 1; i <= g.nx; ++i)
        for (int j = 1; j <= g.ny; ++j)
            for (int k = 1; k <= g.nz; ++k) {
                const int l = g.index(i, j, k);
                if (!(g.iacs[static_cast<size_t>(l)] < 6.0f)) continue;
                ASSERT_LE(at + 36, b.size());
                std::int32_t n, a[3];
                float f[4];
                std::memcpy(&n, b.data() + at, 4);
                std::memcpy(a, b.data() + at + 4, 12);
                std::memcpy(f, b.data() + at + 16, 16);
                const bool ok = n == 28 && a[0] == 0 && a[1] == 0 && a[2] == 1 &&
                                f[0] == g.xo + static_cast<float>(i) * g.h &&
                                f[1] == g.yo + static_cast<float>(j) * g.h &&
                                f[2] == g.zo + static_cast<float>(k) * g.h &&
                                f[3] == g.phi[static_cast<size_t>(l)] * 0.0023900573f;
                if (!ok) ++mismatched;
                at += 36;
                ++records;
            }
    EXPECT_EQ(at, b.size());
    EXPECT_EQ(mismatched, 0);
    EXPECT_GT(records, 0);
    EXPECT_LT(records, g.nxyz);  // the ions exclude some points
}

TEST(VectorMap, CodesDirectionsAndBricks) {
    // phi = i along x on a 7 x 3 x 2 grid, c = 2: c phi runs 2..14, the field
    // -c dphi/dx points down x everywhere (one-sided on the end planes too).
    const int nx = 7, ny = 3, nz = 2, n = nx * ny * nz;
    std::vector<float> phi(n + 1), ex(n + 1, 0.0f);
    for (int k = 1; k <= nz; ++k)
        for (int j = 1; j <= ny; ++j)
            for (int i = 1; i <= nx; ++i) phi[i + nx * (j - 1) + nx * ny * (k - 1)] = static_cast<float>(i);
    ex[2] = 6.0f;  // point (2,1,1) inside the exclusion region
    VectorMap v;
    v.nx = nx, v.ny = ny, v.nz = nz, v.h = 0.5f;
    std::vector<std::int16_t> code(n + 1);
    std::vector<std::int8_t> dir(3 * (n + 1));
    vecmap(v, phi.data(), ex.data(), 2.0f, code.data(), dir.data());
    EXPECT_EQ(v.kept, n - 1);
    EXPECT_EQ(v.excluded, 1);
    EXPECT_EQ(v.amax, 14.0f);
    EXPECT_EQ(v.amin, 2.0f);
    // code = nint((2 i - 2) h / 14 x 1000)
    EXPECT_EQ(code[1], 0);
    EXPECT_EQ(code[3], static_cast<int>(std::lround(4.0 * 0.5 / 14.0 * 1000.0)));
    EXPECT_EQ(code[7], static_cast<int>(std::lround(12.0 * 0.5 / 14.0 * 1000.0)));
    EXPECT_EQ(code[2], 0);
    for (int l : {1, 4, 7, 8, n}) {
        EXPECT_EQ(dir[3 * l], -127) << l;
        EXPECT_EQ(dir[3 * l + 1], 0);
        EXPECT_EQ(dir[3 * l + 2], 0);
    }
    EXPECT_EQ(dir[6], 0);
    // Bricks: (7-2)/5+1 = 2 along x, 1 along y and z; each brick is 10
    // records after the identification, 3 text and geometry records.
    std::string img = brkmap(v, "Potential Field Vector");
    EXPECT_EQ(img.size(), 108u * (5 + 10 * 2));
    EXPECT_EQ(img.substr(0, 7), "mbk_1.0");
    EXPECT_EQ(img.substr(2 * 108, 54), "HEADERENERGY              S2                          ");
    EXPECT_EQ(img.substr(3 * 108, 54), "HEADER VECTOR  ORIENTATIONV2 1.270000E+02 0.000000E+00");
    std::int32_t geo[7];
    std::memcpy(geo, img.data() + 4 * 108, sizeof geo);
    EXPECT_EQ(geo[1], 2);
    EXPECT_EQ(geo[2], 1);
    EXPECT_EQ(geo[4], 7);
    // Second brick along x starts at i = 6: its first point is (6,1,1),
    // its third (8,1,1) lies beyond the grid.
    const char* b2 = img.data() + 108 * 15;
    std::int16_t c6, c8;
    std::memcpy(&c6, b2, 2);
    std::memcpy(&c8, b2 + 4, 2);
    EXPECT_EQ(c6, code[6]);
    EXPECT_EQ(c8, 0);
    // A potential zero everywhere codes as zero, with no direction.
    std::fill(phi.begin(), phi.end(), 0.0f);
    vecmap(v, phi.data(), ex.data(), 2.0f, code.data(), dir.data());
    EXPECT_EQ(v.scale, 0.0f);
    EXPECT_EQ(code[5], 0);
    EXPECT_EQ(dir[15], 0);
}

TEST(VectorMap, MeanAndSampleDeviation) {
    double mean, sd;
    EXPECT_TRUE(mnstd(3, 6.0, 14.0, mean, sd));  // 1, 2, 3
    EXPECT_DOUBLE_EQ(mean, 2.0);
    EXPECT_DOUBLE_EQ(sd, 1.0);
    EXPECT_FALSE(mnstd(2, 3.0, 5.0, mean, sd));
    EXPECT_EQ(nblen("abc  "), 3);
    EXPECT_EQ(nblen("    "), 0);
}

TEST_F(Write, ShiftedMapReadBackRestoresTheGridOrigin) {
    put("pair.crd", pair_card);
    test::Session& w = run(std::string(pair_solve) + "write epsj binary end\nwrite epsk end\nstop\n");
    const float xo = w.k.mess.xo, yo = w.k.mess.yo, zo = w.k.mess.zo;
    std::vector<float> epsk(w.k.mess.epsk.begin(), w.k.mess.epsk.begin() + w.k.mess.nxyz + 1);
    for (const char* read : {"read epsj binary file epsj.grd end\nstop\n", "read epsk file epsk.grd end\nstop\n"}) {
        SCOPED_TRACE(read);
        const GridStore& g = run(read).k.mess;
        EXPECT_NEAR(g.xorep, xo, 1e-5f);
        EXPECT_NEAR(g.yorep, yo, 1e-5f);
        EXPECT_NEAR(g.zorep, zo, 1e-5f);
        EXPECT_EQ(g.nzrep, 17);
    }
    int bad = 0;
    for (size_t n = 1; n < epsk.size(); ++n) bad += !near(s->k.mess.epsk[n], epsk[n]);
    EXPECT_EQ(bad, 0);
}
