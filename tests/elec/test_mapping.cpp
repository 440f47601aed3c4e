// Charge, dielectric and ion-exclusion mapping, checked against geometry
// worked out independently: chord lengths of spheres on grid lines, direct
// counts of grid points, hand sums of the finite-difference diagonal, and
// Monte Carlo volumes of barnase.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iomanip>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "../command/harness.hpp"
#include "elec/elec.hpp"

namespace kova {
namespace {

constexpr float ei = 2.0f * eps0;   // interior permittivity
constexpr float eo = 80.0f * eps0;  // solvent permittivity

// Permittivity of a segment a fraction f of which lies in a body of
// permittivity in, the rest in out: 1/eps = f/in + (1 - f)/out.
double harmonic(double f, double in = ei, double out = eo) { return 1.0 / (f / in + (1.0 - f) / out); }

// Part of the segment [s, s + 1] inside the interval [a, b].
double overlap(double s, double a, double b) { return std::max(0.0, std::min(s + 1.0, b) - std::max(s, a)); }

class Mapping : public ::testing::Test {
protected:
    std::unique_ptr<test::Session> s = std::make_unique<test::Session>();
    Kova& k = s->k;
    GridStore& g = k.mess;

    void SetUp() override {
        k.env.epsint = ei;
        k.env.epsout = eo;
        grid(65, 65, 65, 1.0f, 0.0f, 0.0f, 0.0f);
    }

    // A fresh grid as the set-up leaves it before mapping: every staggered
    // point in solvent, boundary faces 0, scratch and system maps 0.
    void grid(int nx, int ny, int nz, float h, float xo, float yo, float zo) {
        g.nx = nx;
        g.ny = ny;
        g.nz = nz;
        g.update_counts();
        g.h = h;
        g.xo = xo;
        g.yo = yo;
        g.zo = zo;
        for (auto* m : {&g.epsi, &g.epsj, &g.epsk}) std::fill(m->begin(), m->end(), eo);
        for (auto* m : {&g.work, &g.iacs, &g.diagm, &g.rhs}) std::fill(m->begin(), m->end(), 0.0f);
        for (int k3 = 1; k3 <= nz; ++k3)
            for (int j = 1; j <= ny; ++j)
                for (int i = 1; i <= nx; ++i) {
                    if (i == nx) g.epsi[g.index(i, j, k3)] = 0;
                    if (j == ny) g.epsj[g.index(i, j, k3)] = 0;
                    if (k3 == nz) g.epsk[g.index(i, j, k3)] = 0;
                }
    }

    // Appends an atom to molecule 1 (selected unless told otherwise).
    int atom(float x, float y, float z, float r, float q = 0.0f, bool sel = true) {
        MoleculeStore& m = k.mol;
        int a = ++m.natom;
        m.nmol = std::max(m.nmol, 1);
        m.fstatm[1] = 1;
        m.lstatm[m.nmol] = a;
        m.x[a] = x;
        m.y[a] = y;
        m.z[a] = z;
        m.radi[a] = r;
        m.chrg[a] = q;
        m.resnam[a] = Name4("ala");
        m.resnum[a] = a;
        g.isel[a] = sel ? 1 : 0;
        return a;
    }

