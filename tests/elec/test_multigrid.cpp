// The multigrid preconditioner (solv 2). Conjugate gradients need a
// symmetric positive-definite preconditioner: the V-cycle is checked to be
// one on grids of many shapes, and exact where the grid is its own coarsest
// level. Its solves are checked against the incomplete Cholesky ones and
// closed-form electrostatics (a Born ion, the Kirkwood reaction-field force,
// barnase), its iterations against the growth of the grid, and the threaded
// grid loops for the same bits whatever the number of threads.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "../command/harness.hpp"
#include "command/mainloop.hpp"
#include "command/readers.hpp"
#include "elec/elec.hpp"
#include "elec/multigrid.hpp"
#include "stencil.hpp"

namespace kova {
namespace {

constexpr double coulomb_kcal = 332.0636;  // e^2/(4 pi eps0 A) in kcal/mol

// A system with random face permittivities (2 to 80), the boundary faces
// coupling to fixed potentials, an ionic term at some points and random
// charges.
void random_grid(GridStore& g, int nx, int ny, int nz, unsigned seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> die(2.0f, 80.0f), u(0.0f, 1.0f), q(-1.0f, 1.0f);
    g.nx = nx, g.ny = ny, g.nz = nz;
    g.update_counts();
    const float eo = 80.0f * eps0;
    for (auto* m : {&g.epsi, &g.epsj, &g.epsk, &g.diagm, &g.rhs, &g.phi, &g.iacs, &g.pvec, &g.work})
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
                float d = (i > 1 ? g.epsi[l - 1] : eo) + (i < nx ? g.epsi[l] : eo) +
                          (j > 1 ? g.epsj[l - nx] : eo) + (j < ny ? g.epsj[l] : eo) +
                          (k > 1 ? g.epsk[l - g.nxy] : eo) + (k < nz ? g.epsk[l] : eo);
                if (u(gen) < 0.5f) d += 0.3f * eo * u(gen);
                g.diagm[l] = d;
                if (u(gen) < 0.2f) g.rhs[l] = q(gen);
            }
}

double dot(const std::vector<float>& a, const std::vector<float>& b, int n) {
    double s = 0;
    for (int l = 1; l <= n; ++l) s += double(a[l]) * b[l];
    return s;
}

// sum |b - A phi| in double.
double residual_l1(const GridStore& g, const std::vector<float>& b) {
    const std::vector<double> ap = test::stencil_times(g, g.phi);
    double s = 0;
    for (int l = 1; l <= g.nxyz; ++l) s += std::fabs(b[l] - ap[l]);
    return s;
}

TEST(MultigridCycle, SymmetricPositiveDefiniteOnGridsOfEveryShape) {
    // Odd and even axes, axes too short to coarsen, a line and a point.
    const int shapes[][3] = {{9, 8, 7}, {17, 17, 17}, {6, 5, 2}, {10, 3, 17}, {33, 1, 1}, {4, 4, 4}, {1, 1, 1},
                             {12, 11, 10}};
    unsigned seed = 1;
    for (const auto& sh : shapes) {
        test::Session s;
        GridStore& g = s.k.mess;
        random_grid(g, sh[0], sh[1], sh[2], seed++);
        const int n = g.nxyz;
        Multigrid mg(g);
        mg.setup(g.diagm.data());
        std::mt19937 gen(seed);
        std::uniform_real_distribution<float> u(-1.0f, 1.0f);
        std::vector<float> a(n + 1), b(n + 1), ba(n + 1), bb(n + 1);
        for (int l = 1; l <= n; ++l) a[l] = u(gen), b[l] = u(gen);
        mg.apply(a.data(), ba.data());
        mg.apply(b.data(), bb.data());
        const double ab = dot(a, bb, n), ba_ = dot(b, ba, n);
        const double scale = std::sqrt(dot(a, ba, n) * dot(b, bb, n));
        const std::string what = std::to_string(sh[0]) + "x" + std::to_string(sh[1]) + "x" + std::to_string(sh[2]);
        EXPECT_NEAR(ab, ba_, 1e-5 * scale) << what;
        EXPECT_GT(dot(a, ba, n), 0.0) << what;
        EXPECT_GT(dot(b, bb, n), 0.0) << what;
        // A grid that no axis of which can be coarsened is solved exactly:
        // B = A^-1, and B A u = u.
        if (mg.levels() == 1) {
            std::vector<float> au(n + 1);
            const std::vector<double> ad = test::stencil_times(g, a);
            for (int l = 1; l <= n; ++l) au[l] = static_cast<float>(ad[l]);
            mg.apply(au.data(), ba.data());
            for (int l = 1; l <= n; ++l) ASSERT_NEAR(ba[l], a[l], 1e-4) << what << " l=" << l;
        }
        // The whole solve: converged in few iterations, to the criterion in
        // double precision.
        const std::vector<float> rhs = g.rhs;
        g.solv = 2;
        g.conv = 1.0e-6f;
        potent(s.k);
        EXPECT_EQ(s.out.str(), "") << what;
        EXPECT_LE(g.iters, mg.levels() == 1 ? 2 : 14) << what;
        EXPECT_LE(residual_l1(g, rhs), 2.0 * g.conv * g.bnorm) << what;
    }
}

TEST(MultigridCycle, CoarseLevelsHalveTheAxesThatCanBeHalved) {
    test::Session s;
    GridStore& g = s.k.mess;
    random_grid(g, 65, 6, 3, 3u);
    Multigrid mg(g);
    // 65 -> 33 -> 17 -> 9 -> 5 -> 3; 6 -> 3; 3 stays.
    ASSERT_EQ(mg.levels(), 6);
    const int want[][3] = {{65, 6, 3}, {33, 3, 3}, {17, 3, 3}, {9, 3, 3}, {5, 3, 3}, {3, 3, 3}};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(mg.level(i).nx, want[i][0]);
        EXPECT_EQ(mg.level(i).ny, want[i][1]);
        EXPECT_EQ(mg.level(i).nz, want[i][2]);
    }
    // A uniform medium coarsens to the rediscretised equation: couplings
    // 2e across a coarsened pair of faces, the face planes 0.
    random_grid(g, 17, 17, 17, 4u);
    const float e = 10.0f;
    for (int k = 1; k <= 17; ++k)
        for (int j = 1; j <= 17; ++j)
            for (int i = 1; i <= 17; ++i) {
                const int l = g.index(i, j, k);
                g.epsi[l] = i < 17 ? e : 0.0f;
                g.epsj[l] = j < 17 ? e : 0.0f;
                g.epsk[l] = k < 17 ? e : 0.0f;
                g.diagm[l] = 6 * e;
            }
    Multigrid uni(g);
    uni.setup(g.diagm.data());
    const MgLevel& c = uni.level(1);
    ASSERT_EQ(c.nx, 9);
    auto at = [&](int i, int j, int k) { return i + 9 * (j - 1) + 81 * (k - 1); };
    EXPECT_FLOAT_EQ(c.ei[at(4, 5, 6)], 2 * e);
    EXPECT_FLOAT_EQ(c.ej[at(1, 1, 9)], 2 * e);  // on the edges of the grid too
    EXPECT_EQ(c.ei[at(9, 5, 6)], 0.0f);
    EXPECT_EQ(c.ek[at(3, 3, 9)], 0.0f);
    // Interior point: the diagonal is the sum of its couplings (no ions, no
    // boundary); a boundary point also couples to the fixed potentials, 4e
    // through the coarse face (the fine face e on each of its fine points,
    // gathered with weights 1, 1/2, 1/2 ... in the plane: 4).
    EXPECT_FLOAT_EQ(c.dg[at(4, 5, 6)], 12 * e);
    // (The fine boundary points hold 6e with 5 couplings: excess e.)
}

