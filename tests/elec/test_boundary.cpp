// Boundary conditions against direct evaluation, focusing against direct
// interpolation of a field known in closed form, and the grid checks.
#include <gtest/gtest.h>

#include <cmath>

#include "../command/harness.hpp"
#include "elec/elec.hpp"

using namespace kova;

namespace {

void small_grid(GridStore& g, int n, float h, float o) {
    g.nx = g.ny = g.nz = n;
    g.update_counts();
    g.h = h;
    g.xo = g.yo = g.zo = o;
    std::fill(g.rhs.begin(), g.rhs.end(), 0.0f);
    std::fill(g.diagm.begin(), g.diagm.end(), 0.0f);
}

}  // namespace

TEST(Boundary, DebyeHueckelSphereWithoutSaltIsCoulomb) {
    test::Session s;
    GridStore& g = s.k.mess;
    small_grid(g, 9, 1.5f, -7.5f);
    const float q = 2.0f, a = 1.7f;
    bcfl1(0.3f, -0.2f, 0.1f, q, a, 0.0f, g.nx, g.ny, g.nz, g.h, g.xo, g.yo, g.zo, g.rhs.data());
    // Direct: every boundary point B adds q / (4 pi r) at its interior neighbour.
    std::vector<double> want(g.nxyz + 1, 0.0);
    auto add = [&](int bi, int bj, int bk, int i, int j, int k) {
        double dx = g.xo + bi * g.h - 0.3, dy = g.yo + bj * g.h + 0.2, dz = g.zo + bk * g.h - 0.1;
        want[g.index(i, j, k)] += q / (4 * M_PI * std::sqrt(dx * dx + dy * dy + dz * dz));
    };
    for (int u = 1; u <= 9; ++u)
        for (int v = 1; v <= 9; ++v) {
            add(u, v, 0, u, v, 1), add(u, v, 10, u, v, 9);
            add(0, u, v, 1, u, v), add(10, u, v, 9, u, v);
            add(u, 0, v, u, 1, v), add(u, 10, v, u, 9, v);
        }
    for (int l = 1; l <= g.nxyz; ++l) EXPECT_NEAR(g.rhs[l], want[l], 1e-6 + 1e-5 * std::fabs(want[l])) << l;
    EXPECT_EQ(g.rhs[g.index(5, 5, 5)], 0.0f);  // interior points get nothing
}

TEST(Boundary, DebyeHueckelScreening) {
    test::Session s;
    GridStore& g = s.k.mess;
    small_grid(g, 5, 2.0f, -6.0f);
    const float q = -1.0f, a = 2.0f, kappa = 0.3f;
    bcfl1(0, 0, 0, q, a, kappa, g.nx, g.ny, g.nz, g.h, g.xo, g.yo, g.zo, g.rhs.data());
    // Point (3,3,1) touches only the face k = 0; its boundary point is (0, 0, -6).
    double r = 6.0;
    double want = q * std::exp(kappa * (a - r)) / (4 * M_PI * (1 + kappa * a) * r);
    EXPECT_NEAR(g.rhs[g.index(3, 3, 1)], want, 1e-6);
}

TEST(Boundary, FacesAddTheSolventPermittivityAndTheAppliedField) {
    test::Session s;
    GridStore& g = s.k.mess;
    Environment& e = s.k.env;
    e.epsout = 78 * eps0;
    small_grid(g, 65, 1.0f, -33.0f);
    g.bcfl = 1;
    g.qnet = 0, g.reff = 1, g.xcen = g.ycen = g.zcen = 0;
    bound(s.k);
    EXPECT_FLOAT_EQ(g.diagm[g.index(1, 1, 1)], 3 * e.epsout);  // corner: three faces
    EXPECT_FLOAT_EQ(g.diagm[g.index(1, 33, 65)], 2 * e.epsout);
    EXPECT_FLOAT_EQ(g.diagm[g.index(1, 33, 33)], e.epsout);
    EXPECT_EQ(g.diagm[g.index(2, 2, 2)], 0.0f);
    EXPECT_EQ(g.rhs[g.index(1, 1, 1)], 0.0f);  // no net charge: no boundary potential

    small_grid(g, 65, 1.0f, -33.0f);
    g.bcfl = 3;
    g.efld = 1.0e8f * vm_to_field;
    bound(s.k);
    const float d = g.efld * g.h * e.epsout;
    EXPECT_FLOAT_EQ(g.rhs[g.index(33, 33, 1)], 33 * d);    // face k = 0
    EXPECT_FLOAT_EQ(g.rhs[g.index(33, 33, 65)], -33 * d);  // face k = 66
    EXPECT_EQ(g.rhs[g.index(1, 33, 33)], 0.0f);            // the centre plane
    EXPECT_FLOAT_EQ(g.rhs[g.index(1, 1, 1)], (33 + 32 + 32) * d);
}