    float& map(int axis, int i, int j, int k3) {
        auto& m = axis == 0 ? g.epsi : axis == 1 ? g.epsj : g.epsk;
        return m[g.index(i, j, k3)];
    }
    std::string output() {
        k.units.flush();
        return s->out.str();
    }
};

// --- Dielectric maps of single atoms and pairs ------------------------------

TEST_F(Mapping, AtomOnGridPointWithAndWithoutSmoothing) {
    atom(33, 33, 33, 1.9f);
    g.smvdw = false;
    excr(k);
    for (int ax = 0; ax < 3; ++ax) {
        auto at = [&](int n) -> float& {
            return ax == 0 ? map(0, n, 33, 33) : ax == 1 ? map(1, 33, n, 33) : map(2, 33, 33, n);
        };
        for (int n = 31; n <= 34; ++n) EXPECT_EQ(at(n), ei) << "axis " << ax << " point " << n + 0.5;
        EXPECT_EQ(at(30), eo);
        EXPECT_EQ(at(35), eo);
    }

    grid(65, 65, 65, 1.0f, 0, 0, 0);
    g.smvdw = true;
    excr(k);
    for (int ax = 0; ax < 3; ++ax) {
        auto at = [&](int n) -> float& {
            return ax == 0 ? map(0, n, 33, 33) : ax == 1 ? map(1, 33, n, 33) : map(2, 33, 33, n);
        };
        EXPECT_EQ(at(32), ei);
        EXPECT_EQ(at(33), ei);
        EXPECT_NEAR(at(31) / harmonic(0.9), 1.0, 1e-5) << "axis " << ax;
        EXPECT_NEAR(at(34) / harmonic(0.9), 1.0, 1e-5) << "axis " << ax;
        EXPECT_EQ(at(30), eo);
        EXPECT_EQ(at(35), eo);
        // The crossing atom owns the two cut segments.
        const int l31 = ax == 0 ? g.index(31, 33, 33) : ax == 1 ? g.index(33, 31, 33) : g.index(33, 33, 31);
        const int l34 = ax == 0 ? g.index(34, 33, 33) : ax == 1 ? g.index(33, 34, 33) : g.index(33, 33, 34);
        EXPECT_EQ(g.owner[2 * ax][l31], 1);
        EXPECT_EQ(g.owner[2 * ax + 1][l34], 1);
        EXPECT_EQ(g.owner[2 * ax][g.index(33, 33, 33)], 0);
    }
}

// Every staggered point of all three maps against the exact part of its
// segment inside one sphere (centre off the lattice, so no ties).
TEST_F(Mapping, SingleSphereMatchesChordGeometryEverywhere) {
    const float cf[3] = {33.37f, 32.81f, 33.13f}, rf = 2.73f;
    const double c[3] = {cf[0], cf[1], cf[2]}, r = rf;
    atom(cf[0], cf[1], cf[2], rf);
    for (bool smooth : {false, true}) {
        grid(65, 65, 65, 1.0f, 0, 0, 0);
        g.smvdw = smooth;
        excr(k);
        int cut = 0, inside = 0;
        for (int ax = 0; ax < 3; ++ax) {
            const int b = (ax + 1) % 3, cc = (ax + 2) % 3;
            for (int p = 25; p <= 41; ++p)
                for (int q = 25; q <= 41; ++q)
                    for (int n = 25; n <= 41; ++n) {
                        int ijk[3];
                        ijk[ax] = n;
                        ijk[b] = p;
                        ijk[cc] = q;
                        const double d2 = (p - c[b]) * (p - c[b]) + (q - c[cc]) * (q - c[cc]);
                        const double half = d2 < r * r ? std::sqrt(r * r - d2) : -1.0;
                        const float got = map(ax, ijk[0], ijk[1], ijk[2]);
                        if (!smooth) {
                            const double mid = n + 0.5;
                            const bool in = half >= 0 && std::fabs(mid - c[ax]) < half;
                            EXPECT_EQ(got, in ? ei : eo) << ax << ' ' << ijk[0] << ' ' << ijk[1] << ' ' << ijk[2];
                            inside += in;
                        } else {
                            const double f = half >= 0 ? overlap(n, c[ax] - half, c[ax] + half) : 0.0;
                            // The inside fraction the map value stands for.
                            const double fgot = (1.0 / got - 1.0 / eo) / (1.0 / ei - 1.0 / eo);
                            EXPECT_NEAR(fgot, std::min(f, 1.0), 2e-5)
                                << ax << ' ' << ijk[0] << ' ' << ijk[1] << ' ' << ijk[2];
                            if (f <= 0) {
                                EXPECT_EQ(got, eo);
                            } else if (f >= 1) {
                                EXPECT_EQ(got, ei);
                            }
                            cut += f > 0 && f < 1;
                        }
                    }
        }
        if (smooth)
            EXPECT_GT(cut, 100);
        else
            EXPECT_GT(inside, 200);
    }
}

// A line that grazes the sphere with a chord inside one segment: the segment
// is covered by the chord, not filled.
TEST_F(Mapping, GrazingChordInsideOneSegment) {
    const double dy = std::sqrt(1.9 * 1.9 - 0.1 * 0.1);  // chord half-length 0.1 on line y = 33
    atom(33.5f, static_cast<float>(33.0 + dy), 20.0f, 1.9f);
    g.smvdw = true;
    excr(k);
    const double yg = static_cast<float>(33.0 + dy);
    const double chord = 2.0 * std::sqrt(1.9 * 1.9 - (yg - 33.0) * (yg - 33.0));
    EXPECT_NEAR(map(0, 33, 33, 20) / harmonic(chord), 1.0, 1e-4);
    EXPECT_EQ(map(0, 32, 33, 20), eo);
    EXPECT_EQ(map(0, 34, 33, 20), eo);
    EXPECT_EQ(g.owner[0][g.index(33, 33, 20)], 1);
}

// Two atoms on one line, their surfaces crossing segment 32 (32..33).
TEST_F(Mapping, CrossingsOfTwoAtomsInOneSegment) {
    const int l = g.index(32, 33, 33);
    auto pair = [&](float x1, float r1, float x2, float r2, bool olds = false) {
        grid(65, 65, 65, 1.0f, 0, 0, 0);
        k.mol.natom = 0;
        atom(x1, 33, 33, r1);
        atom(x2, 33, 33, r2);
        g.smvdw = true;
        g.olds = olds;
        excr(k);
        return g.epsi[l];
    };
    // From both sides, 0.6 (atom 1 ends at 32.6) and 0.5 (atom 2 starts at
    // 32.5): together the whole segment.
    EXPECT_EQ(pair(30, 2.6f, 35, 2.5f), ei);
    EXPECT_EQ(g.owner[0][l], 0);
    EXPECT_EQ(g.owner[1][l], 0);
    // From both sides, 0.3 and 0.4: 0.7 inside, each side owned by its atom.
    EXPECT_NEAR(pair(30, 2.3f, 35, 2.4f) / harmonic(0.7), 1.0, 1e-5);
    EXPECT_EQ(g.owner[0][l], 2);
    EXPECT_EQ(g.owner[1][l], 1);
    // olds: a second crossing makes the point interior at once.
    EXPECT_EQ(pair(30, 2.3f, 35, 2.4f, true), ei);
    // Nested, from the same side, 0.6 and 0.7: the union is 0.7 in either
    // order, owned by the atom reaching further.
    EXPECT_NEAR(pair(35, 2.6f, 36, 3.7f) / harmonic(0.7), 1.0, 1e-5);
    EXPECT_EQ(g.owner[0][l], 2);
    EXPECT_NEAR(pair(36, 3.7f, 35, 2.6f) / harmonic(0.7), 1.0, 1e-5);
    EXPECT_EQ(g.owner[0][l], 1);
}

TEST_F(Mapping, OnlySelectedAtomsAndNeverTheBoundaryFace) {
    atom(2.0f, 30, 30, 3.0f);
    atom(63.5f, 30, 30, 3.0f);
    atom(30, 63.5f, 20, 3.0f);
    atom(20, 20, 63.5f, 3.0f);
    atom(40, 40, 40, 3.0f, 0.0f, false);
    g.smvdw = true;
    excr(k);
    EXPECT_EQ(map(0, 40, 40, 40), eo);
    EXPECT_EQ(map(0, 1, 30, 30), ei);
    EXPECT_EQ(map(0, 64, 30, 30), ei);
    EXPECT_EQ(map(0, 65, 30, 30), 0.0f);  // boundary faces untouched
    EXPECT_EQ(map(1, 30, 64, 20), ei);
    EXPECT_EQ(map(1, 30, 65, 20), 0.0f);
    EXPECT_EQ(map(2, 20, 20, 64), ei);
    EXPECT_EQ(map(2, 20, 20, 65), 0.0f);
}

// --- Charges -----------------------------------------------------------------

TEST_F(Mapping, ChargeSpreading) {
    grid(65, 65, 65, 0.5f, 0, 0, 0);
    auto total = [&] {
        double t = 0;
        for (int l = 1; l <= g.nxyz; ++l) t += g.rhs[l];
        return t;
    };
    auto nonzero = [&] {
        int n = 0;
        for (int l = 1; l <= g.nxyz; ++l) n += g.rhs[l] != 0.0f;
        return n;
    };

    // On grid point (10, 20, 30): everything there, 1/h.
    atom(5.0f, 10.0f, 15.0f, 1.5f, 1.0f);
    charge(k);
    EXPECT_FLOAT_EQ(g.rhs[g.index(10, 20, 30)], 2.0f);
    EXPECT_EQ(nonzero(), 1);

    // General position (10.25, 20.5, 30.75): trilinear weights.
    grid(65, 65, 65, 0.5f, 0, 0, 0);
    k.mol.x[1] = 5.125f;
    k.mol.y[1] = 10.25f;
    k.mol.z[1] = 15.375f;
    k.mol.chrg[1] = -0.7f;
    charge(k);
    const double wx[2] = {0.75, 0.25}, wy[2] = {0.5, 0.5}, wz[2] = {0.25, 0.75};
    for (int a = 0; a < 2; ++a)
        for (int b = 0; b < 2; ++b)
            for (int c = 0; c < 2; ++c)
                EXPECT_NEAR(g.rhs[g.index(10 + a, 20 + b, 30 + c)], -0.7 * wx[a] * wy[b] * wz[c] / 0.5, 1e-6);
    EXPECT_EQ(nonzero(), 8);
    EXPECT_NEAR(total(), -0.7 / 0.5, 1e-6);

    // Half a step beyond the last plane: the share on the missing plane is lost.
    grid(65, 65, 65, 0.5f, 0, 0, 0);
    k.mol.x[1] = 32.75f;  // x grid coordinate 65.5
    k.mol.y[1] = 10.0f;
    k.mol.z[1] = 15.0f;
    k.mol.chrg[1] = 1.0f;
    charge(k);
    EXPECT_FLOAT_EQ(g.rhs[g.index(65, 20, 30)], 1.0f);
    EXPECT_NEAR(total(), 0.5 * 1.0 / 0.5, 1e-6);

    // Half a step before the first plane: half on plane 1.
    grid(65, 65, 65, 0.5f, 0, 0, 0);
    k.mol.x[1] = 0.25f;
    charge(k);
    EXPECT_FLOAT_EQ(g.rhs[g.index(1, 20, 30)], 1.0f);
    EXPECT_NEAR(total(), 1.0, 1e-6);

    // Wholly below the first plane: nothing, and never a negative share.
    grid(65, 65, 65, 0.5f, 0, 0, 0);
    k.mol.x[1] = -0.25f;
    charge(k);
    EXPECT_EQ(nonzero(), 0);

    // Unselected atoms and uncharged atoms add nothing.
    grid(65, 65, 65, 0.5f, 0, 0, 0);
    k.mol.x[1] = 5.0f;
    g.isel[1] = 0;
    atom(6.0f, 6.0f, 6.0f, 1.0f, 0.0f);
    charge(k);
    EXPECT_EQ(nonzero(), 0);
}

// --- Ion exclusion and the diagonal -----------------------------------------

TEST_F(Mapping, IonExclusionSphere) {
    const double c[3] = {33.3, 32.8, 33.1};
    auto direct = [&](double r) {
        int n = 0;
        for (int kk = 1; kk <= 65; ++kk)
            for (int j = 1; j <= 65; ++j)
                for (int i = 1; i <= 65; ++i) {
                    double d2 = (i - c[0]) * (i - c[0]) + (j - c[1]) * (j - c[1]) + (kk - c[2]) * (kk - c[2]);
                    n += d2 < r * r;
                }
        return n;
    };
    auto marked = [&] {
        int n = 0;
        for (int l = 1; l <= g.nxyz; ++l) {
            EXPECT_TRUE(g.iacs[l] == 0.0f || g.iacs[l] == 6.0f);
            n += g.iacs[l] == 6.0f;
        }
        return n;
    };
    atom(33.3f, 32.8f, 33.1f, 1.9f);
    excbd(k, 1, 0.0f);  // rion 0: the atom sphere itself
    EXPECT_EQ(marked(), direct(1.9));
    EXPECT_GT(marked(), 20);
    grid(65, 65, 65, 1.0f, 0, 0, 0);
    excbd(k, 1, 1.4f);
    EXPECT_EQ(marked(), direct(3.3));
    EXPECT_EQ(g.iacs[g.index(33, 33, 33)], 6.0f);
    EXPECT_EQ(g.iacs[g.index(37, 33, 33)], 0.0f);

    // A sphere sticking out of the grid is cut, not wrapped.
    grid(65, 65, 65, 1.0f, 0, 0, 0);
    k.mol.x[1] = 1.0f;
    excbd(k, 1, 0.0f);
    EXPECT_EQ(g.iacs[g.index(65, 32, 33)], 0.0f);
    EXPECT_EQ(g.iacs[g.index(65, 31, 33)], 0.0f);
    EXPECT_EQ(g.iacs[g.index(1, 33, 33)], 6.0f);
}

TEST_F(Mapping, DiagonalOnSmallGrid) {
    grid(3, 3, 3, 0.8f, 0, 0, 0);
    // Distinct values everywhere, the boundary faces included, so that a
    // face outside the grid would show.
    auto fill = [&] {
        for (int l = 1; l <= 27; ++l) {
            g.epsi[l] = 1.0f + 0.01f * l;
            g.epsj[l] = 2.0f + 0.013f * l;
            g.epsk[l] = 3.0f + 0.017f * l;
            g.diagm[l] = 0.5f * l;
            g.iacs[l] = (l % 3 == 0) ? 6.0f : (l % 3 == 1 ? 0.0f : 3.0f);
        }
    };
    k.env.epsout = 80.0f;
    k.env.kappa = 0.3f;
    // Direct sum: for every neighbour inside the grid, the face between the
    // two points is held by the map of that axis at the lower point.
    auto expect = [&](int i, int j, int kk, bool ionic) {
        auto at = [](int a, int b, int c) { return a + 3 * (b - 1) + 9 * (c - 1); };
        const int l = at(i, j, kk);
        double d = 0.5 * l;
        auto ex = [&](int a, int b, int c) { return 1.0 + 0.01 * at(a, b, c); };
        auto ey = [&](int a, int b, int c) { return 2.0 + 0.013 * at(a, b, c); };
        auto ez = [&](int a, int b, int c) { return 3.0 + 0.017 * at(a, b, c); };
        if (i > 1) d += ex(i - 1, j, kk);
        if (i < 3) d += ex(i, j, kk);
        if (j > 1) d += ey(i, j - 1, kk);
        if (j < 3) d += ey(i, j, kk);
        if (kk > 1) d += ez(i, j, kk - 1);
        if (kk < 3) d += ez(i, j, kk);
        const double acc = l % 3 == 0 ? 0.0 : (l % 3 == 1 ? 1.0 : 0.5);
        if (ionic) d += acc * 80.0 * (0.8 * 0.3) * (0.8 * 0.3);
        return d;
    };
    for (int nonl : {0, -1, 1}) {
        fill();
        g.nonl = nonl;
        excrc(k);
        for (int kk = 1; kk <= 3; ++kk)
            for (int j = 1; j <= 3; ++j)
                for (int i = 1; i <= 3; ++i)
                    EXPECT_NEAR(g.diagm[g.index(i, j, kk)], expect(i, j, kk, nonl == 0), 2e-5)
                        << "nonl " << nonl << " at " << i << j << kk;
    }
    // The centre point of a 3x3x3 grid has all six faces: 6 + two of each.
    fill();
    g.nonl = -1;
    excrc(k);
    EXPECT_NEAR(g.diagm[14], 7.0 + (1.0 + 0.13 + 1.0 + 0.14) + (2.0 + 0.013 * 11 + 2.0 + 0.013 * 14) +
                                 (3.0 + 0.017 * 5 + 3.0 + 0.017 * 14),
                2e-5);
    // No salt: no ionic term whatever iacs holds.
    fill();
    g.nonl = 0;
    k.env.kappa = 0.0f;
    excrc(k);
    EXPECT_NEAR(g.diagm[14], expect(2, 2, 2, false), 2e-5);
}

// --- Unit sphere and surface dots -------------------------------------------

TEST(Sphere, PointCountsAndUnitLength) {
    std::vector<float> x(maxsph), y(maxsph), z(maxsph);
    for (auto [req, want] : {std::pair{100, 80}, {200, 182}, {1000, 996}}) {
        int n = sphere(x.data(), y.data(), z.data(), req);
        EXPECT_EQ(n, want) << req;
        double sx = 0, sy = 0, sz = 0;
        for (int p = 0; p < n; ++p) {
            EXPECT_NEAR(x[p] * x[p] + y[p] * y[p] + z[p] * z[p], 1.0, 1e-6);
            sx += x[p];
            sy += y[p];
            sz += z[p];
        }
        // Rings symmetric about the equator, full circles: centroid near 0
        // (the south pole is never a point, so z leans a little).
        EXPECT_NEAR(sx / n, 0.0, 1e-5);
        EXPECT_NEAR(sy / n, 0.0, 1e-5);
        EXPECT_LT(std::fabs(sz / n), 0.05);
    }
    EXPECT_LE(sphere(x.data(), y.data(), z.data(), maxsph), maxsph);
    EXPECT_EQ(sphere(x.data(), y.data(), z.data(), 0), 0);
    EXPECT_EQ(sphere(x.data(), y.data(), z.data(), -5), 0);
    EXPECT_GT(sphere(x.data(), y.data(), z.data(), 20000), maxsph);  // counted, not stored
}

TEST_F(Mapping, SurfaceDotsOfIsolatedAndTouchingAtoms) {
    atom(10, 10, 10, 2.0f);
    int n = srsrf(k, 200, 1.4f);
    EXPECT_EQ(n, 182);
    EXPECT_EQ(g.ndot, 182);
    for (int d = 1; d <= n; ++d) {
        double dx = g.dotx[d] - 10, dy = g.doty[d] - 10, dz = g.dotz[d] - 10;
        EXPECT_NEAR(std::sqrt(dx * dx + dy * dy + dz * dz), 3.4, 1e-4);
        EXPECT_EQ(g.dotown[d], 1);
    }
    const double pi = 3.14159265358979;
    EXPECT_NEAR(k.mol.vdwsa[1], 4 * pi * 4.0, 1e-3);
    EXPECT_NEAR(k.mol.accsa[1], 4 * pi * 3.4 * 3.4, 1e-3);
    EXPECT_NEAR(k.mol.srfnrg[1], 4 * pi * 3.4 * 3.4, 1e-3);

    // A second atom 3 A away buries the points of the first within its own
    // expanded sphere, and nothing else.
    atom(13, 10, 10, 1.5f);
    n = srsrf(k, 200, 1.4f);
    std::vector<float> px(maxsph), py(maxsph), pz(maxsph);
    int np = sphere(px.data(), py.data(), pz.data(), 200);
    int free1 = 0, free2 = 0;
    for (int p = 0; p < np; ++p) {
        double ax = 3.4 * px[p] - 3.0, ay = 3.4 * py[p], az = 3.4 * pz[p];
        free1 += ax * ax + ay * ay + az * az >= 2.9 * 2.9;
        double bx = 2.9 * px[p] + 3.0, by = 2.9 * py[p], bz = 2.9 * pz[p];
        free2 += bx * bx + by * by + bz * bz >= 3.4 * 3.4;
    }
    EXPECT_EQ(n, free1 + free2);
    for (int d = 1; d <= n; ++d) {
        int own = g.dotown[d], other = 3 - own;
        double dx = g.dotx[d] - k.mol.x[other], dy = g.doty[d] - 10, dz = g.dotz[d] - 10;
        EXPECT_GT(std::sqrt(dx * dx + dy * dy + dz * dz), k.mol.radi[other] + 1.4 - 1e-3);
    }
    EXPECT_EQ(g.nnbr[1], 1);
    EXPECT_EQ(g.nbr[1][0], 2);
    EXPECT_EQ(g.nnbr[2], 1);
    EXPECT_EQ(g.nbr[2][0], 1);
    EXPECT_NEAR(k.mol.vdwsa[1], 4 * pi * 4.0 * free1 / np, 1e-3);

    // Unselected atoms neither get dots nor bury.
    g.isel[2] = 0;
    EXPECT_EQ(srsrf(k, 200, 1.4f), 182);
}

TEST_F(Mapping, TooManySpherePoints) {
    atom(10, 10, 10, 2.0f);
    k.flags.bomb = 3;
    std::vector<float> px(maxsph), py(maxsph), pz(maxsph);
    const int made = sphere(px.data(), py.data(), pz.data(), 10000);
    int n = srsrf(k, 10000, 1.4f);
    EXPECT_EQ(n, sphere(px.data(), py.data(), pz.data(), maxsph));
    std::ostringstream want;
    want << " WARNING: sphere (010)Too many atom sphere points.  nspha:" << std::setw(10) << made
         << "   maxsph:      5000\n";
    EXPECT_EQ(output(), want.str());
    k.flags.bomb = 2;
    EXPECT_TRUE(s->ends([&] { srsrf(k, 10000, 1.4f); }));
}

// The fatal conditions of the surface search end the run at any abort
// level, with their counts.
TEST(Surface, FatalConditions) {
    auto run = [](auto place, int nsph) {
        test::Session s;
        Kova& k = s.k;
        k.flags.bomb = 5;
        auto atom = [&](double x, double y, double z, float r) {
            int a = ++k.mol.natom;
            k.mol.x[a] = static_cast<float>(x), k.mol.y[a] = static_cast<float>(y), k.mol.z[a] = static_cast<float>(z);
            k.mol.radi[a] = r;
            k.mol.resnam[a] = Name4("ala");
            k.mol.resnum[a] = a;
            k.mess.isel[a] = 1;
        };
        place(atom);
        EXPECT_TRUE(s.ends([&] { srsrf(k, nsph, 1.4f); }));
        k.units.flush();
        return s.listing();
    };
    EXPECT_EQ(run([](auto atom) { atom(10, 10, 10, 2.0f), atom(12, 10, 10, -1.0f); }, 200),
              " FATAL_ERROR: Apparent undefined radius in srsrf.     2 ala     2\n");
    EXPECT_EQ(run([](auto atom) { for (int a = 0; a < 501; ++a) atom(10, 10, 10, 1.0f); }, 10),
              " FATAL_ERROR: too many atoms for cube grid point:     501\n");
    // 100 tiny atoms spread over the accessible sphere of a large one: each
    // buries a patch of its points of its own.
    EXPECT_EQ(run(
                  [](auto atom) {
                      atom(0, 0, 0, 5.0f);
                      const double golden = 3.14159265358979 * (3.0 - std::sqrt(5.0));
                      for (int i = 0; i < 100; ++i) {
                          double z = 1.0 - (i + 0.5) * 2.0 / 100, rr = std::sqrt(1 - z * z), phi = golden * i;
                          atom(6.4 * rr * std::cos(phi), 6.4 * rr * std::sin(phi), 6.4 * z, 0.1f);
                      }
                  },
                  5000),
              " FATAL_ERROR: Exceeded dimension of neighbor array in srsrf.    76    75\n");
    // 120 isolated atoms of 996 dots each.
    auto spread = [](auto atom) {
        for (int a = 0; a < 120; ++a) atom(10 * (a % 10), 10 * (a / 10 % 4), 10 * (a / 40), 1.0f);
    };
    EXPECT_EQ(run(spread, 1000),
              " FATAL_ERROR: number of surface points exceedingdimension of surface array:  100001\n");
}

// --- Probe correction ----------------------------------------------------------

// Two spheres of radius 1.6 with centres 3.6 A apart leave a 0.4 A gap that
// no probe of radius 1.4 can enter: the probe surface fills it.
TEST_F(Mapping, ProbeSurfaceFillsTheCrevice) {
    grid(65, 65, 65, 0.5f, 0, 0, 0);
    // Midpoint at x grid coordinate 30.5 (staggered point epsi(30, 33, 33)).
    const float mx = 15.25f, my = 16.5f, mz = 16.5f;
    atom(mx, my - 1.8f, mz, 1.6f);
    atom(mx, my + 1.8f, mz, 1.6f);
    for (bool smooth : {false, true}) {
        grid(65, 65, 65, 0.5f, 0, 0, 0);
        g.newmap = false;
        g.rsolv = 0.0f;
        g.smvdw = smooth;
        g.smprb = false;
        excr(k);
        EXPECT_EQ(map(0, 30, 33, 33), eo) << smooth;
        EXPECT_EQ(map(0, 30, 33 - 4, 33), ei) << smooth;  // inside atom 1 (y 14.5)

        grid(65, 65, 65, 0.5f, 0, 0, 0);
        g.newmap = true;
        g.rsolv = 1.4f;
        g.smvdw = false;
        g.smprb = smooth;
        excr(k);
        srsrf(k, 200, 1.4f);
        exsrf(k);
        EXPECT_EQ(map(0, 30, 33, 33), ei) << smooth;
        EXPECT_EQ(map(1, 30, 33, 33), ei) << smooth;
        EXPECT_EQ(map(2, 30, 33, 33), ei) << smooth;
        EXPECT_EQ(map(0, 30, 33 - 4, 33), ei) << smooth;
        // 0.6 A beyond atom 1 on its open side (y 12.5): inside its
        // accessible sphere, but a probe touching it there reaches it.
        EXPECT_EQ(map(0, 30, 25, 33), eo) << smooth;
        // Far out: solvent.
        EXPECT_EQ(map(0, 10, 10, 10), eo) << smooth;
    }
}

// Owners after the probe correction are dot numbers, which exceed 16 bits on
// large molecules.
TEST_F(Mapping, ProbeOwnersHoldLargeDotNumbers) {
    for (auto* m : {&g.epsi, &g.epsj, &g.epsk}) std::fill(m->begin() + 1, m->begin() + 1 + g.nxyz, ei);
    g.rsolv = 1.4f;
    g.smprb = true;
    g.ndot = 70000;
    for (int d = 1; d < g.ndot; ++d) g.dotx[d] = g.doty[d] = g.dotz[d] = -1000.0f;
    g.dotx[70000] = 33.0f;
    g.doty[70000] = 33.0f;
    g.dotz[70000] = 33.0f;
    exsrf(k);
    // Lower crossing at 31.6 (0.4 of segment 31 in the probe).
    const int l = g.index(31, 33, 33);
    EXPECT_EQ(g.owner[0][l], 70000);
    EXPECT_EQ(g.owner[3][g.index(33, 34, 33)], 70000);
    EXPECT_NEAR(g.epsi[l] / harmonic(0.4, eo, ei), 1.0, 1e-5);
    EXPECT_EQ(map(0, 32, 33, 33), eo);
}

// --- exclud as a whole ---------------------------------------------------------

TEST_F(Mapping, ExcludMarksEveryAtomForIonsAndPrintsVolumesOnlyInDebug) {
    atom(33, 33, 33, 1.9f);
    atom(20, 20, 20, 1.9f, 0.0f, false);
    g.smvdw = true;
    g.volu = true;
    exclud(k);
    EXPECT_EQ(map(0, 20, 20, 20), eo);              // unselected: no dielectric
    EXPECT_EQ(g.iacs[g.index(20, 20, 20)], 6.0f);   // but ion-excluded
    EXPECT_EQ(output(), "");
    EXPECT_GT(g.diagm[g.index(33, 33, 33)], 0.0f);

    grid(65, 65, 65, 1.0f, 0, 0, 0);
    k.flags.debug = true;
    exclud(k);
    const std::string o = output();
    EXPECT_NE(o.find(" Generating ion-exclusion map.\n Molecular volumes (cubic Angstroms):\n Epsi vol:"),
              std::string::npos);
    EXPECT_NE(o.find(" Exiting exclud subroutine.\n"), std::string::npos);
}

TEST_F(Mapping, VolumesFromMaps) {
    grid(10, 10, 10, 0.5f, 0, 0, 0);
    for (int l = 1; l <= 10; ++l) g.epsi[100 + l] = ei;
    for (int l = 1; l <= 4; ++l) g.epsj[300 + l] = static_cast<float>(harmonic(0.25));
    for (int l = 1; l <= 12; ++l) g.iacs[500 + l] = 6.0f;
    const Volumes v = volumes(k);
    const double cell = 0.125;
    EXPECT_NEAR(v.vi, 10 * cell, 1e-4);
    EXPECT_NEAR(v.vj, 1 * cell, 1e-4);
    EXPECT_NEAR(v.vk, 0.0, 1e-4);
    EXPECT_NEAR(v.vav, 11 * cell / 3, 1e-4);
    EXPECT_NEAR(v.vion, 12 * cell, 1e-9);
}

TEST_F(Mapping, SurfaceModeMapsTwoBodies) {
    k.env.srfdgiven = true;
    k.env.srfdeps = 10.0f * eps0;
    atom(20, 20, 20, 1.9f);
    atom(40, 40, 40, 1.9f);
    k.mol.nmol = 2;
    k.mol.lstatm[1] = 1;
    k.mol.fstatm[2] = 2;
    k.mol.lstatm[2] = 2;
    g.isel[1] = g.isel[2] = 0;
    g.smvdw = true;
    g.newmap = true;  // no probe correction in this mode
    g.rsolv = 1.4f;
    exclud(k);
    EXPECT_EQ(map(0, 20, 20, 20), 10.0f * eps0);
    EXPECT_EQ(map(0, 40, 40, 40), ei);
    EXPECT_EQ(k.env.epsint, ei);
    EXPECT_EQ(g.isel[1], 1);
    EXPECT_EQ(g.isel[2], 1);
    EXPECT_EQ(g.ndot, 0);
    EXPECT_EQ(output(),
              "\n ***************************\n ! Surface/protein/solvent !\n ***************************\n\n");

    // One molecule only: the warning for molecule 2.
    grid(65, 65, 65, 1.0f, 0, 0, 0);
    k.mol.nmol = 1;
    k.mol.lstatm[1] = 2;
    s->out.str("");
    k.flags.bomb = 3;
    exclud(k);
    EXPECT_NE(output().find(" WARNING: elec(000) improper molecule number:          2\n"), std::string::npos);
    k.flags.bomb = 2;
    EXPECT_TRUE(s->ends([&] { exclud(k); }));
}

TEST_F(Mapping, RepsKeepsTheMapsRead) {
    atom(33, 33, 33, 1.9f);
    g.reps = true;
    exclud(k);
    EXPECT_EQ(map(0, 33, 33, 33), eo);
    EXPECT_EQ(g.iacs[g.index(33, 33, 33)], 6.0f);
}

// --- Barnase -------------------------------------------------------------------

struct Ball {
    double x, y, z, r;
};

// Points in 3-D binned into cubic cells, for neighbour searches.
struct Cells {
    double lo[3], w;
    int n[3];
    std::vector<int> start, items;
    template <class P>
    Cells(const std::vector<P>& pts, double width) : w(width) {
        double hi[3];
        for (int d = 0; d < 3; ++d) lo[d] = 1e30, hi[d] = -1e30;
        for (auto& p : pts) {
            const double c[3] = {p.x, p.y, p.z};
            for (int d = 0; d < 3; ++d) lo[d] = std::min(lo[d], c[d]), hi[d] = std::max(hi[d], c[d]);
        }
        for (int d = 0; d < 3; ++d) n[d] = static_cast<int>((hi[d] - lo[d]) / w) + 1;
        start.assign(n[0] * n[1] * n[2] + 1, 0);
        std::vector<int> cell(pts.size());
        for (size_t i = 0; i < pts.size(); ++i) start[cell[i] = id(pts[i].x, pts[i].y, pts[i].z)]++;
        int acc = 0;
        for (auto& c : start) std::swap(c, acc), acc += c;
        items.resize(pts.size());
        std::vector<int> fill(start);
        for (size_t i = 0; i < pts.size(); ++i) items[fill[cell[i]]++] = static_cast<int>(i);
    }
    int clampc(double v, int d) const { return std::clamp(static_cast<int>(std::floor((v - lo[d]) / w)), 0, n[d] - 1); }
    int id(double x, double y, double z) const { return clampc(x, 0) + n[0] * (clampc(y, 1) + n[1] * clampc(z, 2)); }
    // Calls f(i) for the points in the cells around (x, y, z) until f says stop.
    template <class F>
    bool any(double x, double y, double z, F f) const {
        const double c[3] = {x, y, z};
        int a[3], b[3];
        for (int d = 0; d < 3; ++d) {
            int m = static_cast<int>(std::floor((c[d] - lo[d]) / w));
            a[d] = std::max(m - 1, 0);
            b[d] = std::min(m + 1, n[d] - 1);
            if (a[d] > b[d]) return false;
        }
        for (int kz = a[2]; kz <= b[2]; ++kz)
            for (int jy = a[1]; jy <= b[1]; ++jy)
                for (int ix = a[0]; ix <= b[0]; ++ix) {
                    int cid = ix + n[0] * (jy + n[1] * kz);
                    for (int t = start[cid]; t < start[cid + 1]; ++t)
                        if (f(items[t])) return true;
                }
        return false;
    }
};

struct Pt {
    double x, y, z;
};

class Barnase : public Mapping {
protected:
    std::vector<Ball> balls;  // atoms with a radius
    double cen[3] = {0, 0, 0};

