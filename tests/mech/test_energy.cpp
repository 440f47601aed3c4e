// The force-field energy: closed-form energies of single bonds, angles,
// dihedrals, impropers and one Lennard-Jones and Coulomb pair; every term's
// analytic forces against central differences of the total energy on a
// small two-molecule model at random distortions; the program's own
// finite-difference option against the analytic forces; refusals of
// coordinates and energies that are not numbers; the energy command.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "command/mainloop.hpp"
#include "command/output.hpp"
#include "command/symbols.hpp"
#include "command/tokens.hpp"
#include "elec/grid.hpp"
#include "mech/mech.hpp"
#include "../command/harness.hpp"

namespace kova {
namespace {

constexpr double pi = 3.14159265358979323846;
constexpr double deg = pi / 180.0;

// A run state with molecules placed by hand and a topology set term by term.
struct Model {
    test::Session s;
    Kova& k;
    ForceField& ff;
    Topology& t;
    explicit Model(int bomb = 3, std::string input = "") : s(std::move(input)), k(s.k), ff(s.k.ff), t(s.k.ff.top) {
        k.flags.bomb = bomb;
        k.env.pdie = 1.0f;
        all(false);
    }
    void mol(const std::vector<std::array<double, 3>>& xyz) {
        MoleculeStore& m = k.mol;
        const int n = ++m.nmol;
        m.fstatm[n] = m.natom + 1;
        for (const auto& p : xyz) {
            const int i = ++m.natom;
            m.x[i] = float(p[0]), m.y[i] = float(p[1]), m.z[i] = float(p[2]);
            ff.xd[i] = p[0], ff.yd[i] = p[1], ff.zd[i] = p[2];
            m.live[i] = 1, m.mass[i] = 12.0f;
        }
        m.lstatm[n] = m.natom;
    }
    void all(bool on) {
        EvalState& ev = ff.ev;
        ev.lbnd = ev.lang = ev.ldih = ev.limp = ev.lvdw = ev.leel = on;
        ev.ldbf = ev.lqe = false;
    }
    void bond(int i, int j, float kb, float b0) {
        const int n = ++t.nbnd;
        t.ibnd[n] = i, t.jbnd[n] = j, t.kbnd[n] = kb, t.bnd0[n] = b0;
    }
    void angle(int i, int j, int kk, float kt, float t0) {
        const int n = ++t.nang;
        t.iang[n] = i, t.jang[n] = j, t.kang[n] = kk, t.kth[n] = kt, t.th0[n] = t0;
    }
    void dih(int i, int j, int kk, int l, float kp, float pn, float ph, float k2 = 0, float k3 = 0) {
        const int n = ++t.ndih;
        t.idih[n] = i, t.jdih[n] = j, t.kdih[n] = kk, t.ldih[n] = l;
        t.kphi[n] = kp, t.pn[n] = pn, t.phase[n] = ph, t.kphi2[n] = k2, t.kphi3[n] = k3;
    }
    void imp(int i, int j, int kk, int l, float kp, float p0) {
        const int n = ++t.nimp;
        t.iimp[n] = i, t.jimp[n] = j, t.kimp[n] = kk, t.limp[n] = l, t.kpsi[n] = kp, t.psi0[n] = p0;
    }
    void pair(int i, int j, float sig, float eps, float qq) {
        const int n = ++t.npair;
        t.ipr[n] = i, t.jpr[n] = j, t.prsig[n] = sig, t.preps[n] = eps, t.prqq[n] = qq;
    }
    // Energies only, at the working coordinates.
    float total() {
        ff.ev.nofrc = true;
        EXPECT_TRUE(forces(k));
        ff.ev.nofrc = false;
        return ff.e[etot];
    }
    float energy(EnergyTerm slot) {
        total();
        return ff.e[slot];
    }
    std::vector<double> force() {
        EXPECT_TRUE(forces(k));
        return {ff.frc.begin(), ff.frc.begin() + 3 * k.mol.natom};
    }
    double& crd(int i, int x) { return x == 0 ? ff.xd[i] : x == 1 ? ff.yd[i] : ff.zd[i]; }
    // Performs the next command line of the input; true when it ended the run.
    bool run() {
        return s.ends([&] {
            getlin(k, k.files.inunit, "Main");
            Token w = gettok(k);
            dispatch(k, lcase(w.text));
        });
    }
};

// Five-point central differences of the total energy over every
// coordinate: a step wide enough for the single-precision total, with a
// truncation error of order h^4.
std::vector<double> numeric(Model& m, double h) {
    std::vector<double> f;
    for (int i = 1; i <= m.k.mol.natom; ++i)
        for (int x = 0; x < 3; ++x) {
            double& c = m.crd(i, x);
            const double keep = c;
            double e[4];
            const double at[4] = {2 * h, h, -h, -2 * h};
            for (int s = 0; s < 4; ++s) c = keep + at[s], e[s] = m.total();
            c = keep;
            f.push_back((e[0] - 8.0 * e[1] + 8.0 * e[2] - e[3]) / (12.0 * h));
        }
    return f;
}

TEST(EnergyTerms, ClosedFormsOfSingleInteractions) {
    {  // Bond stretched by 0.2 A: 0.5 k 0.2^2 and a restoring force k 0.2.
        Model m;
        m.mol({{0, 0, 0}, {1.2, 0, 0}});
        m.bond(1, 2, 100.0f, 1.0f);
        m.ff.ev.lbnd = true;
        EXPECT_NEAR(m.energy(ebnd), 2.0, 1e-5);
        auto f = m.force();
        EXPECT_NEAR(f[0], 20.0, 1e-9);
        EXPECT_NEAR(f[3], -20.0, 1e-9);
    }
    {  // A 120 degree angle about a 90 degree minimum.
        Model m;
        m.mol({{1, 0, 0}, {0, 0, 0}, {std::cos(120 * deg), std::sin(120 * deg), 0}});
        m.angle(1, 2, 3, 50.0f, float(pi / 2));
        m.ff.ev.lang = true;
        EXPECT_NEAR(m.energy(eang), 0.5 * 50.0 * std::pow(120 * deg - float(pi / 2), 2), 1e-5);
        m.t.sang = 0.5f;
        EXPECT_NEAR(m.energy(eang), 0.25 * 50.0 * std::pow(120 * deg - float(pi / 2), 2), 1e-5);
    }
    {  // Dihedral i-j-k-l with l turned by +90 degrees about the j-k axis.
        Model m;
        m.mol({{1, 0, 0}, {0, 0, 0}, {0, 0, 1}, {0, 1, 1}});
        double phi;
        ASSERT_TRUE(dhdclc(m.k, 1, 2, 3, 4, 2, phi));
        EXPECT_NEAR(phi, 90 * deg, 1e-12);
        m.ff.ev.ldih = true;
        m.dih(1, 2, 3, 4, 2.0f, 1.0f, float(pi / 2));
        EXPECT_NEAR(m.energy(edih), 4.0, 1e-5);
        m.t.phase[1] = float(-pi / 2);  // the opposite sign: the maximum is the other way
        EXPECT_NEAR(m.energy(edih), 0.0, 1e-5);
        m.t.sdih = 0.5f, m.t.phase[1] = 0.0f, m.t.pn[1] = 2.0f;  // cos 180
        EXPECT_NEAR(m.energy(edih), 0.0, 1e-5);
        m.t.pn[1] = 3.0f;  // cos 270
        EXPECT_NEAR(m.energy(edih), 1.0, 1e-5);
        // Cosine series: 0.5 (1 + cos 90) + 0.5 2 (1 - cos 180) + 0.5 3 (1 + cos 270).
        m.t.ifour = 1, m.t.kphi[1] = 1.0f, m.t.kphi2[1] = 2.0f, m.t.kphi3[1] = 3.0f;
        EXPECT_NEAR(m.energy(edih), 4.0, 1e-5);
        // Neither central atom live: nothing.
        m.k.mol.live[2] = m.k.mol.live[3] = 0;
        EXPECT_EQ(m.energy(edih), 0.0f);
        m.k.mol.live[3] = 1;
        EXPECT_NEAR(m.energy(edih), 4.0, 1e-5);
        // A dihedral at -170 degrees restrained to +170: 20 degrees off, not 340.
        m.ff.xd[4] = std::cos(-170 * deg), m.ff.yd[4] = std::sin(-170 * deg);
        ASSERT_TRUE(dhdclc(m.k, 1, 2, 3, 4, 2, phi));
        EXPECT_NEAR(phi, -170 * deg, 1e-12);
        m.t.ndcon = 1, m.t.idcon[1] = 1, m.t.kdcon[1] = 1.0f, m.t.phcon[1] = float(170 * deg);
        EXPECT_NEAR(m.energy(edcon), 0.5 * std::pow(20 * deg, 2), 1e-6);
        // An unassigned atom is refused with the message.
        Model r(5);
        r.mol({{0, 0, 0}});
        EXPECT_FALSE(dhdclc(r.k, 0, 1, 1, 1, 2, phi));
        EXPECT_NE(r.s.messages().find("SERIOUS: prtdih(020) Unassigned atom"), std::string::npos);
    }
    {  // Improper at +90 degrees against -260: a deviation of 350 taken as -10.
        Model m;
        m.mol({{1, 0, 0}, {0, 0, 0}, {0, 0, 1}, {0, 1, 1}});
        const double r[4][3] = {{1, 0, 0}, {0, 0, 0}, {0, 0, 1}, {0, 1, 1}};
        EXPECT_NEAR(cimpro(r[0], r[1], r[2], r[3]), 90 * deg, 1e-12);
        m.imp(1, 2, 3, 4, 100.0f, float(-260 * deg));
        m.ff.ev.limp = true;
        EXPECT_NEAR(m.energy(eimp), 0.5 * 100.0 * std::pow(10 * deg, 2), 1e-4);
    }
    {  // One Lennard-Jones and Coulomb pair 4 A apart, between two molecules.
        Model m;
        m.mol({{0, 0, 0}});
        m.mol({{0, 4, 0}});
        m.pair(1, 2, 3.5f, 0.2f, -0.25f);
        m.ff.ev.lvdw = m.ff.ev.leel = true;
        m.k.env.pdie = 2.0f;
        const double s6 = std::pow(3.5 / 4.0, 6), lj = 0.8 * (s6 * s6 - s6);
        EXPECT_NEAR(m.energy(evdw), lj, 1e-6);
        EXPECT_NEAR(m.ff.e[eelec], 332.054 * -0.25 / (4.0 * 2.0), 1e-4);
        EXPECT_NEAR(m.ff.e[evdw12], lj, 1e-6);
        EXPECT_EQ(m.ff.e[evdw11], 0.0f);
        EXPECT_NEAR(m.ff.e[eel12], m.ff.e[eelec], 1e-6);
        EXPECT_NEAR(m.ff.e[etot], m.ff.e[evdw] + m.ff.e[eelec], 1e-5);
        // Distance-dependent dielectric 4 r; the cross-molecule Coulomb factor.
        m.ff.nb.irdie = 1, m.ff.nb.rdie = 4.0f, m.t.emscl = 0.5f;
        EXPECT_NEAR(m.energy(eelec), 0.5 * 332.054 * -0.25 / (4.0 * 16.0), 1e-5);
        // Shifted by 1 A: the energies of a pair 5 A apart.
        m.t.rshift = 1.0f, m.ff.ev.leel = false;
        EXPECT_NEAR(m.energy(evdw), 0.8 * (std::pow(0.7, 12) - std::pow(0.7, 6)), 1e-6);
    }
    {  // Surface of one lone atom of radius 2: the sphere itself (choice
       // 1) or the one the probe's centre reaches (choice 2).
        Model m;
        m.mol({{1, 2, 3}});
        m.k.mol.radi[1] = 2.0f;
        m.k.mess.isel[1] = 1;
        m.ff.ev.isrf = 1, m.ff.ev.srff = 0.025f, m.ff.ev.srfprb = 1.4f;
        EXPECT_NEAR(m.energy(esurf), 0.025 * 4 * pi * 4.0, 1e-4);
        m.ff.ev.isrf = 2;
        EXPECT_NEAR(m.energy(esurf), 0.025 * 4 * pi * 3.4 * 3.4, 1e-4);
        EXPECT_NEAR(m.ff.e[etot], m.ff.e[esurf], 1e-6);
    }
    {  // Ball: molecule 1 2 A from the centre, kball d^12; the total reported
       // by the listing leaves it out but the drivers' total holds it.
        Model m;
        m.mol({{2, 0, 0}});
        m.ff.ev.lball = true, m.ff.ev.kball = 1.0e-3f;
        EXPECT_NEAR(m.energy(eball), 1.0e-3 * 4096.0, 1e-4);
        EXPECT_NEAR(m.ff.e[etot], m.ff.e[eball], 1e-6);
        auto f = m.force();
        EXPECT_NEAR(f[0], -12.0e-3 * 1024.0 * 2.0, 1e-4);
    }
}

// A chain of six atoms (molecule 1) and a pair of atoms (molecule 2) with
// every kind of interaction, restraints included.
void chain(Model& m) {
    m.mol({{0, 0, 0}, {1.5, 0.1, 0}, {2.1, 1.4, 0.2}, {3.6, 1.5, 0.7}, {4.2, 2.8, 0.4}, {5.6, 3.0, 1.1}});
    m.mol({{2.0, -2.5, 2.0}, {3.0, -2.9, 2.6}});
    for (int i = 1; i < 6; ++i) m.bond(i, i + 1, 300.0f, 1.5f);
    m.bond(7, 8, 450.0f, 0.96f);
    for (int i = 1; i < 5; ++i) m.angle(i, i + 1, i + 2, 50.0f, 1.9f + 0.1f * i);
    m.dih(1, 2, 3, 4, 1.2f, 3.0f, 0.0f, 0.7f, 0.4f);
    m.dih(2, 3, 4, 5, 0.8f, 2.0f, 1.0f, 0.3f, 1.1f);
    m.dih(3, 4, 5, 6, 1.5f, 1.0f, -0.5f, 0.9f, 0.2f);
    m.imp(3, 2, 4, 5, 40.0f, 0.3f);
    m.imp(4, 3, 5, 1, 25.0f, -2.9f);
    m.t.ndih1 = 3;
    m.t.ndcon = 1, m.t.idcon[1] = 2, m.t.kdcon[1] = 30.0f, m.t.phcon[1] = 2.5f;
    m.t.nicon = 1, m.t.iicon[1] = 1, m.t.jicon[1] = 2, m.t.kicon[1] = 3, m.t.licon[1] = 6;
    m.t.kicn[1] = 20.0f, m.t.psicon[1] = 1.0f;
    m.pair(1, 4, 3.2f, 0.1f, 0.3f);
    m.pair(1, 5, 3.4f, 0.15f, -0.2f);
    m.pair(2, 6, 3.0f, 0.12f, 0.25f);
    for (int i = 1; i <= 6; ++i) {
        m.pair(i, 7, 3.1f, 0.1f, -0.3f * (i % 3 - 1));
        m.pair(i, 8, 2.5f, 0.05f, 0.15f * (i % 2 ? 1 : -1));
    }
    m.k.mol.chrg.fill(0.0f);
}

void expect_close(const std::vector<double>& a, const std::vector<double>& n, double abs, double rel,
                  const std::string& what) {
    ASSERT_EQ(a.size(), n.size());
    for (size_t c = 0; c < a.size(); ++c)
        EXPECT_NEAR(a[c], n[c], abs + rel * std::fabs(n[c])) << what << ", atom " << c / 3 + 1 << " axis " << c % 3;
}

TEST(EnergyTerms, AnalyticForcesAreTheGradientOfEachTermAtRandomDistortions) {
    Model m;
    chain(m);
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> u(-0.3, 0.3);
    const std::vector<std::pair<std::string, std::function<void(EvalState&)>>> terms = {
        {"bonds", [](EvalState& e) { e.lbnd = true; }},
        {"angles", [](EvalState& e) { e.lang = true; }},
        {"dihedrals", [](EvalState& e) { e.ldih = true; }},
        {"impropers", [](EvalState& e) { e.limp = true; }},
        {"van der Waals", [](EvalState& e) { e.lvdw = true; }},
        {"Coulomb", [](EvalState& e) { e.leel = true; }},
        {"ball", [](EvalState& e) { e.lball = true, e.kball = 1.0e-7f, e.ballc = {2.0f, 0.5f, 0.5f}; }},
        {"ball on the centre", [](EvalState& e) { e.lball = e.lballc = true, e.kball = 1.0e-3f, e.ballc = {1.0f, 0.0f, 0.0f}; }},
    };
    for (int trial = 0; trial < 4; ++trial) {
        for (int i = 1; i <= m.k.mol.natom; ++i)
            for (int x = 0; x < 3; ++x) m.crd(i, x) += u(rng);
        // The cosine series on odd trials; soft-start factors and the
        // distance-dependent dielectric on the last two.
        m.t.ifour = trial % 2;
        if (trial >= 2) {
            m.t.sdih = 0.7f, m.t.sang = 0.8f, m.t.rshift = 0.3f, m.t.emscl = 0.6f, m.ff.ev.slig = 0.9f;
            m.ff.nb.irdie = 1, m.ff.nb.rdie = 4.0f;
        }
        for (const auto& [name, on] : terms) {
            m.all(false);
            m.ff.ev.lball = m.ff.ev.lballc = false;
            on(m.ff.ev);
            m.ff.ev.lanal = true;
            const auto a = m.force();
            const auto n = numeric(m, 1.0e-2);
            expect_close(a, n, 2.0e-3, 2.0e-3, name + ", trial " + std::to_string(trial));
            double size = 0;
            for (double f : a) size = std::max(size, std::fabs(f));
            EXPECT_GT(size, 0.05) << name << ": the test needs forces to compare";
            // The program's own central differences of each interaction (the
            // centre of molecule 1 held) agree closely while its size is 1.
            if (m.ff.ev.slig == 1.0f) {
                m.ff.ev.lanal = false;
                const auto d = m.force();
                m.ff.ev.lanal = true;
                expect_close(a, d, 1.0e-6, 1.0e-6, name + " against numer, trial " + std::to_string(trial));
            }
        }
    }
}

TEST(EnergyTerms, EnergiesOnlyLeaveTheForcesAndTheTotalSumsTheTerms) {
    Model m;
    chain(m);
    m.all(true);
    auto f = m.force();
    m.ff.ev.nofrc = true;
    m.ff.frc[0] = 123.0;
    ASSERT_TRUE(forces(m.k));
    EXPECT_EQ(m.ff.frc[0], 123.0);
    float sum = 0;
    for (EnergyTerm s : {ebnd, eang, edih, eimp, evdw, eelec, edcon, eicon}) {
        EXPECT_NE(m.ff.e[s], 0.0f) << s;
        sum += m.ff.e[s];
    }
    EXPECT_NEAR(m.ff.e[etot], sum, 1e-4);
    // Splits of two molecules: the dihedrals of molecule 1 and the pairs.
    EXPECT_NEAR(m.ff.e[edih1] + m.ff.e[edih2], m.ff.e[edih], 1e-5);
    EXPECT_EQ(m.ff.e[edih2], 0.0f);
    EXPECT_NEAR(m.ff.e[evdw11] + m.ff.e[evdw12] + m.ff.e[evdw22], m.ff.e[evdw], 1e-5);
    EXPECT_NEAR(m.ff.e[eel11] + m.ff.e[eel12], m.ff.e[eelec], 1e-4);
    EXPECT_NE(m.ff.e[eel12], 0.0f);
}

TEST(EnergyTerms, NumbersThatAreNotFiniteAreRefusedNotPassedOn) {
    {
        Model m(5);
        chain(m);
        m.all(true);
        m.ff.yd[4] = std::nan("");
        EXPECT_FALSE(forces(m.k));
        EXPECT_EQ(m.ff.ev.iconv, 2);
        EXPECT_EQ(m.ff.e[etot], 0.0f);
        EXPECT_NE(m.s.messages().find(" SERIOUS: forces(010) coordinates of atom 4 are not finite"), std::string::npos);
    }
    {  // Two atoms of a pair on one spot: an infinite energy, and the end of
       // the run at the default abort level.
        Model m;
        m.mol({{1, 1, 1}, {1, 1, 1}});
        m.pair(1, 2, 3.0f, 0.1f, 0.0f);
        m.ff.ev.lvdw = true;
        m.ff.ev.istep = 7;
        EXPECT_TRUE(m.s.ends([&] { forces(m.k); }));
        EXPECT_NE(m.s.messages().find(" SERIOUS: forces(020) total energy is not finite at step 7"), std::string::npos);
        EXPECT_EQ(m.ff.ev.iconv, 2);
    }
}

TEST(EnergyTerms, ConvergenceTestAndLowestEnergy) {
    Model m;
    m.mol({{0, 0, 0}, {1.2, 0, 0}});
    m.bond(1, 2, 100.0f, 1.0f);
    m.ff.ev.lbnd = true;
    EvalState& ev = m.ff.ev;
    ev.iconv = 1, ev.nconv = 2, ev.minstp = 3, ev.detol = 0.01f;
    for (ev.istep = 1; ev.istep <= 6; ++ev.istep) {
        m.total();
        // Not before step 4 (the first multiple of 2 beyond step 3).
        EXPECT_EQ(ev.iconv, ev.istep >= 4 ? 2 : 1) << ev.istep;
    }
    EXPECT_NEAR(ev.emin, 2.0, 1e-5);
}

TEST(EnergyRestraints, ConsKeepsRadiansAndPerRadianConstantsAndCheckConsPublishesAngles) {
    Model m(3, "dime impr 1 dihe 2 end\ncons dihe 2 10.0 60.0 dihe 1 1.0 -170 impr 1 2 3 6 2.0 30.0 end\n"
               "check_cons\ncons end\ncheck_cons\n");
    chain(m);
    m.t.ndcon = m.t.nicon = 0;
    for (int i = 0; i < 3; ++i) ASSERT_FALSE(m.run());
    const std::string out = m.s.messages();
    EXPECT_NE(out.find(" Dihe      2      2     3     4     5    10.00000    60.00000"), std::string::npos) << out;
    EXPECT_NE(out.find(" Impr      1      2      3      6      2.00000     30.00000"), std::string::npos) << out;
    // check_cons: the improper of atoms 1 2 3 6 and dihedrals 2 and 1 of the
    // topology, at the working coordinates.
    const auto at = [&](int i) { return std::array<double, 3>{m.ff.xd[i], m.ff.yd[i], m.ff.zd[i]}; };
    const auto a1 = at(1), a2 = at(2), a3 = at(3), a6 = at(6);
    double p2, p1;
    ASSERT_TRUE(dhdclc(m.k, 2, 3, 4, 5, 2, p2));
    ASSERT_TRUE(dhdclc(m.k, 1, 2, 3, 4, 2, p1));
    const SymbolTable& sym = m.k.sym;
    const int pi_ = sym.find("impr"), pd = sym.find("dihe");
    EXPECT_NEAR(sym.vardp[size_t(pi_)], cimpro(a1.data(), a2.data(), a3.data(), a6.data()), 1e-12);
    EXPECT_NEAR(sym.vardp[size_t(pd)], p2, 1e-12);
    EXPECT_NEAR(sym.vardp[size_t(pd + 1)], p1, 1e-12);
    // A cons without keywords: nothing is restrained, check_cons publishes
    // nothing.
    ASSERT_FALSE(m.run());
    EXPECT_EQ(m.t.ndcon, 0);
    EXPECT_EQ(m.t.nicon, 0);
    ASSERT_FALSE(m.run());
    EXPECT_EQ(sym.vardp[size_t(pd + 1)], p1);
}

// A dihedral driven through a full turn in 5 degree steps against a target
// of 100 degrees: the restraint energy is 0.5 k d^2 with d the deviation
// wrapped into half a turn, check_cons publishes the angle itself (within
// (-180, 180]), and the improper restraint wraps the same way near +-180
// degrees.
TEST(EnergyRestraints, DihedralDrivenThroughAFullTurn) {
    Model m(3, "dime dihe 1 impr 1 end\n");
    m.mol({{1, 0, 0}, {0, 0, 0}, {0, 0, 1.5}, {1, 0, 1.5}});
    m.dih(1, 2, 3, 4, 0.0f, 1.0f, 0.0f);
    m.t.ndcon = 1, m.t.idcon[1] = 1, m.t.kdcon[1] = 50.0f, m.t.phcon[1] = float(100 * deg);
    m.t.nicon = 1, m.t.iicon[1] = 1, m.t.jicon[1] = 2, m.t.kicon[1] = 3, m.t.licon[1] = 4;
    m.t.kicn[1] = 30.0f, m.t.psicon[1] = float(175 * deg);
    ASSERT_FALSE(m.run());
    m.ff.ev.ldih = m.ff.ev.limp = true;
    const SymbolTable& sym = m.k.sym;
    for (int step = 0; step <= 72; ++step) {
        const double a = step * 5.0;  // turn of atom 4 about the j-k axis
        m.ff.xd[4] = std::cos(a * deg), m.ff.yd[4] = std::sin(a * deg);
        double phi;
        ASSERT_TRUE(dhdclc(m.k, 1, 2, 3, 4, 2, phi));
        const double want = std::remainder(a, 360.0);  // the angle in (-180, 180]
        EXPECT_NEAR(phi / deg, want == -180.0 ? 180.0 : want, 1e-9) << a;
        const double d = std::remainder(a - 100.0, 360.0) * deg;
        EXPECT_NEAR(m.energy(edcon), 0.5 * 50.0 * d * d, 2e-5 * (1 + 0.5 * 50.0 * d * d)) << a;
        // The improper of the same four atoms against 175 degrees.
        const double r[4][3] = {{m.ff.xd[1], m.ff.yd[1], m.ff.zd[1]}, {m.ff.xd[2], m.ff.yd[2], m.ff.zd[2]},
                                {m.ff.xd[3], m.ff.yd[3], m.ff.zd[3]}, {m.ff.xd[4], m.ff.yd[4], m.ff.zd[4]}};
        const double psi = cimpro(r[0], r[1], r[2], r[3]);
        const double di = std::remainder(psi - 175.0 * deg, 2 * pi);
        EXPECT_LE(std::fabs(di), pi + 1e-12);
        // Across +-180 degrees (the dihedral at 175 to 185): at most 10
        // degrees off, never a turn less.
        if (a >= 175.0 && a <= 185.0) {
            EXPECT_LE(std::fabs(di), 10.0 * deg + 1e-9) << a;
        }
        EXPECT_NEAR(m.ff.e[eicon], 0.5 * 30.0 * di * di, 2e-5 * (1 + 0.5 * 30.0 * di * di)) << a;
        chkcns(m.k);
        EXPECT_NEAR(sym.vardp[size_t(sym.find("dihe"))], phi, 1e-12);
        EXPECT_NEAR(sym.vardp[size_t(sym.find("impr"))], psi, 1e-12);
    }
}

TEST(EnergyRestraints, RestraintConstantsAndTargetsAfterCons) {
    Model m(3, "cons dihe 2 10.0 60.0 impr 1 2 3 6 2.0 -30.0 end\n");
    chain(m);
    ASSERT_FALSE(m.run());
    ASSERT_EQ(m.t.ndcon, 1);
    EXPECT_FLOAT_EQ(m.t.kdcon[1], 10.0f * 57.29578f * 57.29578f);
    EXPECT_FLOAT_EQ(m.t.phcon[1], 60.0f * 0.017453292f);
    EXPECT_FLOAT_EQ(m.t.kicn[1], 2.0f * 57.29578f * 57.29578f);
    EXPECT_FLOAT_EQ(m.t.psicon[1], -30.0f * 0.017453292f);
    // More elements than the array holds would overwrite other variables.
    Model r(5, "dime other 1 end\ncheck_cons\n");
    chain(r);
    ASSERT_FALSE(r.run());
    ASSERT_FALSE(r.run());
    EXPECT_NE(r.s.messages().find(" SERIOUS: chkcns(010) array not dimensioned to the number of restraints: impr"),
              std::string::npos);
}

}  // namespace
}  // namespace kova
