// The conjugate-gradient solvers checked against direct dense solves of the
// same finite-difference system (Gaussian elimination in double), and the
// potential of the whole elec command against closed-form electrostatics:
// Coulomb's law in the solvent, the Born reaction field of an ion, the
// Debye-Hueckel sphere in salt, and the full nonlinear equation.
//
// Units: phi is in internal energy units (amu A^2/ps^2) per elementary
// charge; a dielectric constant d is the permittivity d x 5.7277083e-7
// e^2 ps^2/(amu A^3), so the Coulomb potential of a charge q at r Angstrom
// is q / (4 pi d 5.7277083e-7 r).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "../command/harness.hpp"
#include "elec/elec.hpp"
#include "stencil.hpp"

namespace kova {
namespace {

using test::stencil_times;

constexpr double pi = 3.14159265358979323846;

// --- Small systems against a dense solve ------------------------------------

// Dense matrix of the seven-point system, built point by point from its
// neighbours: a face permittivity couples (i,j,k) to (i+1,j,k) when i < nx,
// and so on; boundary faces are not stored.
std::vector<double> dense_matrix(const GridStore& g) {
    const int n = g.nxyz;
    std::vector<double> a(static_cast<size_t>(n) * n, 0.0);
    auto at = [&](int r, int c) -> double& { return a[static_cast<size_t>(r - 1) * n + (c - 1)]; };
    for (int k = 1; k <= g.nz; ++k)
        for (int j = 1; j <= g.ny; ++j)
            for (int i = 1; i <= g.nx; ++i) {
                const int l = g.index(i, j, k);
                at(l, l) = g.diagm[l];
                auto couple = [&](int m, double e) { at(l, m) = -e, at(m, l) = -e; };
                if (i < g.nx) couple(g.index(i + 1, j, k), g.epsi[l]);
                if (j < g.ny) couple(g.index(i, j + 1, k), g.epsj[l]);
                if (k < g.nz) couple(g.index(i, j, k + 1), g.epsk[l]);
            }
    return a;
}

// Gaussian elimination with partial pivoting.
std::vector<double> dense_solve(std::vector<double> a, std::vector<double> b) {
    const int n = static_cast<int>(b.size());
    for (int c = 0; c < n; ++c) {
        int piv = c;
        for (int r = c + 1; r < n; ++r)
            if (std::fabs(a[static_cast<size_t>(r) * n + c]) > std::fabs(a[static_cast<size_t>(piv) * n + c])) piv = r;
        if (piv != c) {
            for (int q = 0; q < n; ++q) std::swap(a[static_cast<size_t>(c) * n + q], a[static_cast<size_t>(piv) * n + q]);
            std::swap(b[c], b[piv]);
        }
        for (int r = c + 1; r < n; ++r) {
            const double f = a[static_cast<size_t>(r) * n + c] / a[static_cast<size_t>(c) * n + c];
            if (f == 0.0) continue;
            for (int q = c; q < n; ++q) a[static_cast<size_t>(r) * n + q] -= f * a[static_cast<size_t>(c) * n + q];
            b[r] -= f * b[c];
        }
    }
    std::vector<double> x(n);
    for (int r = n - 1; r >= 0; --r) {
        double s = b[r];
        for (int q = r + 1; q < n; ++q) s -= a[static_cast<size_t>(r) * n + q] * x[q];
        x[r] = s / a[static_cast<size_t>(r) * n + r];
    }
    return x;
}

std::vector<double> dense_times(const std::vector<double>& a, const std::vector<double>& x) {
    const size_t n = x.size();
    std::vector<double> y(n, 0.0);
    for (size_t r = 0; r < n; ++r)
        for (size_t c = 0; c < n; ++c) y[r] += a[r * n + c] * x[c];
    return y;
}

// A random dielectric system on an nx x ny x nz grid, as the mapping leaves
// it: face permittivities between 2 and 80 (in units of eps0), boundary
// faces 0 in the maps and epsout in the diagonal, an ionic term on part of
// the points, a few charges and boundary potentials in rhs.
void random_system(GridStore& g, int nx, int ny, int nz, unsigned seed, float ionic = 0.3f) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> die(2.0f, 80.0f), u(0.0f, 1.0f), q(-1.0f, 1.0f);
    g.nx = nx, g.ny = ny, g.nz = nz;
    g.update_counts();
    g.h = 1.0f;
    const float eo = 80.0f * eps0;
    for (auto* m : {&g.epsi, &g.epsj, &g.epsk, &g.diagm, &g.rhs, &g.phi, &g.iacs, &g.pvec, &g.work, &g.prec})
        std::fill(m->begin(), m->end(), 0.0f);
    for (int k = 1; k <= nz; ++k)
        for (int j = 1; j <= ny; ++j)
            for (int i = 1; i <= nx; ++i) {
                const int l = g.index(i, j, k);
                g.epsi[l] = i < nx ? die(gen) * eps0 : 0.0f;
                g.epsj[l] = j < ny ? die(gen) * eps0 : 0.0f;
                g.epsk[l] = k < nz ? die(gen) * eps0 : 0.0f;
            }
    for (int k = 1; k <= nz; ++k)
        for (int j = 1; j <= ny; ++j)
            for (int i = 1; i <= nx; ++i) {
                const int l = g.index(i, j, k);
                float d = 0;
                d += i > 1 ? g.epsi[g.index(i - 1, j, k)] : eo;
                d += i < nx ? g.epsi[l] : eo;
                d += j > 1 ? g.epsj[g.index(i, j - 1, k)] : eo;
                d += j < ny ? g.epsj[l] : eo;
                d += k > 1 ? g.epsk[g.index(i, j, k - 1)] : eo;
                d += k < nz ? g.epsk[l] : eo;
                if (u(gen) < 0.5f) d += ionic * eo * u(gen);
                g.diagm[l] = d;
                if (u(gen) < 0.2f) g.rhs[l] = q(gen);
                if (i == 1 || i == nx) g.rhs[l] += 0.01f * q(gen);
            }
}

std::vector<double> grid_vector(const std::vector<float>& m, int n) { return {m.begin() + 1, m.begin() + n + 1}; }

double l1(const std::vector<double>& v) {
    double s = 0;
    for (double x : v) s += std::fabs(x);
    return s;
}

// sum |b - A phi| in double.
double true_residual(const std::vector<double>& a, const std::vector<double>& b, const std::vector<float>& phi) {
    const std::vector<double> ap = dense_times(a, grid_vector(phi, static_cast<int>(b.size())));
    double s = 0;
    for (size_t l = 0; l < b.size(); ++l) s += std::fabs(b[l] - ap[l]);
    return s;
}

TEST(SolverKernels, ProductAndPreconditionersAgainstDenseMatrices) {
    test::Session s;
    GridStore& g = s.k.mess;
    random_system(g, 5, 4, 3, 7u);
    const int n = g.nxyz;
    const std::vector<double> a = dense_matrix(g);
    std::mt19937 gen(3);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);