    void SetUp() override {
        Mapping::SetUp();
        std::ifstream in(std::string(KOVA_TEST_SOURCE_DIR) + "/data/pqr/barnase.pqr");
        ASSERT_TRUE(in.good());
        std::string line;
        while (std::getline(in, line)) {
            std::istringstream f(line);
            std::string rec, serial, name, res, chain;
            int resnum;
            double x, y, z, q, r;
            if (!(f >> rec) || rec != "ATOM") continue;
            ASSERT_TRUE(f >> serial >> name >> res >> chain >> resnum >> x >> y >> z >> q >> r) << line;
            int a = atom(static_cast<float>(x), static_cast<float>(y), static_cast<float>(z),
                         static_cast<float>(r), static_cast<float>(q));
            k.mol.resnum[a] = resnum;
            cen[0] += x, cen[1] += y, cen[2] += z;
            if (r > 0) balls.push_back({x, y, z, r});
        }
        ASSERT_EQ(k.mol.natom, 1730);
        for (double& c : cen) c /= k.mol.natom;
        // 65 points at 1 A centred on the centre of geometry.
        grid(65, 65, 65, 1.0f, static_cast<float>(cen[0] - 33.0), static_cast<float>(cen[1] - 33.0),
             static_cast<float>(cen[2] - 33.0));
        g.volu = true;
    }