TEST(Boundary, FocusingInterpolatesTheCoarsePotentialAndPermittivity) {
    test::Session s;
    GridStore& g = s.k.mess;
    s.k.env.epsout = 78 * eps0;
    // Coarse grid: 33 points at 2.0 A, origin -34; a linear potential, which
    // trilinear interpolation reproduces exactly, and permittivities that
    // vary linearly along their own axis.
    small_grid(g, 33, 2.0f, -34.0f);
    auto phi = [](double x, double y, double z) { return 0.5 + 0.01 * x - 0.02 * y + 0.03 * z; };
    auto eps = [](double c) { return 1e-5 * (40 + c); };
    for (int k = 1; k <= 33; ++k)
        for (int j = 1; j <= 33; ++j)
            for (int i = 1; i <= 33; ++i) {
                int l = g.index(i, j, k);
                double x = -34 + 2.0 * i, y = -34 + 2.0 * j, z = -34 + 2.0 * k;
                g.phi[l] = static_cast<float>(phi(x, y, z));
                g.epsi[l] = static_cast<float>(eps(x + 1.0));  // staggered: at x + h/2
                g.epsj[l] = static_cast<float>(eps(y + 1.0));
                g.epsk[l] = static_cast<float>(eps(z + 1.0));
            }
    g.hold = g.h, g.xoold = g.xo, g.yoold = g.yo, g.zoold = g.zo, g.nxold = g.nyold = g.nzold = 33;
    // Fine grid: 21 points at 0.5 A, well inside.
    small_grid(g, 21, 0.5f, -5.5f);
    g.bcfl = 4;
    chkbox(s.k);  // inside: no message
    bound(s.k);
    EXPECT_EQ(s.out.str(), "");
    // Point (1, 7, 9): neighbour of the boundary point (0, 7, 9) at x = -5.5;
    // the face between them lies at x = -5.25.
    {
        double x = -5.5, y = -5.5 + 0.5 * 7, z = -5.5 + 0.5 * 9;
        double et = eps(-5.25);
        EXPECT_NEAR(g.diagm[g.index(1, 7, 9)], et, 1e-9);
        EXPECT_NEAR(g.rhs[g.index(1, 7, 9)], et * phi(x, y, z), 1e-9);
    }
    // Point (11, 21, 4): touches the face j = 22 (y = 5.5), its face at y = 5.25.
    {
        double x = -5.5 + 0.5 * 11, y = -5.5 + 0.5 * 22, z = -5.5 + 0.5 * 4;
        double et = eps(5.25);
        EXPECT_NEAR(g.diagm[g.index(11, 21, 4)], et, 1e-9);
        EXPECT_NEAR(g.rhs[g.index(11, 21, 4)], et * phi(x, y, z), 1e-9);
    }
}

TEST(Boundary, InterpolationRange) {
    std::vector<float> map(1 + 4 * 4 * 4);
    for (int k = 1; k <= 4; ++k)
        for (int j = 1; j <= 4; ++j)
            for (int i = 1; i <= 4; ++i) map[i + 4 * (j - 1) + 16 * (k - 1)] = static_cast<float>(i + 10 * j + 100 * k);
    EXPECT_FLOAT_EQ(interp(map.data(), 4, 4, 4, 1.0f, 0, 0, 0, 1.5f, 2.25f, 3.0f), 1.5f + 22.5f + 300.0f);
    EXPECT_EQ(interp(map.data(), 4, 4, 4, 1.0f, 0, 0, 0, 4.0f, 2.0f, 2.0f), 0.0f);  // on the last point
    EXPECT_EQ(interp(map.data(), 4, 4, 4, 1.0f, 0, 0, 0, 0.5f, 2.0f, 2.0f), 0.0f);  // before the first
    EXPECT_EQ(interp(map.data(), 4, 4, 4, 1.0f, 0, 0, 0, -0.5f, 2.0f, 2.0f), 0.0f);
}