    // gqact: work = A pvec.
    for (int l = 1; l <= n; ++l) g.pvec[l] = u(gen);
    gqact(g);
    const std::vector<double> ap = dense_times(a, grid_vector(g.pvec, n));
    for (int l = 1; l <= n; ++l) EXPECT_NEAR(g.work[l], ap[l - 1], 1e-5 * 80 * eps0 * 6) << l;

    // Diagonal scaling: z = r / diagm.
    for (int l = 1; l <= n; ++l) g.rhs[l] = u(gen);
    indiag(g);
    pcdiag(g);
    for (int l = 1; l <= n; ++l) EXPECT_NEAR(g.work[l] * g.diagm[l], g.rhs[l], 1e-5) << l;

    // Incomplete Cholesky without fill-in: M = (D - E) D^-1 (D - E^T) agrees
    // with A on A's stencil (the diagonal and the seven-point couplings).
    iniccg(g);
    std::vector<double> lo(static_cast<size_t>(n) * n, 0.0);  // D - E
    for (int r = 0; r < n; ++r) {
        lo[static_cast<size_t>(r) * n + r] = g.prec[r + 1];
        for (int c = 0; c < r; ++c) lo[static_cast<size_t>(r) * n + c] = a[static_cast<size_t>(r) * n + c];
    }
    std::vector<double> m(static_cast<size_t>(n) * n, 0.0);
    for (int r = 0; r < n; ++r)
        for (int c = 0; c < n; ++c) {
            double v = 0;
            for (int q = 0; q <= std::min(r, c); ++q)
                v += lo[static_cast<size_t>(r) * n + q] * lo[static_cast<size_t>(c) * n + q] / g.prec[q + 1];
            m[static_cast<size_t>(r) * n + c] = v;
        }
    for (int r = 0; r < n; ++r)
        for (int c = 0; c < n; ++c) {
            const double arc = a[static_cast<size_t>(r) * n + c];
            if (arc != 0.0) {
                EXPECT_NEAR(m[static_cast<size_t>(r) * n + c], arc, 1e-5 * std::fabs(arc)) << r << "," << c;
            }
        }
    for (int l = 1; l <= n; ++l) EXPECT_GT(g.prec[l], 0.0f);
    // pciccg solves M z = r.
    pciccg(g);
    const std::vector<double> mz = dense_times(m, grid_vector(g.work, n));
    for (int l = 1; l <= n; ++l) EXPECT_NEAR(mz[l - 1], g.rhs[l], 1e-5) << l;
}