    // Monte Carlo volume of the points for which inside(x, y, z) holds,
    // sampled uniformly in the box of the balls grown by pad.
    template <class F>
    double monte_carlo(double pad, int samples, F inside) {
        double lo[3] = {1e30, 1e30, 1e30}, hi[3] = {-1e30, -1e30, -1e30};
        for (auto& b : balls) {
            const double c[3] = {b.x, b.y, b.z};
            for (int d = 0; d < 3; ++d) lo[d] = std::min(lo[d], c[d] - pad), hi[d] = std::max(hi[d], c[d] + pad);
        }
        std::mt19937_64 rng(12345);
        std::uniform_real_distribution<double> u(0.0, 1.0);
        int hit = 0;
        for (int s = 0; s < samples; ++s) {
            double x = lo[0] + (hi[0] - lo[0]) * u(rng), y = lo[1] + (hi[1] - lo[1]) * u(rng),
                   z = lo[2] + (hi[2] - lo[2]) * u(rng);
            hit += inside(x, y, z);
        }
        return (hi[0] - lo[0]) * (hi[1] - lo[1]) * (hi[2] - lo[2]) * hit / samples;
    }

    double rmax() const {
        double r = 0;
        for (auto& b : balls) r = std::max(r, b.r);
        return r;
    }

