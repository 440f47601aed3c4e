// Subunit forces against the numerical gradient of their energies (bonds,
// angles, nearest-neighbour dihedrals, excluded volume and solvent, within a
// unit and between units), the contact terms' values at their ends, the
// force of a potential grid against a uniform field, and the Debye-Hueckel
// far field against the gradient of its potential.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "bd/forces.hpp"

namespace kova {
namespace {

constexpr float kcal = 418.4f;

// Two units: a flexible chain of six subunits (all terms on) and a pair.
std::unique_ptr<MoleculeStore> two_units() {
    auto m = std::make_unique<MoleculeStore>();
    UnitStore& u = m->units;
    m->nsbtot = 8;
    u.nunit = 2;
    u.ifsub[1] = 1, u.ilsub[1] = 6, u.nsubu[1] = 6;
    u.ifsub[2] = 7, u.ilsub[2] = 8, u.nsubu[2] = 2;
    for (int i = 1; i <= 8; ++i) {
        m->sbunit[i] = i <= 6 ? 1 : 2;
        m->sbtype[i] = 64;
        m->sbrad[i] = 2.0f;
        m->sbchg[i] = (i % 3) - 1.0f;
        u.eval[i] = (0.2f + 0.05f * i) * kcal;
        u.rexv[i] = 5.0f + 0.2f * i;
        u.sval[i] = (-0.5f + 0.1f * i) * kcal;
        u.rsol[i] = 9.0f;
    }
    u.bndon[1] = 1, u.angon[1] = 1, u.nnnbon[1] = 1, u.exvmod[1] = 2, u.solmod[1] = 1;
    for (int b = 1; b <= 5; ++b) u.b0[1][b] = 3.8f + 0.1f * b, u.cb[1][b] = 20 * kcal;
    for (int t = 1; t <= 4; ++t) u.t0[1][t] = 1.7f, u.ct[1][t] = 10 * kcal;
    for (int d = 1; d <= 3; ++d) u.nnnbc[1][d] = {3 * kcal, -2 * kcal, 5 * kcal, 1 * kcal, -4 * kcal};
    u.nfiun = 2;
    u.iupair1[1] = 1, u.iupair2[1] = 2, u.exviu[1] = 1, u.soliu[1] = 2;
    u.evaliu[1] = 0.4f * kcal, u.rexviu[1] = 6.5f;
    u.iupair1[2] = 2, u.iupair2[2] = 1, u.exviu[2] = 3, u.soliu[2] = 1;
    u.svaliu[2] = -0.7f * kcal, u.rsoliu[2] = 8.0f;
    return m;
}

// A crumpled chain and the pair close to it, so that every contact term acts.
std::vector<float> positions() {
    return {0, 0, 0,  3.9f, 0.3f, 0,  5.2f, 3.6f, 0.4f,  2.8f, 5.9f, 2.1f,  0.4f, 4.1f, 4.0f,
            1.1f, 0.9f, 4.6f,  4.0f, 2.5f, 5.5f,  7.5f, 1.0f, 3.0f};
}

double energy(const MoleculeStore& m, const std::vector<float>& p) {
    std::vector<float> f(p.size());
    ForceEnergies e;
    EXPECT_EQ(clcfrc(m, 1, p, f, e).kind, ForceFault::none);
    EXPECT_EQ(iunfrc(m, p, f, e).kind, ForceFault::none);
    return e.bond + e.angle + e.nnnb + e.exv + e.sol + e.exviu + e.soliu;
}

TEST(Forces, UnitTermsAreTheNegativeGradientOfTheirEnergy) {
    // Each term alone, then all together, against central differences of
    // the energy.
    for (int term = 0; term <= 6; ++term) {
        auto m = two_units();
        UnitStore& u = m->units;
        if (term != 0) {
            u.bndon[1] = term == 1, u.angon[1] = term == 2, u.nnnbon[1] = term == 3;
            u.exvmod[1] = term == 4 ? 2 : 0, u.solmod[1] = term == 5 ? 1 : 0;
            if (term != 6) u.nfiun = 0;
        }
        std::vector<float> p = positions(), f(p.size());
        ForceEnergies e;
        ASSERT_EQ(clcfrc(*m, 1, p, f, e).kind, ForceFault::none);
        ASSERT_EQ(iunfrc(*m, p, f, e).kind, ForceFault::none);
        if (term == 0)  // every term acts in this configuration
            for (double v : {e.bond, e.angle, e.nnnb, e.exv, e.sol, e.exviu, e.soliu}) EXPECT_NE(v, 0.0);
        float big = 0;
        for (float v : f) big = std::max(big, std::fabs(v));
        EXPECT_GT(big, 10.0f) << term;
        for (size_t c = 0; c < p.size(); ++c) {
            const float h = 1e-3f;
            std::vector<float> a = p, b = p;
            a[c] += h, b[c] -= h;
            const double num = -(energy(*m, a) - energy(*m, b)) / (a[c] - b[c]);
            EXPECT_NEAR(f[c], num, 2e-4 * big + 0.05) << "term " << term << " coordinate " << c;
        }
    }
}

TEST(Forces, ContactTermsVanishAtTheirRangeAndRepelOrAttractInside) {
    double e, d;
    exv_energy(0.3f * kcal, 6.0f, 6.0f, e, d);
    EXPECT_NEAR(e, 0.0, 1e-9);
    EXPECT_NEAR(d, 0.0, 1e-9);
    exv_energy(0.3f * kcal, 6.0f, 5.0f, e, d);
    EXPECT_GT(e, 0.0);
    EXPECT_LT(d, 0.0);  // the energy falls outward: repulsion
    sol_energy(-1.0f * kcal, 9.0f, 0.0f, e, d);
    EXPECT_NEAR(e, -1.0 * kcal, 1e-3);  // the pair's sum at contact
    sol_energy(-1.0f * kcal, 9.0f, 9.0f, e, d);
    EXPECT_NEAR(e, 0.0, 1e-6);
    EXPECT_NEAR(d, 0.0, 1e-6);

    // Coincident subunits are a fault, not a NaN.
    auto m = two_units();
    std::vector<float> p = positions(), f(p.size());
    p[15] = p[0], p[16] = p[1], p[17] = p[2];  // subunit 6 onto subunit 1
    ForceEnergies en;
    const ForceFault fault = clcfrc(*m, 1, p, f, en);
    EXPECT_EQ(fault.kind, ForceFault::pair);
    EXPECT_EQ(fault.i, 1);
    EXPECT_EQ(fault.j, 6);
    for (float v : f) EXPECT_TRUE(std::isfinite(v));
}

TEST(Forces, GridForceOfAUniformFieldAndTheDebyeHueckelFarField) {
    auto m = std::make_unique<MoleculeStore>();
    GridStore g;
    g.nx = g.ny = g.nz = 9;
    g.h = 1.5f;
    g.xo = -7.5f, g.yo = -7.5f, g.zo = -7.5f;
    g.phi.assign(9 * 9 * 9 + 1, 0.0f);
    // phi = -E.r: the force on a charge q is q E wherever it is interpolated.
    const float E[3] = {3.0f, -2.0f, 0.5f};
    for (int k = 1; k <= 9; ++k)
        for (int j = 1; j <= 9; ++j)
            for (int i = 1; i <= 9; ++i)
                g.phi[i + 9 * (j - 1) + 81 * (k - 1)] =
                    -(E[0] * (g.xo + i * g.h) + E[1] * (g.yo + j * g.h) + E[2] * (g.zo + k * g.h));
    const float kappa = 0.1f, epsout = 78 * 5.7277083e-7f;
    for (const auto& p : {std::array<float, 3>{0.1f, -0.2f, 0.3f}, std::array<float, 3>{-4.4f, 4.4f, -4.4f}}) {
        float f[3];
        grid_force(g, *m, kappa, epsout, -2.0f, p.data(), f);
        for (int c = 0; c < 3; ++c) EXPECT_NEAR(f[c], -2.0f * E[c], 1e-4f) << c;
    }
    // Cells whose corners lack an upper neighbour fall back to the far field:
    // none here (bcfl 0), never a read past the grid.
    float f[3];
    const float edge[3] = {g.xo + 8.5f * g.h, 0, 0};
    grid_force(g, *m, kappa, epsout, 1.0f, edge, f);
    EXPECT_EQ(f[0], 0.0f);

    // bcfl 1: q times minus the gradient of Q exp(-kappa (r - a))/((1 + kappa a) 4 pi eps r).
    g.bcfl = 1, g.qnet = 5.0f, g.reff = 12.0f, g.xcen = 1.0f, g.ycen = 2.0f, g.zcen = -1.0f;
    auto phi = [&](const float* p) {
        const double r = std::sqrt(std::pow(p[0] - 1.0, 2) + std::pow(p[1] - 2.0, 2) + std::pow(p[2] + 1.0, 2));
        return 5.0 * std::exp(-kappa * (r - 12.0)) / ((1 + kappa * 12.0) * 12.566370614 * epsout * r);
    };
    const float p[3] = {30.0f, -10.0f, 8.0f};
    grid_force(g, *m, kappa, epsout, 1.5f, p, f);
    for (int c = 0; c < 3; ++c) {
        float a[3] = {p[0], p[1], p[2]}, b[3] = {p[0], p[1], p[2]};
        a[c] += 0.01f, b[c] -= 0.01f;
        const double num = -1.5 * (phi(a) - phi(b)) / (a[c] - b[c]);
        EXPECT_NEAR(f[c], num, 1e-3 * std::fabs(num) + 1e-3) << c;
    }
}

}  // namespace
}  // namespace kova