// The incomplete Cholesky sweeps, however the production code orders its
// work, must give what the plain recurrences give, operation for
// operation: to the bit, on grids of every shape (lines shorter and longer
// than four, single lines and planes).
TEST(SolverKernels, IncompleteCholeskySweepsAreThePlainRecurrencesToTheBit) {
    const int shapes[][3] = {{5, 4, 3}, {17, 9, 13}, {3, 2, 7}, {1, 6, 5}, {8, 1, 4}, {6, 5, 1}, {2, 3, 9}, {33, 33, 33}};
    unsigned seed = 11;
    for (const auto& sh : shapes) {
        test::Session s;
        GridStore& g = s.k.mess;
        random_system(g, sh[0], sh[1], sh[2], ++seed);
        const int n = g.nxyz, nx = g.nx, nxy = g.nxy;
        std::mt19937 gen(seed);
        std::uniform_real_distribution<float> u(-1.0f, 1.0f);
        for (int l = 1; l <= n; ++l) g.rhs[l] = u(gen);
        iniccg(g);
        for (int l = 1; l <= n; ++l) g.work[l] = 1.0e30f * u(gen);  // leftovers must not matter
        pciccg(g);
        // Forward: y(l) = (r + epsj y(l-nx) + epsk y(l-nxy)) c + (epsi(l-1) c) y(l-1).
        std::vector<float> z(n + 2, 0.0f);
        float prev = 0.0f;
        for (int l = 1; l <= n; ++l) {
            const float c = 1.0f / g.prec[l];
            float t = g.rhs[l];
            if (l - nx >= 1) t += g.epsj[l - nx] * z[l - nx];
            if (l - nxy >= 1) t += g.epsk[l - nxy] * z[l - nxy];
            const float e = l > 1 ? g.epsi[l - 1] : 0.0f;
            prev = t * c + (e * c) * prev;
            z[l] = prev;
        }
        // Backward from z(n) = y(n).
        float next = z[n];
        for (int l = n - 1; l >= 1; --l) {
            const float c = 1.0f / g.prec[l];
            float y = z[l];
            if (l + nx <= n) {
                float t = g.epsj[l] * z[l + nx];
                if (l + nxy <= n) t += g.epsk[l] * z[l + nxy];
                y += t * c;
            }
            next = y + (g.epsi[l] * c) * next;
            z[l] = next;
        }
        for (int l = 1; l <= n; ++l)
            ASSERT_EQ(g.work[l], z[l]) << sh[0] << "x" << sh[1] << "x" << sh[2] << " l=" << l;
    }
}

class SmallSystem : public ::testing::TestWithParam<int> {};

TEST_P(SmallSystem, ConvergedPotentialMatchesTheDenseSolve) {
    const int solv = GetParam();
    for (unsigned seed : {1u, 2u, 3u}) {
        test::Session s;
        GridStore& g = s.k.mess;
        random_system(g, 7, 6, 5, seed);
        g.solv = solv;
        g.maxits = 200;
        g.conv = 1.0e-6f;
        const int n = g.nxyz;
        const std::vector<double> a = dense_matrix(g), b = grid_vector(g.rhs, n);
        const std::vector<double> x = dense_solve(a, b);
        potent(s.k);
        EXPECT_EQ(s.out.str(), "");  // no message
        EXPECT_FLOAT_EQ(g.bnorm, static_cast<float>(l1(b)));
        EXPECT_LE(g.rnorm, g.conv * g.bnorm);
        EXPECT_LT(g.iters, g.maxits);
        EXPECT_GE(g.iters, 2);
        // The recursive residual tracks the true one.
        EXPECT_NEAR(true_residual(a, b, g.phi), g.rnorm, 2e-7 * g.bnorm) << "seed " << seed;
        double xmax = 0;
        for (double v : x) xmax = std::max(xmax, std::fabs(v));
        for (int l = 1; l <= n; ++l) ASSERT_NEAR(g.phi[l], x[l - 1], 2e-5 * xmax) << "seed " << seed << " point " << l;
    }
}