    // Volume of the union of the balls grown by grow.
    double union_volume(double grow) {
        const double rm = rmax() + grow;
        Cells cells(balls, rm);
        return monte_carlo(rm, 200000, [&](double x, double y, double z) {
            return cells.any(x, y, z, [&](int i) {
                const Ball& b = balls[i];
                const double dx = x - b.x, dy = y - b.y, dz = z - b.z, r = b.r + grow;
                return dx * dx + dy * dy + dz * dz < r * r;
            });
        });
    }

    // Solvent-excluded volume: points of the union of spheres grown by the
    // probe radius that no probe centre outside all grown spheres reaches.
    // The nearest such centre lies on the accessible surface, sampled densely
    // here with spiral points on every grown sphere.
    double excluded_volume(double rp) {
        const double rm = rmax() + rp;
        Cells atoms(balls, rm);
        std::vector<Pt> sas;
        const int m = 600;
        const double golden = 3.14159265358979 * (3.0 - std::sqrt(5.0));
        int last = -1;  // the ball that buried the previous point
        for (size_t a = 0; a < balls.size(); ++a) {
            const Ball& b = balls[a];
            const double r = b.r + rp;
            for (int i = 0; i < m; ++i) {
                double z = 1.0 - (i + 0.5) * 2.0 / m, rr = std::sqrt(1 - z * z), phi = golden * i;
                Pt p{b.x + r * rr * std::cos(phi), b.y + r * rr * std::sin(phi), b.z + r * z};
                auto buries = [&](int o) {
                    if (o == static_cast<int>(a)) return false;
                    const Ball& c = balls[o];
                    const double dx = p.x - c.x, dy = p.y - c.y, dz = p.z - c.z, ro = c.r + rp;
                    return dx * dx + dy * dy + dz * dz < ro * ro;
                };
                bool buried = (last >= 0 && buries(last)) || atoms.any(p.x, p.y, p.z, [&](int o) {
                                  return buries(o) ? (last = o, true) : false;
                              });
                if (!buried) sas.push_back(p);
            }
        }
        Cells probes(sas, rp);
        return monte_carlo(rm, 200000, [&](double x, double y, double z) {
            bool in = atoms.any(x, y, z, [&](int i) {
                const Ball& b = balls[i];
                const double dx = x - b.x, dy = y - b.y, dz = z - b.z, r = b.r + rp;
                return dx * dx + dy * dy + dz * dz < r * r;
            });
            if (!in) return false;
            return !probes.any(x, y, z, [&](int i) {
                const double dx = x - sas[i].x, dy = y - sas[i].y, dz = z - sas[i].z;
                return dx * dx + dy * dy + dz * dz <= rp * rp;
            });
        });
    }
};

TEST_F(Barnase, VanDerWaalsVolume) {
    g.smvdw = true;
    exclud(k);
    const Volumes v = volumes(k);
    const double mc = union_volume(0.0);
    // At 1 A spacing the smoothed map lands within a few per cent (the
    // sampling error of the estimate is about 0.5 per cent).
    EXPECT_NEAR(v.vav / mc, 1.0, 0.03) << "map " << v.vav << " Monte Carlo " << mc;
    // The ion-exclusion map with rion 0 is the same body on grid points.
    EXPECT_NEAR(v.vion / mc, 1.0, 0.05) << "ion " << v.vion;
}

TEST_F(Barnase, SolventExcludedVolume) {
    g.newmap = true;
    g.rsolv = 1.4f;
    g.nsph = 200;
    g.smprb = true;
    exclud(k);
    const Volumes v = volumes(k);
    const double ses = excluded_volume(1.4);
    const double vdw = union_volume(0.0);
    EXPECT_GT(ses, vdw * 1.1);
    EXPECT_NEAR(v.vav / ses, 1.0, 0.03) << "map " << v.vav << " Monte Carlo " << ses << " vdw " << vdw;
    EXPECT_GT(g.ndot, 1000);
    EXPECT_LT(g.ndot, maxdot);
    for (int a = 1; a <= k.mol.natom; ++a) EXPECT_LE(g.nnbr[a], maxnbr);
}

}  // namespace
}  // namespace kova