TEST(MultigridCycle, ThreadsGiveTheSameBits) {
    // Large enough (kThreadedPoints) for the kernels of the finest level to
    // be spread over the threads.
    std::vector<float> ref;
    int iters = 0;
    float rnorm = 0;
    for (int threads : {1, 2, 3}) {
        test::Session s;
        GridStore& g = s.k.mess;
        random_grid(g, 52, 51, 50, 7u);
        g.solv = 2;
        g.threads = threads;
        potent(s.k);
        ASSERT_LE(g.rnorm, g.conv * g.bnorm);
        if (ref.empty()) {
            ref = g.phi, iters = g.iters, rnorm = g.rnorm;
            continue;
        }
        EXPECT_EQ(g.iters, iters) << threads;
        EXPECT_EQ(g.rnorm, rnorm) << threads;
        for (int l = 1; l <= g.nxyz; ++l) ASSERT_EQ(g.phi[l], ref[l]) << threads << " threads, point " << l;
    }
}

TEST(ThreadedSetUp, DebyeHueckelBoundaryOfManySpheresIsBcfl1SphereBySphere) {
    // The threaded boundary values of bcfl 2 against bcfl1 called for each
    // sphere in turn: the same sums to the bit, on grids with axes of one
    // point (where a point takes both faces of an axis) and with salt.
    std::mt19937 gen(5);
    std::uniform_real_distribution<float> pos(-6.0f, 6.0f), q(-1.0f, 1.0f), rad(0.0f, 2.5f);
    std::vector<DhSphere> sph(25);
    for (auto& s : sph) s = {pos(gen), pos(gen), pos(gen), q(gen), rad(gen)};
    const int shapes[][3] = {{7, 5, 4}, {1, 6, 3}, {5, 1, 1}, {9, 8, 1}, {3, 3, 2}, {1, 1, 1}, {20, 19, 18}};
    for (const auto& sh : shapes)
        for (float kappa : {0.0f, 0.12f}) {
            const int n = sh[0] * sh[1] * sh[2];
            std::vector<float> want(n + 1);
            for (auto& v : want) v = q(gen);
            const std::vector<float> start = want;
            const float h = 0.7f, xo = -8.0f, yo = -7.5f, zo = -7.0f;
            for (const auto& s : sph) bcfl1(s.x, s.y, s.z, s.q, s.a, kappa, sh[0], sh[1], sh[2], h, xo, yo, zo, want.data());
            for (int threads : {1, 3}) {
                std::vector<float> got = start;
                bcfl_spheres(sph, kappa, sh[0], sh[1], sh[2], h, xo, yo, zo, got.data(), threads);
                for (int l = 1; l <= n; ++l)
                    ASSERT_EQ(got[l], want[l]) << sh[0] << "x" << sh[1] << "x" << sh[2] << " threads " << threads
                                               << " l=" << l;
            }
        }
}