INSTANTIATE_TEST_SUITE_P(Preconditioners, SmallSystem, ::testing::Values(0, 1, 2), [](const auto& info) {
    return info.param == 0 ? "DiagonalScaling" : info.param == 1 ? "IncompleteCholesky" : "Multigrid";
});

TEST(SolverIterations, ExactPreconditionersConvergeInOneStep) {
    // A chain of points (nx x 1 x 1) is tridiagonal: the incomplete Cholesky
    // factor has no fill-in to drop, M = A, and one step after the
    // initialisation pass solves the system.
    test::Session s;
    GridStore& g = s.k.mess;
    random_system(g, 40, 1, 1, 11u);
    g.solv = 1;
    potent(s.k);
    EXPECT_EQ(g.iters, 2);
    EXPECT_LE(g.rnorm, g.conv * g.bnorm);

    // Without couplings A is diagonal and diagonal scaling is exact.
    random_system(g, 6, 5, 4, 12u);
    for (auto* m : {&g.epsi, &g.epsj, &g.epsk}) std::fill(m->begin(), m->end(), 0.0f);
    const std::vector<float> b = g.rhs;
    g.solv = 0;
    potent(s.k);
    EXPECT_EQ(g.iters, 2);
    for (int l = 1; l <= g.nxyz; ++l) ASSERT_NEAR(g.phi[l] * g.diagm[l], b[l], 1e-6) << l;
}

TEST(SolverIterations, BothPreconditionersAgreeAndIncompleteCholeskyIsFaster) {
    test::Session s;
    GridStore& g = s.k.mess;
    random_system(g, 12, 11, 10, 21u);
    const std::vector<float> b = g.rhs;
    g.solv = 0;
    g.maxits = 500;
    potent(s.k);
    const int it_diag = g.iters;
    const std::vector<float> phi_diag = g.phi;
    g.rhs = b;
    std::fill(g.phi.begin(), g.phi.end(), 0.0f);
    g.solv = 1;
    potent(s.k);
    const int it_icc = g.iters;
    EXPECT_LT(it_icc, it_diag);
    EXPECT_LT(it_diag, g.maxits);
    float pmax = 0;
    for (int l = 1; l <= g.nxyz; ++l) pmax = std::max(pmax, std::fabs(g.phi[l]));
    for (int l = 1; l <= g.nxyz; ++l) ASSERT_NEAR(g.phi[l], phi_diag[l], 1e-4f * pmax) << l;
    // Started from the solution, the solve stops at the initialisation pass.
    g.rhs = b;
    potent(s.k);
    EXPECT_EQ(g.iters, 1);
}

TEST(SolverIterations, MaxitsExhaustedReportsTheNormsReached) {
    test::Session s;
    GridStore& g = s.k.mess;
    random_system(g, 9, 8, 7, 5u);
    const int n = g.nxyz;
    const std::vector<double> a = dense_matrix(g), b = grid_vector(g.rhs, n);
    g.solv = 0;
    g.maxits = 4;
    potent(s.k);
    EXPECT_EQ(s.out.str(), " pcg: warning maxits exceeded!\n");
    EXPECT_EQ(g.iters, 4);
    EXPECT_FLOAT_EQ(g.bnorm, static_cast<float>(l1(b)));
    EXPECT_GT(g.rnorm, g.conv * g.bnorm);
    EXPECT_NEAR(g.rnorm, true_residual(a, b, g.phi), 1e-5 * g.bnorm);
    EXPECT_LT(g.rnorm, g.bnorm);  // three steps did reduce it

    // maxits 1: only the initialisation pass, whose residual is b - A phi0.
    test::Session s1;
    GridStore& h = s1.k.mess;
    random_system(h, 9, 8, 7, 5u);
    h.maxits = 1;
    for (int l = 1; l <= h.nxyz; ++l) h.phi[l] = 0.5f;
    std::vector<float> phi0 = h.phi;
    potent(s1.k);
    EXPECT_EQ(s1.out.str(), " pcg: warning maxits exceeded!\n");
    EXPECT_EQ(h.iters, 1);
    EXPECT_EQ(h.phi, phi0);
    EXPECT_NEAR(h.rnorm, true_residual(a, b, phi0), 1e-6 * h.bnorm);
}

