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

TEST(Hydro, BlocksOfRandomConfigurationsEqualTheOseenAndRotnePragerTensors) {
    RandomState rs;
    rs.seed(4711, 815);
    for (const int himod : {1, 2}) {
        for (int config = 0; config < 4; ++config) {
            HydroModel h = model(5, himod, 1.0f);
            std::vector<float> pos(15);
            for (int i = 0; i < 5; ++i) {
                h.a[i] = 1.0f + 2.0f * rs.uniform();
                for (int c = 0; c < 3; ++c) pos[3 * i + c] = 30.0f * rs.uniform();
            }
            auto t = std::make_unique<Tensor>();
            iniqmt(h, *t);
            calcq(h, pos, {}, *t);
            const double d1 = hifac / (0.75 * 20.0);
            for (int i = 0; i < 5; ++i)
                for (int j = i + 1; j < 5; ++j) {
                    double r[3], r2 = 0;
                    for (int c = 0; c < 3; ++c) r[c] = pos[3 * i + c] - pos[3 * j + c], r2 += r[c] * r[c];
                    const double d = std::sqrt(r2), s2 = double(h.a[i]) * h.a[i] + double(h.a[j]) * h.a[j];
                    if (d < h.a[i] + h.a[j]) continue;  // the overlap forms are checked above
                    for (int a = 0; a < 3; ++a)
                        for (int b = 0; b < 3; ++b) {
                            const double rr = r[a] * r[b] / r2, id = a == b;
                            // kT/(8 pi eta r) [(I + rr)] or [(1 + s2/3r2) I + (1 - s2/r2) rr]
                            const double want = himod == 1 ? hifac / d * (id + rr) + d1 * id
                                                           : hifac / d * ((1 + s2 / (3 * r2)) * id + (1 - s2 / r2) * rr) + d1 * id;
                            EXPECT_NEAR(t->at(3 * i + a, 3 * j + b), want, 1e-6 + 1e-5 * std::fabs(want));
                            EXPECT_EQ(t->at(3 * j + b, 3 * i + a), t->at(3 * i + a, 3 * j + b));
                        }
                }
            EXPECT_TRUE(cholesky(*t, 15));
        }
    }
}

}  // namespace
}  // namespace kova