// A run state with the given atoms (x, y, z, charge, radius) as molecule 1,
// fed with command text; cmd() performs the next command.
struct Deck {
    test::Session s;
    Kova& k = s.k;
    GridStore& g = s.k.mess;
    MoleculeStore& m = s.k.mol;
    Arr1<int, maxatm> all{};
    Arr1<float, maxatm> fx{}, fy{}, fz{};
    Deck(std::string commands, std::initializer_list<std::array<float, 5>> atoms) : s(std::move(commands)) {
        int n = 0;
        for (const auto& a : atoms) {
            ++n;
            m.x[n] = a[0], m.y[n] = a[1], m.z[n] = a[2], m.chrg[n] = a[3], m.radi[n] = a[4];
            all[n] = 1;
        }
        m.natom = n, m.nmol = 1, m.fstatm[1] = 1, m.lstatm[1] = n;
        k.flags.bomb = 5;
    }
    void cmd() { dispatch(k, getnam(k, 5, "Main")); }
    double kcal(double e) const { return e * to_kcal; }
};

// The grid work of the set-up, the dielectric boundary force and the energy
// of the full equation give the same bits on 1, 2 and 3 threads, and the
// maps mapped plane group by plane group on the threads are those of the
// spheres mapped one after the other over the whole grid: 40 overlapping
// atoms on 53^3 points (above kThreadedPoints), with the probe surface and
// with smoothed atom spheres.
TEST(ThreadedSetUp, MapsForcesAndEnergyAreTheSameBitsOnAnyThreads) {
    std::mt19937 gen(11);
    std::uniform_real_distribution<float> pos(-5.0f, 5.0f), q(-0.6f, 0.6f), rad(1.2f, 2.2f);
    std::vector<std::array<float, 5>> atoms(40);
    for (auto& a : atoms) a = {pos(gen), pos(gen), pos(gen), q(gen), rad(gen)};
    for (const std::string surface : {"nmap 1.4", "smoo"}) {
        std::vector<std::vector<float>> ref;
        std::vector<std::vector<std::int32_t>> ref_owner;
        double ref_energy = 0;
        Arr1<float, maxatm> ref_f[3]{};
        for (int threads : {1, 2, 3}) {
            Deck r("elec mol1 cent grid 0.5 dime 53 53 53 pdie 2.0 sdie 78.54\nions 150.0 rion 2.0 bcfl 2 " +
                       surface + " solv 2 thre " + std::to_string(threads) + " calc end\n",
                   {});
            int n = 0;
            for (const auto& a : atoms) {
                ++n;
                r.m.x[n] = a[0], r.m.y[n] = a[1], r.m.z[n] = a[2], r.m.chrg[n] = a[3], r.m.radi[n] = a[4];
                r.all[n] = 1;
            }
            r.m.natom = n, r.m.nmol = 1, r.m.fstatm[1] = 1, r.m.lstatm[1] = n;
            r.cmd();
            GridStore& g = r.g;
            ASSERT_EQ(g.nxyz, 53 * 53 * 53);
            ASSERT_GE(g.nxyz, kThreadedPoints);
            ASSERT_LE(g.rnorm, g.conv * g.bnorm) << r.s.messages();
            dbfrc(r.k, r.fx, r.fy, r.fz);
            const double energy = nrggrd(r.k);
            const std::vector<float> maps[] = {g.epsi, g.epsj, g.epsk, g.iacs, g.diagm, g.phi};
            if (threads == 1) {
                ref.assign(std::begin(maps), std::end(maps));
                for (const auto& o : g.owner) ref_owner.push_back(o);
                ref_energy = energy, ref_f[0] = r.fx, ref_f[1] = r.fy, ref_f[2] = r.fz;
                // At least some of the boundary force is there to compare.
                double fsum = 0;
                for (int a = 1; a <= n; ++a) fsum += std::fabs(r.fx[a]);
                EXPECT_GT(fsum, 0.0) << surface;
                // The maps again, sphere by sphere over the whole grid with
                // the routines for one sphere.
                inigrd(r.k);
                const int np = g.nxyz;
                auto zero = [np](auto& v) { std::fill(v.begin() + 1, v.begin() + 1 + np, 0); };
                for (auto& o : g.owner) zero(o);
                void (*const along[3])(Kova&, int) = {excri, excrj, excrk};
                for (auto* f : along) {
                    zero(g.iacs), zero(g.work);
                    for (int a = 1; a <= n; ++a) f(r.k, a);
                }
                if (g.newmap) {
                    srsrf(r.k, g.nsph, g.rsolv);
                    ASSERT_GT(g.ndot, 0);
                    for (auto& o : g.owner) zero(o);
                    void (*const probe[3])(Kova&, int) = {exsrfi, exsrfj, exsrfk};
                    for (auto* f : probe) {
                        zero(g.iacs), zero(g.work);
                        for (int d = 1; d <= g.ndot; ++d) f(r.k, d);
                    }
                }
                zero(g.iacs);
                for (int a = 1; a <= n; ++a) excbd(r.k, a, g.rion);
                const std::vector<float>* one[] = {&g.epsi, &g.epsj, &g.epsk, &g.iacs};
                for (int m = 0; m < 4; ++m)
                    for (int l = 1; l <= np; ++l)
                        ASSERT_EQ((*one[m])[l], ref[m][l]) << surface << " map " << m << " l=" << l;
                for (int o = 0; o < 6; ++o)
                    for (int l = 1; l <= np; ++l)
                        ASSERT_EQ(g.owner[o][l], ref_owner[o][l]) << surface << " owner " << o << " l=" << l;
                continue;
            }
            for (int m = 0; m < 6; ++m)
                for (int l = 1; l <= g.nxyz; ++l)
                    ASSERT_EQ(maps[m][l], ref[m][l]) << surface << " threads " << threads << " map " << m << " l=" << l;
            for (int o = 0; o < 6; ++o)
                for (int l = 1; l <= g.nxyz; ++l)
                    ASSERT_EQ(g.owner[o][l], ref_owner[o][l]) << surface << " owner " << o << " l=" << l;
            EXPECT_EQ(energy, ref_energy) << surface << " threads " << threads;
            for (int a = 1; a <= n; ++a) {
                ASSERT_EQ(r.fx[a], ref_f[0][a]) << surface << " threads " << threads << " atom " << a;
                ASSERT_EQ(r.fy[a], ref_f[1][a]) << surface << " threads " << threads << " atom " << a;
                ASSERT_EQ(r.fz[a], ref_f[2][a]) << surface << " threads " << threads << " atom " << a;
            }
        }
    }
}