TEST(SolverIterations, NoSourcesStopAfterTheFirstPass) {
    test::Session s;
    GridStore& g = s.k.mess;
    random_system(g, 6, 6, 6, 9u);
    std::fill(g.rhs.begin(), g.rhs.end(), 0.0f);
    potent(s.k);
    EXPECT_EQ(g.bnorm, 0.0f);
    EXPECT_EQ(g.rnorm, 0.0f);
    EXPECT_EQ(g.iters, 1);
    // A potential left from another system is not the solution of this one,
    // which is 0.
    std::fill(g.phi.begin(), g.phi.end(), 3.0f);
    potent(s.k);
    EXPECT_EQ(g.iters, 1);
    EXPECT_EQ(g.rnorm, 0.0f);
    for (int l = 1; l <= g.nxyz; ++l) ASSERT_EQ(g.phi[l], 0.0f);
    EXPECT_EQ(s.out.str(), "");
}

TEST(SolverIterations, UnknownPreconditionerIsFatal) {
    test::Session s;
    GridStore& g = s.k.mess;
    random_system(g, 3, 3, 3, 1u);
    g.solv = 3;
    s.k.flags.bomb = 5;
    EXPECT_TRUE(s.ends([&] { potent(s.k); }));
    EXPECT_EQ(s.listing(), " FATAL: potent(000) unknown preconditioning method3\n");
}


// --- Closed-form electrostatics through the elec command --------------------

// One atom and a sequence of elec commands.
struct IonRun {
    test::Session s;
    Kova& k = s.k;
    GridStore& g = s.k.mess;
    explicit IonRun(std::string commands, float q, float r) : s(std::move(commands)) {
        MoleculeStore& m = k.mol;
        m.nmol = 1, m.fstatm[1] = 1, m.lstatm[1] = 1, m.natom = 1;
        m.x[1] = m.y[1] = m.z[1] = 0.0f;
        m.chrg[1] = q;
        m.radi[1] = r;
        k.flags.bomb = 5;
    }
    // Reads and runs the next elec command.
    void elec() {
        getlin(k, 5, "Main");
        gettok(k);
        eledrv(k);
    }
    // Potential at grid offset (di, dj, dk) from the centre point and the
    // distance of that point from the ion.
    float phi(int di, int dj, int dk) const {
        const int c = (g.nx + 1) / 2;
        return g.phi[g.index(c + di, c + dj, c + dk)];
    }
    double dist(int di, int dj, int dk) const { return g.h * std::sqrt(double(di * di + dj * dj + dk * dk)); }
};

// Grid offsets (in steps of 0.5 A) from the ion to points 2.8 to 8 A away
// along the axes, face and body diagonals.
const int offsets[][3] = {{8, 0, 0},  {0, 12, 0},  {0, 0, -16}, {-6, 0, 0}, {4, 4, 0}, {0, -6, 6},
                          {8, 8, 0},  {4, 4, 4},   {-6, 6, -6}, {8, 8, 8},  {12, 4, 3}};

TEST(ClosedForm, BornIonCoulombTailAndReactionField) {
    // Ion of charge +1, radius 2 A, at the centre point of a 0.5 A grid;
    // boundary potential q/(4 pi epsout r) (bcfl 1), exact for this system.
    const float a = 2.0f;
    IonRun run("elec grid 0.5 dime 41 41 41 pdie 1 sdie 78 bcfl 1 end\n"
               "elec grid 0.5 dime 41 41 41 pdie 1 sdie 1 bcfl 1 end\n",
               1.0f, a);
    run.elec();
    EXPECT_LE(run.g.rnorm, run.g.conv * run.g.bnorm);
    EXPECT_LT(run.g.iters, run.g.maxits);
    const double eo = 78.0 * eps0, ei = 1.0 * eps0;
    // Outside the ion the potential is Coulomb's in the solvent.
    for (const auto& o : offsets) {
        const double r = run.dist(o[0], o[1], o[2]);
        EXPECT_NEAR(run.phi(o[0], o[1], o[2]) * 4 * pi * eo * r, 1.0, 0.02) << "r = " << r;
    }
    const float phi78 = run.phi(0, 0, 0);
    run.elec();
    const float phi1 = run.phi(0, 0, 0);
    // Born: the reaction potential at the ion is q (1/epsout - 1/epsint)/(4 pi a)
    // (-68577 amu A^2/ps^2 per e here; the Born energy, q/2 times it, is
    // -81.95 kcal/mol).
    const double born = (1.0 / eo - 1.0 / ei) / (4 * pi * a);
    EXPECT_NEAR((phi78 - phi1) / born, 1.0, 0.03) << "reaction " << phi78 - phi1 << " Born " << born;
    // In a uniform dielectric the potential is Coulomb's everywhere but near
    // the charge itself.
    for (const auto& o : offsets) {
        const double r = run.dist(o[0], o[1], o[2]);
        EXPECT_NEAR(run.phi(o[0], o[1], o[2]) * 4 * pi * ei * r, 1.0, 0.02) << "r = " << r;
    }
}