TEST(Boundary, GridChecks) {
    test::Session s;
    GridStore& g = s.k.mess;
    MoleculeStore& m = s.k.mol;
    small_grid(g, 21, 1.0f, -11.0f);  // points from -10 to 10
    m.natom = 2;
    m.x[1] = -9.0f, m.y[1] = 0, m.z[1] = 0, m.radi[1] = 2.0f;  // 1 A inside the first plane
    m.x[2] = 0, m.y[2] = 0, m.z[2] = 0, m.radi[2] = 2.0f;
    g.isel[1] = g.isel[2] = 1;
    g.bcfl = 0;
    s.k.flags.bomb = 5;
    chkbox(s.k);
    EXPECT_EQ(s.out.str(), " ERROR: chkbox(000) atom     1 extends beyond the grid.\n");
    s.k.flags.bomb = 4;
    EXPECT_TRUE(s.ends([&] { chkbox(s.k); }));

    // Focusing: the new grid's point n + 1 must not pass the old last point.
    test::Session f;
    GridStore& h = f.k.mess;
    h.hold = 1.0f, h.xoold = h.yoold = h.zoold = -11.0f, h.nxold = h.nyold = h.nzold = 21;
    small_grid(h, 10, 1.0f, -5.0f);
    h.bcfl = 4;
    EXPECT_FALSE(f.ends([&] { chkbox(f.k); }));
    small_grid(h, 21, 1.0f, -10.5f);
    EXPECT_TRUE(f.ends([&] { chkbox(f.k); }));
    EXPECT_EQ(f.listing(), " FATAL: chkbox(010) focussing failed. New grid exceeds the old grid.\n");
}

TEST(ElecCommand, SetupBuildsTheSystemAndBecomesThePreviousGrid) {
    test::Session s("elec mol1 cent grid 0.5 dime 33 33 33 ions 150 setu end\n"
                    "elec mol1 same grid bcfl 4 grid -1.0 init end\n");
    MoleculeStore& m = s.k.mol;
    m.nmol = 1, m.fstatm[1] = 1, m.lstatm[1] = 2, m.natom = 2;
    m.x[1] = 0.1f, m.y[1] = 0.2f, m.z[1] = 0.3f, m.chrg[1] = 1.0f, m.radi[1] = 1.5f;
    m.x[2] = 2.1f, m.y[2] = 0.2f, m.z[2] = 0.3f, m.chrg[2] = -0.5f, m.radi[2] = 1.5f;
    s.k.flags.bomb = 5;
    getlin(s.k, 5, "Main");
    gettok(s.k);  // the word elec, as the main loop reads it
    eledrv(s.k);
    const GridStore& g = s.k.mess;
    // Every share of both charges falls inside: the constant vector holds
    // the total charge over h (zero potential on the boundary).
    double total = 0;
    for (int l = 1; l <= g.nxyz; ++l) total += g.rhs[l];
    EXPECT_NEAR(total, 0.5 / 0.5, 1e-5);
    // A solvent point far from the atoms: six faces of epsout and the ionic term.
    const float eo = s.k.env.epsout, kh = s.k.env.kappa * g.h;
    EXPECT_NEAR(g.diagm[g.index(5, 5, 5)], 6 * eo + eo * kh * kh, 1e-6 * eo);
    EXPECT_NEAR(s.k.env.kappa, 0.1273, 5e-4);  // 150 mM at 300 K in water
    EXPECT_FLOAT_EQ(g.hold, 0.5f);
    EXPECT_EQ(g.nxold, 33);
    EXPECT_FLOAT_EQ(g.xoold, 1.1f - 17 * 0.5f);
    // The next command keeps the previous geometry with "same grid" and
    // refuses a negative spacing.
    getlin(s.k, 5, "Main");
    gettok(s.k);
    eledrv(s.k);
    EXPECT_FLOAT_EQ(g.h, 0.5f);
    EXPECT_FLOAT_EQ(g.xo, 1.1f - 17 * 0.5f);
    EXPECT_NE(s.out.str().find("WARNING: eledrv(056) grid spacing must be positive. spacing not changed."), std::string::npos);
}