// Replaces every " S " by the solver number.
std::string with_solver(std::string text, int solv) {
    for (size_t p; (p = text.find(" S ")) != std::string::npos;)
        text.replace(p, 3, " solv " + std::to_string(solv) + " ");
    return text;
}

TEST(MultigridSolve, BornIonAgreesWithIncompleteCholeskyAndTheClosedForm) {
    // Charge +1, radius 3 A, focused to 0.25 A in water and in vacuum.
    const std::string deck = "elec mol1 cent grid 1.0 pdie 1.0 sdie 78.54 bcfl 2 S end\n"
                             "elec mol1 cent grid 0.5 pdie 1.0 sdie 78.54 bcfl 4 S end\n"
                             "elec mol1 cent grid 0.25 pdie 1.0 sdie 78.54 bcfl 4 S end\n"
                             "elec mol1 cent grid 1.0 pdie 1.0 sdie 1.0 bcfl 2 S end\n"
                             "elec mol1 cent grid 0.5 pdie 1.0 sdie 1.0 bcfl 4 S end\n"
                             "elec mol1 cent grid 0.25 pdie 1.0 sdie 1.0 bcfl 4 S end\n";
    double solvation[3] = {};
    int iters[3] = {};
    for (int solv : {1, 2}) {
        Deck r(with_solver(deck, solv), {{0, 0, 0, 1, 3}});
        for (int i = 0; i < 3; ++i) r.cmd();
        iters[solv] = r.g.iters;
        EXPECT_LE(r.g.rnorm, r.g.conv * r.g.bnorm);
        const double water = r.kcal(nrgrho(r.k, r.all));
        for (int i = 0; i < 3; ++i) r.cmd();
        solvation[solv] = water - r.kcal(nrgrho(r.k, r.all));
    }
    const double born = -coulomb_kcal / (2.0 * 3.0) * (1.0 - 1.0 / 78.54);
    EXPECT_NEAR(solvation[2], born, 0.03 * std::fabs(born));
    EXPECT_NEAR(solvation[2], solvation[1], 1e-4 * std::fabs(born));
    EXPECT_LT(iters[2], iters[1]);
}