TEST(ClosedForm, DebyeHueckelSphereInSalt) {
    // Charge +1 at the centre of a sphere of radius 3 A that excludes the
    // ions, in 150 mM salt: outside, phi = q exp(-kappa (r - a)) /
    // (4 pi epsout (1 + kappa a) r). bcfl 1 with dhra 3 sets that boundary.
    const float a = 3.0f;
    IonRun run("elec grid 0.5 dime 41 41 41 pdie 2 sdie 78 ions 150 dhra 3 bcfl 1 end\n", 1.0f, a);
    run.elec();
    const double eo = 78.0 * eps0, kappa = run.k.env.kappa;
    EXPECT_NEAR(kappa, 0.127, 0.001);
    EXPECT_LE(run.g.rnorm, run.g.conv * run.g.bnorm);
    for (const auto& o : offsets) {
        const double r = run.dist(o[0], o[1], o[2]);
        if (r < a + 0.5) continue;
        const double want = std::exp(-kappa * (r - a)) / (4 * pi * eo * (1 + kappa * a) * r);
        EXPECT_NEAR(run.phi(o[0], o[1], o[2]) / want, 1.0, 0.02) << "r = " << r;
    }
}

TEST(ElecSolve, IterationSummaryAfterMaxitsAndWithoutSources) {
    IonRun run("elec grid 0.5 dime 17 17 17 bcfl 1 solv 0 maxi 3 setu end\n"
               "elec grid 0.5 dime 17 17 17 bcfl 1 solv 0 maxi 3 end\n",
               1.0f, 2.0f);
    run.elec();
    GridStore& g = run.g;
    const std::vector<float> b = g.rhs;
    run.elec();
    const std::string said = run.s.messages();
    EXPECT_NE(said.find(" PERFORMING SETUP AND CALCULATION\n pcg: warning maxits exceeded!\n ITERATION SUMMARY\n"
                        "   Iterations required                               :         3\n"),
              std::string::npos)
        << said;
    double bsum = 0;
    for (int l = 1; l <= g.nxyz; ++l) bsum += std::fabs(b[l]);
    EXPECT_NEAR(g.bnorm, bsum, 1e-6 * bsum);
    const std::vector<double> ap = stencil_times(g, g.phi);
    double rsum = 0;
    for (int l = 1; l <= g.nxyz; ++l) rsum += std::fabs(b[l] - ap[l]);
    EXPECT_NEAR(g.rnorm, rsum, 1e-5 * bsum);
    EXPECT_GT(g.rnorm, g.conv * g.bnorm);

    // No charge and a zero boundary: nothing to solve.
    IonRun none("elec grid 0.5 dime 9 9 9 end\n", 0.0f, 2.0f);
    none.elec();
    EXPECT_NE(none.s.messages().find(" ITERATION SUMMARY\n"
                                     "   Iterations required                               :         1\n"
                                     "   Norm of the constant vector                       :0.0000E+00\n"
                                     "   Norm of the residual vector                       :0.0000E+00\n"
                                     "   Convergence achieved                              :0.0000E+00\n"),
              std::string::npos)
        << none.s.messages();
}

// --- The full nonlinear equation ---------------------------------------------

// Grid offsets in the solvent, 4 to 8 A from an ion of radius 3 A.
const int solvent[][3] = {{8, 0, 0}, {0, 12, 0}, {0, 0, -16}, {6, 6, 0}, {4, 4, 4}, {-6, 6, -6}};

TEST(NonlinearEquation, LowPotentialAgreesWithTheLinearOne) {
    IonRun run("elec grid 0.5 dime 33 33 33 ions 150 bcfl 1 end\n"
               "elec grid 0.5 dime 33 33 33 ions 150 bcfl 1 full end\n",
               0.05f, 3.0f);
    run.elec();
    const std::vector<float> lin = run.g.phi;
    run.elec();
    EXPECT_LE(run.g.rnorm, run.g.conv * run.g.bnorm);
    float pmax = 0;
    for (int l = 1; l <= run.g.nxyz; ++l) pmax = std::max(pmax, std::fabs(lin[l]));
    for (int l = 1; l <= run.g.nxyz; ++l) ASSERT_NEAR(run.g.phi[l], lin[l], 1e-3 * pmax) << l;
}

