// Least-squares superposition against known transforms, the proper
// rotation in the reflection case, the symmetry permutations and the rms
// and lsqfit commands on a phenylalanine whose ring is flipped.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "../command/harness.hpp"
#include "../command/scratch.hpp"
#include "command/mainloop.hpp"
#include "molecule/superpose.hpp"

using namespace kova;

namespace {

// A random proper rotation from a random unit quaternion.
void random_rotation(std::mt19937& g, double r[3][3]) {
    std::normal_distribution<double> n;
    double q[4], s = 0;
    for (double& v : q) v = n(g), s += v * v;
    for (double& v : q) v /= std::sqrt(s);
    const double a = q[0], b = q[1], c = q[2], d = q[3];
    const double m[3][3] = {{a * a + b * b - c * c - d * d, 2 * (b * c - a * d), 2 * (b * d + a * c)},
                            {2 * (b * c + a * d), a * a - b * b + c * c - d * d, 2 * (c * d - a * b)},
                            {2 * (b * d - a * c), 2 * (c * d + a * b), a * a - b * b - c * c + d * d}};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) r[i][j] = m[i][j];
}

double det(const double r[4][4]) {
    return r[0][0] * (r[1][1] * r[2][2] - r[1][2] * r[2][1]) - r[0][1] * (r[1][0] * r[2][2] - r[1][2] * r[2][0]) +
           r[0][2] * (r[1][0] * r[2][1] - r[1][1] * r[2][0]);
}

// The text with every run of blanks made one blank (list-directed lines).
std::string squeeze(const std::string& t) {
    std::string r;
    for (char c : t)
        if (!(c == ' ' && !r.empty() && r.back() == ' ')) r += c;
    return r;
}

double rms_of(const std::vector<double>& a, const std::vector<double>& b) {
    double s = 0;
    for (size_t i = 0; i < a.size(); ++i) s += (a[i] - b[i]) * (a[i] - b[i]);
    return std::sqrt(s / double(a.size() / 3));
}

}  // namespace

TEST(Superpose, RecoversAKnownTransformWithAndWithoutNoise) {
    std::mt19937 g(7);
    std::uniform_real_distribution<double> u(-8.0, 8.0);
    std::normal_distribution<double> noise(0.0, 0.3);
    const int n = 200;
    for (int trial = 0; trial < 5; ++trial) {
        std::vector<double> x(3 * n), y(3 * n), clean(3 * n);
        for (double& v : x) v = u(g);
        double q[3][3], t[3] = {u(g) * 5, u(g) * 5, u(g) * 5};
        random_rotation(g, q);
        // y = Q x + t (+ noise); the fit must find R = Q^T and move y back.
        std::vector<double> e(3 * n);
        for (int i = 0; i < n; ++i)
            for (int a = 0; a < 3; ++a) {
                clean[3 * i + a] = t[a];
                for (int b = 0; b < 3; ++b) clean[3 * i + a] += q[a][b] * x[3 * i + b];
            }
        for (double& v : e) v = noise(g);
        // No noise: recovery to the accuracy of the diagonalisation (its
        // off-diagonal limit of 0.001 against eigenvalues of some 10^4 A^2).
        y = clean;
        FitResult f = Fit(n, x.data(), y.data());
        ASSERT_TRUE(f.ok);
        EXPECT_LT(f.rms, 1e-5);
        EXPECT_NEAR(det(f.v), 1.0, 1e-12);
        for (int a = 0; a < 3; ++a)
            for (int b = 0; b < 3; ++b) EXPECT_NEAR(f.v[a][b], q[b][a], 1e-6);
        for (int a = 0; a < 3; ++a) {  // t' = -Q^T t
            double w = 0;
            for (int b = 0; b < 3; ++b) w -= q[b][a] * t[b];
            EXPECT_NEAR(f.v[a][3], w, 1e-5);
        }
        EXPECT_LT(rms_of(x, y), 1e-5);
        // With noise: the fitted deviation is the least one, so at most
        // that of the true inverse transform, and close to it (6 of 600
        // degrees of freedom are absorbed by the fit).
        for (int i = 0; i < 3 * n; ++i) y[i] = clean[i] + e[i];
        std::vector<double> back(3 * n);
        for (int i = 0; i < n; ++i)
            for (int a = 0; a < 3; ++a) {
                back[3 * i + a] = 0;
                for (int b = 0; b < 3; ++b) back[3 * i + a] += q[b][a] * (y[3 * i + b] - t[b]);
            }
        const double known = rms_of(x, back);
        f = Fit(n, x.data(), y.data());
        ASSERT_TRUE(f.ok);
        EXPECT_LE(f.rms, known + 1e-12);
        EXPECT_GT(f.rms, 0.97 * known);
        EXPECT_NEAR(rms_of(x, y), f.rms, 1e-9);
        EXPECT_NEAR(det(f.v), 1.0, 1e-9);
    }
}

