// The print reports against independent truths: accessible surfaces of one
// and two spheres in closed form and of a protein against a Monte Carlo
// estimate, multipole moments of hand-built charges, the two-molecule
// Coulomb energy against a direct double sum, and the refusals.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <random>
#include <string>

#include "../command/harness.hpp"
#include "../command/scratch.hpp"
#include "command/mainloop.hpp"
#include "molecule/multipole.hpp"
#include "molecule/print.hpp"
#include "molecule/sasa.hpp"

using namespace kova;

namespace {

constexpr double pi = 3.14159265358979323846;

// Exposed area of sphere (radius a) cut by a sphere (radius b) at distance d.
double capped(double a, double b, double d) {
    const double x = (d * d + a * a - b * b) / (2 * d);  // plane of the intersection circle
    return 4 * pi * a * a - 2 * pi * a * (a - x);
}

void put(MoleculeStore& m, int i, double x, double y, double z, double q, double r) {
    m.x[i] = float(x), m.y[i] = float(y), m.z[i] = float(z), m.chrg[i] = float(q), m.radi[i] = float(r);
}

void molecules(MoleculeStore& m, std::initializer_list<int> counts) {
    m.nmol = 0, m.natom = 0;
    for (int c : counts) {
        ++m.nmol;
        m.fstatm[m.nmol] = m.natom + 1;
        m.natom += c;
        m.lstatm[m.nmol] = m.natom;
    }
}

class PrintReports : public test::ScratchFolder {
protected:
    PrintReports() : ScratchFolder("kova_prt_") {}
};

}  // namespace

TEST(Surface, OneAndTwoSpheresAgainstClosedForms) {
    test::Session s;
    MoleculeStore& m = s.k.mol;
    molecules(m, {1});
    put(m, 1, 0.5, -1, 2, 0, 2.0);
    Arr1<int, maxatm> f{};
    f[1] = 1;
    // Every point uncovered: the weights sum to 4 pi.
    ASSERT_EQ(sasclc(m, f, 1.4f, 50, 100), 0);
    EXPECT_NEAR(m.vdwsa[1], 4 * pi * 4.0, 1e-3);
    EXPECT_NEAR(m.accsa[1], 4 * pi * 3.4 * 3.4, 1e-3);
    // Two overlapping spheres, bare and with a probe.
    molecules(m, {2});
    put(m, 1, 0, 0, 0, 0, 2.0);
    put(m, 2, 1.2, 1.6, 2.1, 0, 1.5);  // d = 2.9
    f[2] = 1;
    for (double probe : {0.0, 1.4}) {
        ASSERT_EQ(sasclc(m, f, float(probe), 200, 400), 0);
        const double a = 2.0 + probe, b = 1.5 + probe, d = std::sqrt(1.44 + 2.56 + 4.41);
        EXPECT_NEAR(m.accsa[1], capped(a, b, d), 2e-3 * capped(a, b, d)) << probe;
        EXPECT_NEAR(m.accsa[2], capped(b, a, d), 2e-3 * capped(b, a, d)) << probe;
        EXPECT_NEAR(m.vdwsa[1], m.accsa[1] * 4.0 / (a * a), 1e-3);
    }
    // One atom with more than 200 neighbours is refused.
    molecules(m, {202});
    for (int i = 1; i <= 202; ++i) put(m, i, 0.01 * i, 0, 0, 0, 1.0), f[i] = 1;
    EXPECT_EQ(sasclc(m, f, 0.0f, 10, 10), 2);  // atom 1 has 200, atom 2 has 201
}