TEST(MultigridSolve, KirkwoodForceAgreesWithIncompleteCholesky) {
    // An uncharged cavity of radius 3, a unit charge 1.5 A off its centre:
    // the reaction-field force of the Kirkwood series.
    double ei = 1.0, eo = 78.54, a = 3.0, d = 1.5, series = 0;
    for (int n = 1; n < 400; ++n)
        series += n * (n + 1) * (eo - ei) / (n * ei + (n + 1) * eo) * std::pow(d, 2 * n - 1) / std::pow(a, 2 * n + 1);
    const double expected = coulomb_kcal * series;
    double force[3] = {}, energy[3] = {};
    for (int solv : {1, 2}) {
        Deck r(with_solver("elec mol1 cent grid 0.25 pdie 1.0 sdie 78.54 bcfl 2 S end\n", solv),
               {{0, 0, 0, 0, 3}, {1.5f, 0, 0, 1, 0}});
        r.cmd();
        ASSERT_LE(r.g.rnorm, r.g.conv * r.g.bnorm);
        qefrc(r.k, r.all, r.fx, r.fy, r.fz);
        force[solv] = r.kcal(r.fx[2]);
        energy[solv] = r.kcal(nrgrho(r.k, r.all));
    }
    EXPECT_NEAR(force[2], expected, 0.02 * expected);
    EXPECT_NEAR(force[2], force[1], 1e-3 * expected);
    EXPECT_NEAR(energy[2], energy[1], 1e-5 * std::fabs(energy[1]));
}