TEST(NonlinearEquation, HighChargeIsScreenedMoreStrongly) {
    // Charge +10 in a sphere of radius 3 A, 150 mM: at the surface phi/RT is
    // about 17, far outside the linear regime.
    IonRun run("elec grid 0.5 dime 33 33 33 ions 150 bcfl 1 end\n"
               "elec grid 0.5 dime 33 33 33 ions 150 bcfl 1 full setu end\n",
               10.0f, 3.0f);
    run.elec();
    const std::vector<float> lin = run.g.phi;
    run.elec();
    GridStore& g = run.g;
    EXPECT_EQ(g.nonl, -1);
    const std::vector<float> b = g.rhs;
    const size_t before = run.s.out.str().size();
    potent(run.k);
    const std::string said = run.s.out.str().substr(before);
    EXPECT_LE(g.rnorm, g.conv * g.bnorm);
    EXPECT_LT(g.iters, g.maxits);
    for (const auto& o : solvent) {
        const float nl = run.phi(o[0], o[1], o[2]), li = lin[g.index(17 + o[0], 17 + o[1], 17 + o[2])];
        EXPECT_GT(nl, 0.0f);
        EXPECT_LT(nl, 0.9f * li) << o[0] << " " << o[1] << " " << o[2];
    }
    // The solution satisfies A phi + t sinh(phi/RT) = b at the points open
    // to the ions (a check in double, independent of the iteration).
    const double t = 2.0 * run.k.env.cion * g.h * g.h, rt = 0.83144647 * run.k.env.temp;
    const std::vector<double> ap = stencil_times(g, g.phi);
    // Single-precision phi cannot do better than its own rounding: half an
    // ulp of each value times the row of the Jacobian.
    double res = 0, floor = 0;
    for (int l = 1; l <= g.nxyz; ++l) {
        const bool open = g.iacs[l] != 6.0f;
        res += std::fabs(b[l] - ap[l] - (open ? t * std::sinh(g.phi[l] / rt) : 0.0));
        const double row = 2.0 * g.diagm[l] + (open ? t * std::cosh(g.phi[l] / rt) / rt : 0.0);
        floor += row * std::fabs(g.phi[l]) * 0x1p-24;
    }
    EXPECT_LT(res, g.conv * g.bnorm + 2 * floor);
}

TEST(NonlinearEquation, LineSearchFindsTheStepAlongTheDirection) {
    // At a step of the iteration, with phi the potential, p the direction and
    // rz the r.z product, the Newton line search solves
    //   f(alpha) = alpha pAp - rz + t sum (sinh((phi + alpha p)/RT) - sinh(phi/RT)) p = 0
    // over the points open to the ions; here bisection in double gives it.
    IonRun run("elec grid 0.5 dime 25 25 25 ions 150 bcfl 1 full nlto 1e-6 nlma 40 setu end\n", 10.0f, 3.0f);
    run.elec();
    GridStore& g = run.g;
    const double t = 2.0 * run.k.env.cion * g.h * g.h, rt = 0.83144647 * run.k.env.temp;
    iniccg(g);
    PcgState st;
    int flag = 0;
    pcg(run.k, flag, st);
    ASSERT_EQ(flag, 1);
    gqact(g);
    pcg(run.k, flag, st);  // initialisation pass
    double shortest = 1;  // the smallest ratio of the step to the linear one
    for (int step = 1; step <= 8 && flag == 2; ++step) {
        // The search direction of this step.
        pciccg(g);
        double rz = 0;
        for (int l = 1; l <= g.nxyz; ++l) rz += double(g.rhs[l]) * g.work[l];
        pcg(run.k, flag, st);
        ASSERT_EQ(flag, 1);
        const std::vector<float> phi = g.phi, p = g.pvec;
        const std::vector<double> ap = stencil_times(g, p);
        double pap = 0;
        for (int l = 1; l <= g.nxyz; ++l) pap += p[l] * ap[l];
        auto f = [&](double alpha) {
            double v = alpha * pap - rz;
            for (int l = 1; l <= g.nxyz; ++l)
                if (g.iacs[l] != 6.0f) v += t * (std::sinh((phi[l] + alpha * p[l]) / rt) - std::sinh(phi[l] / rt)) * p[l];
            return v;
        };
        const double linear = rz / pap;
        double lo = 0, hi = linear;  // f(0) < 0 <= f(linear alpha)
        ASSERT_LT(f(lo), 0.0);
        ASSERT_GE(f(hi), 0.0);
        for (int it = 0; it < 45; ++it) (f(0.5 * (lo + hi)) < 0 ? lo : hi) = 0.5 * (lo + hi);
        // The step taken.
        gqact(g);
        pcg(run.k, flag, st);
        EXPECT_NEAR(st.alpha / lo, 1.0, 1e-4) << "step " << step << ": " << st.alpha << " vs " << lo;
        shortest = std::min(shortest, lo / linear);
        for (int l = 1; l <= g.nxyz; ++l) ASSERT_EQ(g.phi[l], phi[l] + static_cast<float>(st.alpha) * p[l]);
    }
    // Once the direction reaches the solvent, the sinh term shortens the step.
    EXPECT_LT(shortest, 0.8);
    EXPECT_EQ(run.s.messages().find("pcg"), std::string::npos);
}