TEST(Surface, ProteinAgainstMonteCarlo) {
    test::Session s("read mol 1 qcard file " + std::string(KOVA_TEST_SOURCE_DIR) +
                    "/data/pqr/barnase.qcrd end\nstop\n");
    ASSERT_EQ(run_kova(s.k), 0);
    MoleculeStore& m = s.k.mol;
    const int n = m.natom;
    ASSERT_GT(n, 1000);
    Arr1<int, maxatm> f{};
    for (int i = 1; i <= n; ++i) f[i] = 1;
    const float probe = 1.4f;
    ASSERT_EQ(sasclc(m, f, probe, 30, 60), 0);
    double total = 0;
    for (int i = 1; i <= n; ++i) total += m.accsa[i];
    // Independent estimate: uniform random points on every expanded sphere,
    // exposed when no other expanded sphere holds them.
    std::mt19937 g(3);
    std::normal_distribution<double> nd;
    const int per = 300;
    double mc = 0;
    std::vector<int> nb;
    for (int i = 1; i <= n; ++i) {
        const double ri = m.radi[i] + probe;
        nb.clear();
        for (int j = 1; j <= n; ++j) {
            const double dx = m.x[j] - m.x[i], dy = m.y[j] - m.y[i], dz = m.z[j] - m.z[i];
            const double lim = ri + m.radi[j] + probe;
            if (j != i && dx * dx + dy * dy + dz * dz < lim * lim) nb.push_back(j);
        }
        int free = 0;
        for (int p = 0; p < per; ++p) {
            double u[3] = {nd(g), nd(g), nd(g)};
            const double l = std::sqrt(u[0] * u[0] + u[1] * u[1] + u[2] * u[2]);
            const double q[3] = {m.x[i] + ri * u[0] / l, m.y[i] + ri * u[1] / l, m.z[i] + ri * u[2] / l};
            bool covered = false;
            for (int j : nb) {
                const double rj = m.radi[j] + probe, dx = q[0] - m.x[j], dy = q[1] - m.y[j], dz = q[2] - m.z[j];
                if (dx * dx + dy * dy + dz * dz < rj * rj) {
                    covered = true;
                    break;
                }
            }
            free += !covered;
        }
        mc += 4 * pi * ri * ri * free / per;
    }
    // Some 1700 atoms x 300 points: the estimate's own error is near 0.3%.
    EXPECT_NEAR(total, mc, 0.015 * mc);
    EXPECT_GT(total, 4000.0);
}

TEST(Multipoles, HandBuiltChargesAndLegendreFunctions) {
    ChargeSet d;  // a z dipole of +-1 e at +-1 A and a charge 0.5 at (1, 1, 0)
    d.add(0, 0, 1, 1.0);
    d.add(0, 0, -1, -1.0);
    d.add(1, 1, 0, 0.5);
    const Multipoles mp = multipoles(d, 0, 0, 0);
    EXPECT_NEAR(mp.c[0][0], 0.5, 1e-12);
    EXPECT_NEAR(mp.c[1][0], 2.0, 1e-12);  // sum q z
    EXPECT_NEAR(mp.c[1][1], 0.5, 1e-12);  // sum q x
    EXPECT_NEAR(mp.s[1][1], 0.5, 1e-12);  // sum q y
    EXPECT_NEAR(mp.c[2][0], 1.0 - 1.0 + 0.5 * 2 * (-0.5), 1e-12);  // q r^2 (3 cos^2 - 1)/2
    EXPECT_NEAR(mp.c[2][2], 0.0, 1e-12);                     // 3 q (x^2 - y^2)
    EXPECT_NEAR(mp.s[2][2], 3 * 0.5 * 2, 1e-12);             // 3 q 2 x y
    EXPECT_NEAR(mp.c[3][0], 2.0, 1e-12);                     // z^3 terms of the dipole
    EXPECT_NEAR(mp.c[3][3], 0.5 * 15 * (1 * 1 * 1 - 3 * 1 * 1), 1e-12);  // 15 q Re (x + i y)^3
    bool ok = true;
    const double ct = 0.3, st = std::sqrt(1 - 0.09);
    EXPECT_NEAR(ascleg(3, 1, ct, st, ok), 1.5 * st * (5 * ct * ct - 1), 1e-15);
    EXPECT_EQ(ascleg(2, 3, ct, st, ok), 0.0);
    EXPECT_EQ(ascleg(4, 0, ct, st, ok), 0.0);
    EXPECT_FALSE(ok);
}