TEST(Superpose, MirrorImageGetsAProperRotationOfLeastDeviation) {
    // y is the mirror image of x: U has a negative determinant, and the
    // eigenvectors alone would give a reflection.
    std::mt19937 g(11);
    std::uniform_real_distribution<double> u(-5.0, 5.0);
    const int n = 30;
    std::vector<double> x(3 * n), y(3 * n);
    for (double& v : x) v = u(g);
    for (int i = 0; i < n; ++i) y[3 * i] = x[3 * i] + 3, y[3 * i + 1] = x[3 * i + 1], y[3 * i + 2] = -x[3 * i + 2];
    const std::vector<double> y0 = y;
    const FitResult f = Fit(n, x.data(), y.data());
    ASSERT_TRUE(f.ok);
    EXPECT_LT(f.det, 0.0);
    EXPECT_NEAR(det(f.v), 1.0, 1e-9);
    for (int a = 0; a < 3; ++a)
        for (int b = 0; b < 3; ++b) {
            double s = 0;
            for (int c = 0; c < 3; ++c) s += f.v[c][a] * f.v[c][b];
            EXPECT_NEAR(s, a == b ? 1.0 : 0.0, 1e-9);
        }
    EXPECT_GT(f.rms, 0.1);
    // No nearby proper rotation about the centroids does better.
    std::normal_distribution<double> small(0.0, 0.02);
    double cx[3] = {0, 0, 0}, cy[3] = {0, 0, 0};
    for (int i = 0; i < n; ++i)
        for (int a = 0; a < 3; ++a) cx[a] += x[3 * i + a] / n, cy[a] += y0[3 * i + a] / n;
    for (int trial = 0; trial < 200; ++trial) {
        const double w[3] = {small(g), small(g), small(g)};
        const double th = std::sqrt(w[0] * w[0] + w[1] * w[1] + w[2] * w[2]);
        const double k[3] = {w[0] / th, w[1] / th, w[2] / th}, c = std::cos(th), s = std::sin(th);
        double p[3][3];
        for (int a = 0; a < 3; ++a)
            for (int b = 0; b < 3; ++b) p[a][b] = (1 - c) * k[a] * k[b] + (a == b ? c : 0);
        p[1][0] += s * k[2], p[0][1] -= s * k[2], p[0][2] += s * k[1], p[2][0] -= s * k[1], p[2][1] += s * k[0],
            p[1][2] -= s * k[0];
        std::vector<double> z(3 * n);
        for (int i = 0; i < n; ++i)
            for (int a = 0; a < 3; ++a) {
                double r = 0;
                for (int b = 0; b < 3; ++b) {
                    double rb = 0;
                    for (int c2 = 0; c2 < 3; ++c2) rb += f.v[b][c2] * (y0[3 * i + c2] - cy[c2]);
                    r += p[a][b] * rb;
                }
                z[3 * i + a] = r + cx[a];
            }
        EXPECT_GE(rms_of(x, z), f.rms - 1e-9);
    }
}

TEST(Superpose, PlanarSetsAndSymmetryCycles) {
    // Points on a line: U is singular, the fit refuses and moves nothing.
    std::vector<double> x = {0, 0, 0, 1, 0, 0, 2, 0, 0}, y = {0, 1, 0, 0, 2, 0, 0, 3, 0};
    const FitResult f = Fit(3, x.data(), y.data());
    EXPECT_FALSE(f.ok);
    EXPECT_EQ(y[4], 2.0);
    // Two symmetries: a pair swap (order 2) and a three-cycle (order 3).
    std::vector<Symmetry> s(2);
    s[0].order = 2, s[0].cycles = {{1, 2}};
    s[1].order = 3, s[1].cycles = {{4, 5, 6}};
    std::vector<int> p;
    symmetry_permutation(s, {1, 1}, 7, p);
    EXPECT_EQ(p, (std::vector<int>{0, 2, 1, 3, 5, 6, 4, 7}));
    symmetry_permutation(s, {0, 2}, 7, p);
    EXPECT_EQ(p, (std::vector<int>{0, 1, 2, 3, 6, 4, 5, 7}));
}

