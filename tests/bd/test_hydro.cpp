// Diffusion tensors: continuity of the Oseen and modified Oseen couplings at
// contact, the Cholesky factor against the tensor it factors, the covariance
// of the correlated displacements, and the closed two-subunit form against
// the general factorisation.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

#include "bd/hydro.hpp"

namespace kova {
namespace {

constexpr float hifac = 0.83144647f * 300 / (53.595085f * 25.132742f);

HydroModel model(int n, int himod, float radius) {
    HydroModel h;
    h.n = n;
    h.hifac = hifac;
    h.rad1 = 20.0f;
    for (int i = 0; i < n; ++i) h.a[i] = radius, h.unit[i] = 1;
    h.himod[1] = himod;
    h.hibc[1] = 0.75f;
    return h;
}

TEST(Hydro, CouplingsAreContinuousAtContactAndMatchTheirClosedForms) {
    const float d1 = hifac / (0.75f * 20.0f);
    for (const float a : {1.5f, 3.0f}) {
        const float s = 2 * a;
        float A = 0, B = 0, Ai = 0, Bi = 0;
        // Oseen: kT/(8 pi eta r) (I + r r^T/r^2) beyond contact, the contact
        // values inside.
        EXPECT_FALSE(pair_coefficients(1, hifac, 20, 0.75f, a, a, s, A, B));
        EXPECT_NEAR(A, hifac / s + d1, 1e-6f);
        EXPECT_NEAR(B, hifac / (s * s * s), 1e-7f);
        pair_coefficients(1, hifac, 20, 0.75f, a, a, s * (1 - 1e-5f), Ai, Bi);
        EXPECT_NEAR(Ai, A, 1e-4f * A);
        EXPECT_NEAR(Bi, B, 1e-3f * B);
        // Modified Oseen (Rotne-Prager) for equal spheres under stick: at
        // contact both forms give (7/6) kT/(8 pi eta s) and kT/(16 pi eta s^3).
        EXPECT_FALSE(pair_coefficients(2, hifac, 20, 0.75f, a, a, s, A, B));
        EXPECT_NEAR(A - d1, hifac / s * 7 / 6, 1e-6f);
        EXPECT_NEAR(B, hifac / (2 * s * s * s), 1e-7f);
        pair_coefficients(2, hifac, 20, 0.75f, a, a, s * (1 - 1e-5f), Ai, Bi);
        EXPECT_NEAR(Ai, A, 1e-4f * A);
        EXPECT_NEAR(Bi, B, 1e-3f * B);
        // Overlapping: at r -> 0 the pair moves as one sphere of radius a.
        pair_coefficients(2, hifac, 20, 0.75f, a, a, 1e-4f, A, B);
        EXPECT_NEAR(A - d1, hifac / (0.75f * a), 1e-3f * A);
    }
    float A, B;
    EXPECT_TRUE(pair_coefficients(2, hifac, 20, 0.75f, 1.0f, 2.0f, 2.0f, A, B));  // unequal, overlapping
    EXPECT_FALSE(pair_coefficients(0, hifac, 20, 0.75f, 1.0f, 1.0f, 1.0f, A, B));
    EXPECT_EQ(A, 0.0f);
}

// A helix of n subunits 2.2 radii apart.
std::vector<float> helix(int n, float a) {
    std::vector<float> p(3 * n);
    for (int i = 0; i < n; ++i) {
        p[3 * i] = 3 * a * std::cos(0.9f * i);
        p[3 * i + 1] = 3 * a * std::sin(0.9f * i);
        p[3 * i + 2] = 1.1f * a * i;
    }
    return p;
}

TEST(Hydro, CholeskyFactorReproducesTheTensorAndTheDrawsHaveItsCovariance) {
    for (const int himod : {0, 1, 2}) {
        const int n = 12, n3 = 3 * n;
        const HydroModel h = model(n, himod, 2.0f);
        auto t = std::make_unique<Tensor>();
        iniqmt(h, *t);
        calcq(h, helix(n, 2.0f), {}, *t);
        ASSERT_TRUE(cholesky(*t, n3)) << himod;
        double worst = 0;
        for (int i = 0; i < n3; ++i)
            for (int j = 0; j < n3; ++j) {
                double s = 0;
                for (int k = 0; k < n3; ++k) s += double(t->l[i * maxdof + k]) * t->l[j * maxdof + k];
                worst = std::max(worst, std::fabs(s - t->at(i, j)));
                if (j > i) EXPECT_EQ(t->l[i * maxdof + j], 0.0f);
            }
        EXPECT_LT(worst, 1e-5 * t->at(0, 0)) << himod;
        if (himod == 0)
            for (int i = 0; i < n3; ++i) EXPECT_FLOAT_EQ(t->l[i * maxdof + i], std::sqrt(t->at(i, i)));
    }

    // Two coupled subunits: the displacements' covariance is 2 dt D.
    const HydroModel h = model(2, 1, 2.0f);
    auto t = std::make_unique<Tensor>();
    iniqmt(h, *t);
    const std::vector<float> pos = {0, 0, 0, 3.0f, 2.0f, 1.0f};
    calcq(h, pos, {}, *t);
    ASSERT_TRUE(cholesky(*t, 6));
    RandomState rs;
    rs.seed(1802, 9373);
    GaussTable g;
    gauss(g);
    const float dt = 0.01f, sqdt = std::sqrt(2 * dt);
    double cov[6][6] = {};
    const int draws = 400000;
    float x[6];
    for (int d = 0; d < draws; ++d) {
        calcss(*t, 6, rs, g, sqdt, x);
        for (int i = 0; i < 6; ++i)
            for (int j = 0; j < 6; ++j) cov[i][j] += double(x[i]) * x[j];
    }
    for (int i = 0; i < 6; ++i)
        for (int j = 0; j < 6; ++j) {
            const double want = 2 * dt * t->at(i, j), scale = 2 * dt * t->at(0, 0);
            EXPECT_NEAR(cov[i][j] / draws, want, 6 * scale / std::sqrt(draws)) << i << " " << j;
        }
}

TEST(Hydro, TwoSubunitClosedFormEqualsTheGeneralFactorisation) {
    for (const int himod : {0, 1, 2}) {
        for (const float sep : {1.0f, 4.0f, 9.0f}) {  // overlapping, at contact, apart
            HydroModel h = model(2, himod, 2.0f);
            const std::vector<float> pos = {1, 2, 3, 1 + sep * 0.6f, 2 - sep * 0.8f, 3};
            auto general = std::make_unique<Tensor>(), closed = std::make_unique<Tensor>();
            iniqmt(h, *general);
            calcq(h, pos, {}, *general);
            ASSERT_TRUE(cholesky(*general, 6));
            GaussTable g;
            gauss(g);
            RandomState a, b;
            a.seed(77, 88);
            b = a;
            float xa[6], xb[6];
            calcss(*general, 6, a, g, 0.1f, xa);
            clcqsd(h, pos, *closed, b, g, 0.1f, xb);
            for (int i = 0; i < 6; ++i) {
                EXPECT_NEAR(xb[i], xa[i], 1e-5f + 1e-4f * std::fabs(xa[i])) << himod << " " << sep << " " << i;
                for (int j = 0; j < 6; ++j) EXPECT_FLOAT_EQ(closed->at(i, j), general->at(i, j));
            }
        }
    }
}

}  // namespace
}  // namespace kova