TEST(MultigridSolve, BarnaseAgreesWithIncompleteCholeskyAndIterationsStayFlat) {
    // Barnase, interior 2, probe surface, 150 mM, 1 A at 65^3 and 2 A at
    // 33^3 over the same box, linear and full equation.
    const std::string mol = "read mol 1 qcard file '" + std::string(KOVA_TEST_SOURCE_DIR) +
                            "/data/pqr/barnase.qcrd' end\n";
    auto elec = [](const char* grid, int dime, int solv, bool full, const char* action = "") {
        const std::string d = std::to_string(dime);
        return std::string("elec mol1 cent grid ") + grid + " dime " + d + " " + d + " " + d +
               " pdie 2.0 sdie 78.54 nmap 1.4\nions 150.0 rion 2.0 bcfl 2 solv " + std::to_string(solv) +
               (full ? " full " : " ") + action + " end\n";
    };
    for (bool full : {false, true}) {
        int iters[3][2] = {};
        double energy[3] = {};
        float bn[3] = {};
        std::vector<float> phi[3];
        for (int solv : {1, 2}) {
            // The 33^3 solve, the 65^3 one and a set-up on the same grid
            // that rebuilds the constant vector b.
            test::Session s(mol + elec("2.0", 33, solv, full) + elec("1.0", 65, solv, full) +
                            elec("1.0", 65, solv, full, "setu"));
            s.k.flags.bomb = 5;
            GridStore& g = s.k.mess;
            auto next = [&] { dispatch(s.k, getnam(s.k, 5, "Main")); };
            next();
            ASSERT_EQ(s.k.mol.natom, 1730);
            Arr1<int, maxatm> all{};
            for (int a = 1; a <= 1730; ++a) all[a] = 1;
            next();
            iters[solv][0] = g.iters;
            // The 65^3 solve from phi = 0, as the 33^3 one.
            std::fill(g.phi.begin(), g.phi.end(), 0.0f);
            next();
            iters[solv][1] = g.iters;
            bn[solv] = g.bnorm;
            ASSERT_LE(g.rnorm, g.conv * g.bnorm) << solv;
            energy[solv] = nrgrho(s.k, all) * to_kcal;
            phi[solv] = g.phi;
            if (!full) {
                // The residual of the linear equation in double from the
                // maps, within the criterion up to what rounding phi to
                // single precision leaves (half an ulp times the row of A).
                next();
                ASSERT_EQ(g.phi, phi[solv]);
                const std::vector<float> b = g.rhs;
                double floor = 0;
                for (int l = 1; l <= g.nxyz; ++l) floor += 2.0 * g.diagm[l] * std::fabs(g.phi[l]) + std::fabs(b[l]);
                floor *= 0x1p-24;
                EXPECT_LE(residual_l1(g, b), g.conv * bn[solv] + floor) << solv;
            }
        }
        EXPECT_EQ(bn[1], bn[2]);
        EXPECT_NEAR(energy[2], energy[1], 2e-5 * std::fabs(energy[1])) << full;
        // The same potential to what the criterion allows: both residuals
        // are below conv |b|, in the 1-norm.
        double pmax = 0, dmax = 0;
        for (size_t l = 1; l < phi[1].size(); ++l) {
            pmax = std::max(pmax, double(std::fabs(phi[1][l])));
            dmax = std::max(dmax, double(std::fabs(phi[1][l] - phi[2][l])));
        }
        EXPECT_LT(dmax, 1e-4 * pmax) << full;
        // Iterations: flat under multigrid, growing under incomplete Cholesky.
        EXPECT_LE(iters[2][1], 1.5 * iters[2][0]) << full;
        EXPECT_LT(3 * iters[2][1], iters[1][1]) << full;
        if (!full) {
            EXPECT_GT(iters[1][1], 1.5 * iters[1][0]);
        }
    }
}

TEST(MultigridSolve, FullEquationThreadsGiveTheSameBits) {
    // A high charge in strong salt: the conjugate-gradient phase hands over to
    // Newton's method, whose inner solves use the multigrid cycle on the
    // Jacobian.
    std::vector<float> ref;
    for (int threads : {1, 2}) {
        // At 1 K the sinh term of a charge of 10 overwhelms the step.
        Deck r("elec mol1 cent grid 0.5 dime 53 53 53 ions 1000 temp 1 bcfl 1 full\nsolv 2 thre " +
                   std::to_string(threads) + " end\n",
               {{0, 0, 0, 10, 3}});
        r.cmd();
        ASSERT_LT(r.g.rnorm, 1e-5f * r.g.bnorm) << r.s.messages();
        EXPECT_TRUE(r.g.newton);
        if (ref.empty()) {
            ref = r.g.phi;
            continue;
        }
        for (int l = 1; l <= r.g.nxyz; ++l) ASSERT_EQ(r.g.phi[l], ref[l]) << l;
    }
}

}  // namespace
}  // namespace kova