namespace {

class LsqfitCommand : public test::ScratchFolder {
protected:
    LsqfitCommand() : ScratchFolder("kova_lsq_") {}
    void SetUp() override {
        ScratchFolder::SetUp();
        // Phenylalanine: backbone and ring (ideal geometry).
        std::ofstream("phe.qcrd") << "atom 1 phe n   -1.200  1.400  0.300 0 1.6\n"
                                     "atom 1 phe ca   0.000  0.600  0.100 0 1.9\n"
                                     "atom 1 phe c    1.100  1.300 -0.700 0 1.9\n"
                                     "atom 1 phe cb   0.500  0.200  1.500 0 1.9\n"
                                     "atom 1 phe cg   0.900  1.300  2.400 0 1.9\n"
                                     "atom 1 phe cd1  2.200  1.800  2.300 0 1.9\n"
                                     "atom 1 phe cd2  0.000  1.800  3.300 0 1.9\n"
                                     "atom 1 phe ce1  2.600  2.800  3.100 0 1.9\n"
                                     "atom 1 phe ce2  0.400  2.800  4.100 0 1.9\n"
                                     "atom 1 phe cz   1.700  3.300  4.000 0 1.9\nend\n";
        // The crystal: the same atoms with the ring labels flipped.
        std::ofstream x("xtal.pdb");
        const char* c[10] = {"-1.200 1.400 0.300", "0.000 0.600 0.100", "1.100 1.300 -0.700",
                             "0.500 0.200 1.500",  "0.900 1.300 2.400", "0.000 1.800 3.300",
                             "2.200 1.800 2.300",  "0.400 2.800 4.100", "2.600 2.800 3.100",
                             "1.700 3.300 4.000"};
        x << "REMARK crystal\n";
        for (int i = 0; i < 10; ++i) x << "ATOM " << i + 1 << " C PHE 1 " << c[i] << " 1.0 0.0\n";
        x << "END\n";
    }
};

}  // namespace

TEST_F(LsqfitCommand, RingFlipPicksTheLowerDeviationAndRotatedFitIsExact) {
    test::Session s("read mol 1 qcard file phe.qcrd end\nrms file xtal.pdb end\n"
                    "man all zrot 40.0 end man all xtrans 3.0 end\n"
                    "lsqfit rotate symmetry 1 set 2 6 7 8 9 end end\nstop\n");
    EXPECT_EQ(run_kova(s.k), 0);
    const std::string o = squeeze(s.out.str());
    EXPECT_NE(o.find("There are 2 TOTAL symmetries in mol. 1"), std::string::npos) << o;
    // Rotated: the flipped labels superpose exactly, the trivial one not.
    const size_t r = o.find("RMS rotated overlap");
    ASSERT_NE(r, std::string::npos) << o;
    EXPECT_NE(o.find("Using symmetry # 1", o.find("trivial symmetry rms")), std::string::npos) << o;
    const float best = std::stof(o.substr(r + 20, 16));
    EXPECT_LT(best, 1e-3f);
    EXPECT_NE(o.find("USED SYMMETRY 1\n"), std::string::npos) << o;
    // The store keeps the moved coordinates.
    EXPECT_NEAR(s.k.mol.x[1], -1.2 * std::cos(0.6981317) - 1.4 * std::sin(0.6981317) + 3.0, 1e-4);
}

TEST_F(LsqfitCommand, UnrotatedZeroAfterRmsAndRefusals) {
    test::Session s("mode bomb fata end\nread mol 1 qcard file phe.qcrd end\nrms end\nlsqfit norotate end\n"
                    "lsqfit symmetry 1 set 1 3 11 end end\n"
                    "lsqfit symmetry 1 pairs 1 2 3 end end\n"
                    "read mol 2 qcard file phe.qcrd end\n"
                    "rms file xtal.pdb end\nstop\n");
    run_kova(s.k);
    const std::string o = squeeze(s.out.str());
    EXPECT_NE(o.find("trivial symmetry, rms = 0.00000000 0.00000000"), std::string::npos) << o;
    EXPECT_NE(o.find("SERIOUS: Lsqfit(998) symmetry atom not in molecule 1: 11"), std::string::npos) << o;
    EXPECT_NE(o.find("SERIOUS: Lsqfit(997) error parsing line of SYMMETRY file."), std::string::npos) << o;
    // A crystal of 10 atoms for a molecule 1 of 10 is read; one of another
    // size would stop the run.
    test::Session t("mode bomb fata end\nread mol 1 qcard file phe.qcrd end\nlsqfit end\n");
    run_kova(t.k);
    EXPECT_NE(t.out.str().find("SERIOUS: Lsqfit(1006) molecule 1 and the reference differ in size: 10 and 0 atoms"),
              std::string::npos)
        << t.out.str();
    std::ofstream("short.pdb") << "ATOM 1 C PHE 1 0 0 0\nATOM 2 C PHE 1 1 0 0\n";
    test::Session u("read mol 1 qcard file phe.qcrd end\nrms file short.pdb end\nstop\n");
    EXPECT_EQ(run_kova(u.k), 1);
    EXPECT_NE(squeeze(u.out.str()).find(" wrong number 2 of atoms in crystal"), std::string::npos) << u.out.str();
}