TEST(Multipoles, ListingAndCoulombAgainstADoubleSum) {
    test::Session s("mol 1 amul cent 0.0 0.0 0.0 end\nmcou 1 2 rdeh 7.5 end\nmcou 1 3 end\n");
    MoleculeStore& m = s.k.mol;
    molecules(m, {2, 3});
    put(m, 1, 0, 0, 1, 1.0, 1.5);
    put(m, 2, 0, 0, -1, -1.0, 1.5);
    std::mt19937 g(5);
    std::uniform_real_distribution<double> u(-6, 6), q(-1, 1);
    for (int i = 3; i <= 5; ++i) put(m, i, u(g) + 10, u(g), u(g), q(g), 1.5);
    s.k.env.pdie = 4.0f;
    s.k.env.epsint = 4.0f * 5.7277083e-7f;
    s.k.flags.bomb = 5;
    prt(s.k);
    prt(s.k);
    double e = 0;
    for (int i = 1; i <= 2; ++i)
        for (int j = 3; j <= 5; ++j) {
            const double r = std::sqrt((m.x[i] - m.x[j]) * (m.x[i] - m.x[j]) + (m.y[i] - m.y[j]) * (m.y[i] - m.y[j]) +
                                       (m.z[i] - m.z[j]) * (m.z[i] - m.z[j]));
            e += m.chrg[i] * m.chrg[j] * std::exp(-r / 7.5) / r;
        }
    e *= 332.0637 / 4.0;  // kcal/mol A / e^2 in a dielectric of 4
    const std::string o = s.out.str();
    EXPECT_NE(o.find("      1   0          2.00          0.00         dipz   / 0.0   \n"), std::string::npos) << o;
    EXPECT_EQ(o.find("Net Charge is NOT zero"), std::string::npos);
    const size_t at = o.find("Mols, energy (kcal/mole):    1    2    ");
    ASSERT_NE(at, std::string::npos) << o;
    const double printed = std::stod(o.substr(at + 39, 12));
    EXPECT_NEAR(printed, e, 2e-5 * std::fabs(e) + 1e-6);
    prt(s.k);
    EXPECT_NE(s.out.str().find("SERIOUS: prt(071) improper molecule number for mcou: 3"), std::string::npos);
}

TEST(Volumes, ExcludedAndReactionVolumesOfSpheres) {
    // One atom of radius 1.5 with a probe of 0.5: a sphere of radius 2.
    // Reaction site: within 5 A of the atom, outside the chosen atom.
    test::Session s("all geom srad 0.5 end\nall rxnv srad 0.5 defr 1 1 1 1 5.0 dime 41 41 41 end\n");
    MoleculeStore& m = s.k.mol;
    molecules(m, {1});
    put(m, 1, 1.0, -2.0, 0.5, 0.0, 1.5);
    prt(s.k);
    prt(s.k);
    const std::string o = s.out.str();
    auto value = [&](const std::string& label) {
        const size_t at = o.find(label);
        EXPECT_NE(at, std::string::npos) << label << "\n" << o;
        return at == std::string::npos ? 0.0 : std::stod(o.substr(o.find(':', at) + 1, 14));
    };
    EXPECT_NEAR(value("Volume of molecule based on excluded volume"), 4.0 / 3.0 * pi * 8.0, 0.01 * 33.5);
    EXPECT_NEAR(value("Effective Radius based on excluded volume"), 2.0, 0.01);
    // Seen from its centre the sphere has one radius everywhere (to the
    // occupancy grid's spacing, 4/64 A) and no holes.
    EXPECT_NEAR(value("Minimum radius"), 2.0, 0.07);
    EXPECT_NEAR(value("Maximum radius"), 2.0, 0.07);
    EXPECT_EQ(value("Number of holes met stepping outward"), 0.0);
    // The whole 5 A sphere is reachable: 4 pi 25, and its volume less the
    // atom's sphere of 2 A.
    EXPECT_NEAR(value("For msite,nsite   1,  1     surface area is"), 4 * pi * 25.0, 0.01);
    EXPECT_NEAR(value("Reaction Volume"), 4.0 / 3.0 * pi * (125.0 - 8.0), 0.03 * 490.0);
}