TEST(NonlinearEquation, LineSearchNoteHalvesTheLastCorrection) {
    // nlma 1: every line search reaches its limit on the first pass, prints
    // the note and takes half the correction, then makes one more pass.
    IonRun run("elec grid 0.5 dime 25 25 25 ions 150 bcfl 1 full nlma 1 end\n", 10.0f, 3.0f);
    run.elec();
    const std::string all = run.s.messages();
    // Layout: the text, then f9.4, 2x, f9.4, 2x, f9.4.
    const std::string head = " pcg: NOTE alpha its exceeded: old, corr, new   ";
    int notes = 0;
    std::istringstream lines(all);
    for (std::string ln; std::getline(lines, ln);) {
        if (ln.rfind(head, 0) != 0) continue;
        ++notes;
        const std::string v = ln.substr(head.size());
        ASSERT_EQ(v.size(), 31u) << ln;
        EXPECT_EQ(v.substr(9, 2), "  ");
        EXPECT_EQ(v.substr(20, 2), "  ");
        const double old = std::stod(v.substr(0, 9)), corr = std::stod(v.substr(11, 9)), now = std::stod(v.substr(22, 9));
        EXPECT_NEAR(now, old + corr, 2.0e-4) << ln;
    }
    EXPECT_EQ(notes, run.g.iters - 1);  // one per step after the initialisation pass
    EXPECT_LE(run.g.rnorm, run.g.conv * run.g.bnorm);
}

TEST(NonlinearEquation, WithoutSaltTheFullEquationIsTheLinearOne) {
    // ions 0: t = 0, the line search keeps the linear alpha.
    IonRun run("elec grid 0.5 dime 25 25 25 bcfl 1 end\n"
               "elec grid 0.5 dime 25 25 25 bcfl 1 full end\n",
               10.0f, 3.0f);
    run.elec();
    const std::vector<float> lin = run.g.phi;
    const int iters = run.g.iters;
    run.elec();
    EXPECT_EQ(run.g.iters, iters);
    float pmax = 0;
    for (int l = 1; l <= run.g.nxyz; ++l) pmax = std::max(pmax, std::fabs(lin[l]));
    for (int l = 1; l <= run.g.nxyz; ++l) ASSERT_NEAR(run.g.phi[l], lin[l], 1e-5 * pmax) << l;
    EXPECT_EQ(run.s.messages().find("pcg"), std::string::npos);
}

TEST(NonlinearEquation, RunawayIterationIsTakenOverByNewton) {
    // At 1 K the sinh term of a charge of 10 overwhelms the step: with one
    // Newton pass (nlma 0) or the default passes, the step would raise the
    // energy; Newton's method takes over and converges.
    for (const char* nlma : {"0", "5"}) {
        IonRun run(std::string("elec grid 0.5 dime 25 25 25 ions 1000 temp 1 bcfl 1 full nlma ") + nlma + " end\n",
                   10.0f, 3.0f);
        run.elec();
        const std::string said = run.s.messages();
        EXPECT_TRUE(run.g.newton) << "nlma " << nlma;
        EXPECT_EQ(said.find("ERROR"), std::string::npos) << said;
        EXPECT_LT(run.g.iters, run.g.maxits);
        EXPECT_LT(run.g.rnorm, 1e-5f * run.g.bnorm);
    }
}

}  // namespace
}  // namespace kova
