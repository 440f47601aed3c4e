// Trajectory analysis: diffusion constants of free diffusion against the
// diffusion constant that made the record, fixed internal coordinates of a
// rigid unit, the bond-length width of a flexible chain, reactions
// re-counted along a record with the same rate constant as the counts
// that made it, repeated reactions, concatenation, and damaged files.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "../command/harness.hpp"
#include "../command/scratch.hpp"
#include "bd/anal.hpp"
#include "bd/random.hpp"
#include "bd/rates.hpp"
#include "command/mainloop.hpp"
#include "fortio/format.hpp"

namespace kova {
namespace {

constexpr const char* layout = "(1x,f12.3,3(2x,f8.3))";

std::string rec(double a, double x, double y, double z) {
    return fortio::format_write(layout, {a, float(x), float(y), float(z)}).at(0);
}

// Rounded as the record holds it, so that the generator and the reader see
// the same positions.
double r3(double v) { return std::round(v * 1000.0) / 1000.0; }

struct Gen {
    RandomState rng{1234, 5678};
    GaussTable g{};
    Gen() { gauss(g); }
    double gau() { return rng.gaussian(g); }
    double uni() { return rng.uniform(); }
};

// A random rotation matrix (columns orthonormal, from Gram-Schmidt of three
// Gaussian vectors, made right-handed).
void rotation(Gen& gen, double m[3][3]) {
    double v[3][3];
    for (auto& r : v)
        for (double& x : r) x = gen.gau();
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < i; ++j) {
            double d = 0;
            for (int c = 0; c < 3; ++c) d += v[i][c] * v[j][c];
            for (int c = 0; c < 3; ++c) v[i][c] -= d * v[j][c];
        }
        double l = std::sqrt(v[i][0] * v[i][0] + v[i][1] * v[i][1] + v[i][2] * v[i][2]);
        for (int c = 0; c < 3; ++c) v[i][c] /= l;
    }
    // A proper rotation: a reflection would turn the sign of dihedrals.
    const double det = v[0][0] * (v[1][1] * v[2][2] - v[1][2] * v[2][1]) -
                       v[0][1] * (v[1][0] * v[2][2] - v[1][2] * v[2][0]) +
                       v[0][2] * (v[1][0] * v[2][1] - v[1][1] * v[2][0]);
    if (det < 0)
        for (double& x : v[2]) x = -x;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) m[i][j] = v[j][i];
}

TrjData load(const std::vector<std::string>& lines, int nsub) {
    TrjData d;
    TrjError e;
    EXPECT_TRUE(trjload_lines(lines, nsub, d, e)) << e.record << ": " << e.why;
    return d;
}

TEST(AnalTraj, FreeDiffusionGivesTheDiffusionConstantThatMadeIt) {
    // One sphere, Gaussian steps of variance 2 D dt per axis.
    const double D = 0.5, dt = 0.2;
    const int ntraj = 20, nstep = 500;
    Gen gen;
    std::vector<std::string> lines;
    for (int t = 1; t <= ntraj; ++t) {
        lines.push_back(rec(-1, 1, t, 0));
        double p[3] = {0, 0, 0};
        for (int s = 0; s <= nstep; ++s) {
            lines.push_back(rec(s * dt, p[0], p[1], p[2]));
            for (double& x : p) x += std::sqrt(2 * D * dt) * gen.gau();
        }
    }
    lines.push_back(rec(-999, 1, ntraj, 0));
    TrajSettings s;
    s.tdc = true;
    const TrajResults r = anltrj(load(lines, 1), s);
    ASSERT_EQ(r.per.size(), size_t(ntraj));
    EXPECT_NEAR(r.dt, dt, 1e-6);
    // |dr|**2/(6 dt) is D chi2(3)/3: variance 2 D**2/3 per step.
    const double npairs = double(ntraj) * nstep;
    EXPECT_NEAR(r.tdcmin.mean, D, 4 * D * std::sqrt(2.0 / 3.0 / npairs));
    EXPECT_NEAR(r.tdcmax.mean, D, 4 * D * std::sqrt(2.0 / 3.0 / ntraj));
    // Every fourth frame: the same constant from longer intervals.
    s.step = 4;
    const TrajResults r4 = anltrj(load(lines, 1), s);
    EXPECT_NEAR(r4.dt, 4 * dt, 1e-6);
    EXPECT_NEAR(r4.tdcmin.mean, D, 4 * D * std::sqrt(2.0 / 3.0 / (npairs / 4)));
    // Frames at least 0.8 ps apart are the same frames.
    s.step = 1, s.dtim = 0.8f;
    const TrajResults rt = anltrj(load(lines, 1), s);
    EXPECT_EQ(rt.all.frames, r4.all.frames);
    EXPECT_DOUBLE_EQ(rt.tdcmin.mean, r4.tdcmin.mean);
}

TEST(AnalTraj, RigidUnitKeepsItsInternalCoordinates) {
    // A right triangle 3-4-5 moved and turned at random each frame: bonds 3
    // and 4, angle 90, rgyr**2 = (9 + 16 + 25)/9, rgyr**2/<b**2> = (50/9)/12.5.
    Gen gen;
    const double body[5][3] = {{0, 0, 0}, {3, 0, 0}, {3, 4, 0}, {4, 4, 2}, {6, 5, 1}};
    auto frames = [&](int nsub) {
        std::vector<std::string> lines{rec(-1, 1, 1, 0)};
        for (int f = 0; f < 50; ++f) {
            double m[3][3];
            rotation(gen, m);
            const double sh[3] = {20 * gen.gau(), 20 * gen.gau(), 20 * gen.gau()};
            for (int i = 0; i < nsub; ++i) {
                double q[3];
                for (int c = 0; c < 3; ++c)
                    q[c] = sh[c] + m[c][0] * body[i][0] + m[c][1] * body[i][1] + m[c][2] * body[i][2];
                lines.push_back(rec(0.5 * f, q[0], q[1], q[2]));
            }
        }
        lines.push_back(rec(-999, 1, 1, 0));
        return lines;
    };
    TrajSettings s;
    s.bonds = {{1, 2}, {2, 3}};
    s.angles = {{1, 2, 3}};
    s.vectors = {{1, 3}};
    s.rgyr = true, s.rdc = true;
    const TrajResults r = anltrj(load(frames(3), 3), s);
    const double tol = 2e-3;  // positions hold three decimals
    EXPECT_NEAR(r.all.bond[0].mean, 3, tol);
    EXPECT_NEAR(r.all.bond[1].mean, 4, tol);
    EXPECT_NEAR(r.all.angle[0].mean, 90, 0.05);
    EXPECT_NEAR(r.all.vec[0].mean, 5, tol);
    EXPECT_LT(r.all.bond[0].sd + r.all.bond[1].sd + r.all.vec[0].sd, 3 * tol);
    EXPECT_NEAR(r.all.rgyr.mean, std::sqrt(50.0 / 9), tol);
    EXPECT_NEAR(r.all.rgb.mean, 50.0 / 9 / 12.5, tol);
    EXPECT_EQ(r.all.frames, 50);
    // Turned at random every frame: the reorientation correlation drops from
    // 1 to about 0, and the vector turns (positive rotational constants).
    EXPECT_NEAR(r.reor[0].c[0].mean, 1, 1e-6);
    EXPECT_LT(std::fabs(r.reor[0].c[1].mean), 0.4);
    EXPECT_GT(r.rdcmin[0].mean, 0);

    // Four subunits: seen along the bond 2-3, subunit 1 lies along -x from
    // subunit 2 and subunit 4 along (1, 0, 2) from subunit 3: the dihedral
    // is 180 - atan(2) degrees, positive by the sign of b1 . (b2 x b3), in
    // every frame.
    s.dihes = {1};
    const TrajResults d = anltrj(load(frames(4), 4), s);
    const double phi = 180 - std::atan(2.0) * 57.29577951308232;
    EXPECT_NEAR(d.all.dihe[0].mean, phi, 0.05);
    EXPECT_LT(d.all.dihe[0].sd, 0.05);
    ASSERT_EQ(d.rama.size(), 1u);
    EXPECT_EQ(d.rama[0].norm, 50);
    EXPECT_EQ(d.rama[0].count[29], 50);  // the bin from 110 to 120 degrees

    // Five subunits, two fixed dihedrals: their correlations stay at
    // cos 0 = 1 and cos(phi2 - phi1) at every lag.
    s.dcc = {1, 2};
    const TrajResults cc = anltrj(load(frames(5), 5), s);
    float f[5][3];
    for (int i = 0; i < 5; ++i)
        for (int e = 0; e < 3; ++e) f[i][e] = float(body[i][e]);
    const double phi2 = dihedral(f[1], f[2], f[3], f[4]);
    ASSERT_EQ(cc.dcross.size(), 1u);
    for (int lag = 0; lag < cc.ncor; ++lag) {
        EXPECT_NEAR(cc.dcor[0].c[size_t(lag)].mean, 1, 1e-5);
        EXPECT_NEAR(cc.dcross[0].c[size_t(lag)].mean, std::cos((phi2 - phi) / 57.29577951308232), 1e-3);
    }
    EXPECT_NEAR(cc.dccmin[0].mean, 0, 1e-5);  // a dihedral that never turns
    const float a[3] = {1, 0, 0}, b[3] = {0, 0, 0}, c[3] = {0, 1, 0}, t[3] = {-1, 1, 0}, cis[3] = {1, 1, 0};
    EXPECT_NEAR(dihedral(a, b, c, t), 180, 1e-9);
    EXPECT_NEAR(dihedral(a, b, c, cis), 0, 1e-9);
}

TEST(AnalTraj, FlexibleChainBondsHaveTheirWidth) {
    // Bond lengths b0 + sigma g about random directions: sigma = sqrt(kT/cb).
    const double b0 = 5.14, sigma = 0.3;
    const int nframe = 4000;
    Gen gen;
    std::vector<std::string> lines{rec(-1, 1, 1, 0)};
    for (int f = 0; f < nframe; ++f) {
        double p[3] = {0, 0, 0};
        for (int i = 0; i < 3; ++i) {
            lines.push_back(rec(0.01 * f, p[0], p[1], p[2]));
            double u[3] = {gen.gau(), gen.gau(), gen.gau()};
            const double l = std::sqrt(u[0] * u[0] + u[1] * u[1] + u[2] * u[2]);
            const double bl = b0 + sigma * gen.gau();
            for (int c = 0; c < 3; ++c) p[c] += bl * u[c] / l;
        }
    }
    lines.push_back(rec(-999, 1, 1, 0));
    TrajSettings s;
    s.bonds = {{1, 2}, {2, 3}};
    const TrajResults r = anltrj(load(lines, 3), s);
    for (int i = 0; i < 2; ++i) {
        EXPECT_NEAR(r.all.bond[i].mean, b0, 5 * sigma / std::sqrt(nframe));
        EXPECT_NEAR(r.all.bond[i].sd, sigma, 5 * sigma / std::sqrt(2.0 * nframe));
    }
}

TEST(AnalTraj, OrientationLifetimeOfRotationalDiffusionIsLn2OverDr) {
    // A vector diffusing on the sphere with rotational diffusion constant
    // Dr (tangent Gaussian steps of variance 2 Dr dt per axis, then
    // normalised) first turns past 90 degrees from where it started after a
    // mean time ln 2 / Dr: the mean first-passage time from the pole to the
    // cap of half-angle a is (2/Dr) ln(1/cos(a/2)). Sampling at discrete
    // steps sees the crossing a little late (about 3% at this step).
    const double Dr = 1.0, dt = 5e-4, L = 10.0;
    const int ntraj = 20, nstep = 70000;
    Gen gen;
    TrjData d;
    d.nsub = 2;
    const double sig = std::sqrt(2 * Dr * dt);
    for (int j = 0; j < ntraj; ++j) {
        d.trajs.push_back({1, j + 1, d.t.size(), size_t(nstep)});
        double u[3] = {0, 0, 1};
        for (int i = 0; i < nstep; ++i) {
            d.t.push_back(float(i * dt));
            for (int c = 0; c < 3; ++c) d.xyz.push_back(0.0f);
            for (int c = 0; c < 3; ++c) d.xyz.push_back(float(L * u[c]));
            double g[3] = {gen.gau(), gen.gau(), gen.gau()};
            const double gu = g[0] * u[0] + g[1] * u[1] + g[2] * u[2];
            double l = 0;
            for (int c = 0; c < 3; ++c) u[c] += sig * (g[c] - gu * u[c]), l += u[c] * u[c];
            for (double& x : u) x /= std::sqrt(l);
        }
    }
    d.endrun = 1, d.endtraj = ntraj;
    TrajSettings s;
    s.vectors = {{1, 2}};
    s.lft = true;
    const TrajResults r = anltrj(d, s);
    ASSERT_EQ(r.lifetimes.size(), 1u);
    const VecLifetimes& lv = r.lifetimes[0];
    ASSERT_GT(lv.lives.size(), 800u);
    EXPECT_EQ(lv.unfinished, ntraj);
    double sum = 0;
    for (const VecLifetimes::Life& l : lv.lives) {
        EXPECT_GT(l.life, 0.0);
        EXPECT_LE(l.start + l.life, nstep * dt);
        sum += l.life;
    }
    const double mean = sum / double(lv.lives.size()), expect = std::log(2.0) / Dr;
    EXPECT_NEAR(mean, expect, 0.08 * expect) << lv.lives.size() << " lifetimes";
    // And not 1/(2 Dr), the time constant of the first-rank reorientation
    // correlation exp(-2 Dr t).
    EXPECT_GT(std::fabs(mean - 0.5 / Dr), 0.15 / Dr);
}

TEST(AnalTraj, DihedralStatesAreSectorsCentredOnTrans) {
    // Three states: trans (180), g+ (60), g- (-60), split at 120, 0, -120.
    EXPECT_EQ(dihestate(180.0, 3), 0);
    EXPECT_EQ(dihestate(-179.0, 3), 0);
    EXPECT_EQ(dihestate(121.0, 3), 0);
    EXPECT_EQ(dihestate(119.0, 3), 1);
    EXPECT_EQ(dihestate(1.0, 3), 1);
    EXPECT_EQ(dihestate(-1.0, 3), 2);
    EXPECT_EQ(dihestate(-119.0, 3), 2);
    EXPECT_EQ(dihestate(-121.0, 3), 0);
    // Two states: trans and cis.
    EXPECT_EQ(dihestate(100.0, 2), 0);
    EXPECT_EQ(dihestate(-80.0, 2), 1);
    // Every angle falls in a state, whatever the count.
    for (int m = 2; m <= 36; ++m)
        for (double x = -180.0; x <= 180.0; x += 0.37) {
            const int j = dihestate(x, m);
            ASSERT_GE(j, 0);
            ASSERT_LT(j, m);
            // The state is the one whose centre is nearest.
            double c = 180.0 - j * 360.0 / m, dx = std::fabs(std::remainder(x - c, 360.0));
            EXPECT_LE(dx, 180.0 / m + 1e-9) << m << " " << x;
        }
}

TEST(AnalTraj, RelaxationTimeOfAnExponential) {
    std::vector<double> t, c;
    for (int i = 0; i < 8; ++i) t.push_back(0.5 * i), c.push_back(0.8 * std::exp(-0.5 * i / 2.0));
    c.push_back(-0.1);  // the fit stops at the first non-positive value
    t.push_back(4.0);
    const CorFit f = corfit(t, c);
    ASSERT_TRUE(f.ok);
    EXPECT_EQ(f.npts, 8);
    EXPECT_NEAR(f.tau, 2.0, 1e-9);
    EXPECT_NEAR(f.icpt, std::log(0.8), 1e-9);
    EXPECT_NEAR(f.dev, -1.0, 1e-9);  // a perfect line
    EXPECT_FALSE(corfit({0, 1, 2}, {1, 1, 1}).ok);  // no decay
}

class Anal : public test::ScratchFolder {
protected:
    Anal() : ScratchFolder("kova_anal_") {}
    // Molecule 1 one ion at the origin; molecule 2 one bead of radius 2,
    // one unit of one subunit.
    static constexpr const char* setup =
        "read mol 1 qcard file ion.qcrd end\nread mol 2 qcard file bead.qcrd end\n"
        "edit suni iflx 1 end\nbd rad1 3.0 end\n";
    void SetUp() override {
        ScratchFolder::SetUp();
        std::ofstream("ion.qcrd") << "atom 1 ION I 0.000 0.000 0.000 0.00 3.00\nend\n";
        std::ofstream("bead.qcrd") << "atom 1 BED B 10.000 0.000 0.000 0.00 2.00\nend\n";
    }
    test::Session& run(const std::string& deck) {
        s = std::make_unique<test::Session>(setup + deck);
        status = run_kova(s->k);
        return *s;
    }
    static void put(const std::string& name, const std::vector<std::string>& lines) {
        std::ofstream f(name);
        for (const auto& l : lines) f << l << '\n';
    }
    std::unique_ptr<test::Session> s;
    int status = -1;
};

// Trajectories of one sphere from r = 10 that react within rr of the origin
// (the reacting frame recorded) or escape beyond 30: the record and the
// reactive trajectories of each run as the generator counted them.
struct Recorded {
    std::vector<std::string> lines;
    std::vector<int> nrxn;
    std::vector<std::vector<double>> dmin;  // closest approach per trajectory
};
Recorded record_runs(double rr, int nrun, int ntraj) {
    Gen gen;
    Recorded o;
    const double D = 1, dt = 0.05;
    for (int r = 1; r <= nrun; ++r) {
        o.nrxn.push_back(0);
        o.dmin.emplace_back();
        for (int t = 1; t <= ntraj; ++t) {
            o.lines.push_back(rec(-1, r, t, 0));
            double p[3] = {10, 0, 0}, best = 1e9;
            for (int s = 0; s < 100000; ++s) {
                o.lines.push_back(rec(s * dt, p[0], p[1], p[2]));
                const float d = std::sqrt(float(p[0]) * float(p[0]) + float(p[1]) * float(p[1]) +
                                          float(p[2]) * float(p[2]));
                best = std::min(best, double(d));
                if (d < rr) {
                    ++o.nrxn.back();
                    break;
                }
                if (d > 30) break;
                for (double& x : p) x = r3(x + std::sqrt(2 * D * dt) * gen.gau());
            }
            o.dmin.back().push_back(best);
        }
    }
    o.lines.push_back(rec(-999, nrun, ntraj, 0));
    return o;
}

TEST_F(Anal, ReactionsAreRecountedAndGiveTheSameRate) {
    const Recorded rc = record_runs(4.0, 3, 8);
    put("flx1.trj", rc.lines);
    auto& a = run("anal rxns iflx 1 defrxn 1 1 1 1 4.0 dfc 0.75 end end\nstop\n");
    ASSERT_EQ(status, 0) << a.listing();
    // The same counts through the rate report: the same rate box.
    RateInputs in;
    in.nrun = 3, in.ntraj = 8, in.nrxn = rc.nrxn;
    in.bsurf = a.k.bdrun.bsurf, in.qsurf = a.k.bdrun.qsurf, in.hifac = a.k.bdrun.hifac, in.rad1 = 3, in.rad2 = a.k.mol.sbrad[1];
    in.temp = a.k.env.temp, in.sphere1 = true, in.dfc = 0.75f;
    const RateResult want = rate_constant(in);
    const std::string box = fortio::format_write("(1x,'* rate constant = ',f7.3,'     +/-',f5.2)",
                                                 {want.rate, want.kerr * want.smoul})
                                .at(0);
    EXPECT_NE(a.listing().find(box), std::string::npos) << box << "\n" << a.listing();
    EXPECT_NE(a.listing().find("Relative diffusion coefficent outside b surface     0.750"), std::string::npos);
    int total = 0;
    for (int n : rc.nrxn) total += n;
    ASSERT_GT(total, 0);
    ASSERT_LT(total, 24);
    for (int r = 0; r < 3; ++r) {
        const std::string line = fortio::format_write("(1x,'Run ',i5,'   reactive trajectories ',i8)",
                                                      {std::int64_t(r + 1), std::int64_t(rc.nrxn[size_t(r)])})
                                     .at(0);
        EXPECT_NE(a.listing().find(line), std::string::npos) << line;
    }

    // A tighter criterion: exactly the trajectories that came closer.
    TrjData d = load(rc.lines, 1);
    const double tight = 3.0;
    a.k.rxn.pdist[1][1] = float(tight);
    const RxnsResults t = rxnclc(a.k, d, 1, false, false);
    int want_tight = 0, got = 0;
    for (const auto& run : rc.dmin)
        for (double m : run) want_tight += m < tight;
    for (int n : t.nrxn) got += n;
    EXPECT_EQ(got, want_tight);
    EXPECT_LT(got, total);
}

TEST_F(Anal, RepeatedReactionsNeedTheExtraDistanceAndTheMinimumTime) {
    // Distances from the target: in (reaction 1), within the extra distance
    // (the same reaction), out (complete), back in within tmin (still
    // reaction 1), out, back in after more than tmin (reaction 2).
    const double x[] = {5, 0.5, 1.5, 2.5, 0.5, 3, 3, 0.5, 0.5};
    std::vector<std::string> l{rec(-1, 1, 1, 0)};
    for (int i = 0; i < 9; ++i) l.push_back(rec(0.1 * i, x[i], 0, 0));
    l.push_back(rec(-999, 1, 1, 0));
    put("flx1.trj", l);
    auto& a = run("anal rxns defrxn 1 1 1 1 1.0 plus 1.0 time 0.15 moni end end\nstop\n");
    ASSERT_EQ(status, 0) << a.listing();
    const RxnsResults r = rxnclc(a.k, load(l, 1), 1, true, false);
    ASSERT_EQ(r.trajs.size(), 1u);
    const auto& e = r.trajs[0].events;
    ASSERT_EQ(e.size(), 2u);
    EXPECT_FLOAT_EQ(e[0].start, 0.1f);
    EXPECT_FLOAT_EQ(e[0].exit, 0.5f);
    EXPECT_FLOAT_EQ(e[1].start, 0.7f);
    EXPECT_LT(e[1].exit, 0);
    EXPECT_NE(a.listing().find("Reaction     2 at        0.700 ps, not complete at the end"), std::string::npos);
}

TEST_F(Anal, AddOfTwoFilesEqualsOneRecordOfBoth) {
    Gen gen;
    // One record of two trajectories, time running on; and its two halves
    // as separate runs would have written them, each from time 0.
    std::vector<std::string> one, a, b;
    auto traj = [&](std::vector<std::string>& to, int t, double t0, std::vector<std::string>* also) {
        to.push_back(rec(-1, 1, t, 0));
        if (also) also->push_back(rec(-1, 1, t, 0));
        for (int f = 0; f < 5; ++f) {
            const double p = r3(10 * gen.gau());
            to.push_back(rec(t0 + 0.5 * f, p, 1, 2));
            if (also) also->push_back(rec(0.5 * f, p, 1, 2));
        }
    };
    traj(one, 1, 0, &a);
    traj(one, 2, 2.0, &b);
    one.push_back(rec(-999, 1, 2, 0));
    a.push_back(rec(-999, 1, 1, 0));
    b.push_back(rec(-999, 1, 1, 0));
    EXPECT_EQ(trjcat({a, b}), one);
    EXPECT_EQ(trjcat({one}), one);  // one file is copied unchanged
    put("a.trj", a), put("b.trj", b);
    auto& r = run("anal add iflx 1 numb 2 a.trj b.trj end end\nstop\n");
    ASSERT_EQ(status, 0) << r.listing();
    std::ifstream f("tot1.trj");
    std::vector<std::string> got;
    for (std::string ln; std::getline(f, ln);) got.push_back(ln);
    EXPECT_EQ(got, one);
}

TEST_F(Anal, DihedralHistogramsAreWrittenAfterTheAnalysis) {
    // A unit of four beads whose dihedral stays at 180 - atan(2) = 116.57
    // degrees over five frames, then one frame at -45.
    std::ofstream("quad.qcrd") << "atom 1 ALA CA 0 0 0 0 2\natom 2 ALA CA 3 0 0 0 2\n"
                                  "atom 3 ALA CA 3 4 0 0 2\natom 4 ALA CA 4 4 2 0 2\nend\n";
    std::vector<std::string> l{rec(-1, 1, 1, 0)};
    for (int f = 0; f < 6; ++f) {
        const double z = f < 5 ? 2 : -1, x = f < 5 ? 4 : 2;  // (-1, 0, -1) from subunit 3: -45 degrees
        const double p[4][3] = {{0, 0, 0}, {3, 0, 0}, {3, 4, 0}, {x, 4, z}};
        for (const auto& q : p) l.push_back(rec(f, q[0], q[1], q[2]));
    }
    l.push_back(rec(-999, 1, 1, 0));
    put("quad.trj", l);
    s = std::make_unique<test::Session>(
        "read mol 1 qcard file ion.qcrd end\nread mol 2 qcard file quad.qcrd end\n"
        "edit suni iflx 1 nums 4 atnu 2 2 3 3 4 4 5 5 end\n"
        "anal traj file quad.trj dihe all end end\nwrite rama file r.dat end\nwrite trama file t.dat end\nstop\n");
    ASSERT_EQ(run_kova(s->k), 0) << s->listing();
    auto lines = [](const char* name) {
        std::ifstream f(name);
        std::vector<std::string> v;
        for (std::string ln; std::getline(f, ln);) v.push_back(ln);
        return v;
    };
    const auto r = lines("r.dat"), t = lines("t.dat");
    ASSERT_EQ(r.size(), 37u);
    EXPECT_EQ(r[0], " Temp Rama #     1  For dihedrals     1       1");  // no blanks after the last number
    EXPECT_EQ(r[1 + 29], "  110.000         0.833333");  // 5 of 6 frames
    EXPECT_EQ(r[1 + 13], "  -50.000         0.166667");
    EXPECT_EQ(r[1 + 0], " -180.000         0.000000");
    ASSERT_EQ(t.size(), 37u);
    EXPECT_EQ(t[0], "          36          36");
    EXPECT_EQ(t[1 + 29], "  110.000              5");
}

TEST_F(Anal, DamagedFilesAreNamedWithTheirRecord) {
    const std::string h = rec(-1, 1, 1, 0), e = rec(-999, 1, 1, 0);
    auto f = [](double t, double x) { return rec(t, x, 0, 0); };
    struct Case {
        std::vector<std::string> lines;
        long record;
        std::string why;
    };
    const Case cases[] = {
        {{h, f(0, 1), f(0, 2), "    0.500  garbage", e}, 4, "not a trajectory record"},
        {{h, f(0, 1), f(0, 2), "        0.500  ********     0.000     0.000", e}, 4, "not a trajectory record"},
        {{h, f(0, 1), h, f(0, 1), f(0, 2), e}, 3, "cut short after 1"},
        {{h, f(0, 1), f(0.5, 2), e}, 3, "time changes inside a frame"},
        {{h, f(0, 1), f(0, 2), f(0.5, 1), f(0.5, 2)}, 6, "without its end record"},
        {{h, f(0, 1), f(0, 2), e, f(1, 1)}, 5, "after the end record"},
        {{rec(-1, 0.5, 1, 0), e}, 1, "header without"},
        {{h, f(1, 1), f(1, 2), f(0.5, 1), f(0.5, 2), e}, 4, "time goes back"},
        {{h, f(-3, 1), f(-3, 2), e}, 2, "negative time"},
        // A record of four subunits read for two: frames at one time.
        {{h, f(0, 1), f(0, 2), f(0, 3), f(0, 4), e}, 4, "same time"},
    };
    for (const Case& c : cases) {
        TrjData d;
        TrjError er;
        EXPECT_FALSE(trjload_lines(c.lines, 2, d, er)) << c.why;
        EXPECT_EQ(er.record, c.record) << c.why;
        EXPECT_NE(er.why.find(c.why), std::string::npos) << er.why;
    }
    // Only a header and the end: one trajectory without frames, zero results.
    const TrajResults z = anltrj(load({h, e}, 2), TrajSettings{});
    EXPECT_EQ(z.per.size(), 1u);
    EXPECT_EQ(z.all.frames, 0);

    // Through the command: the message names the file and the record, and
    // the run ends with the abort status; a missing file likewise.
    put("bad.trj", {h, f(0, 1), "junk", e});
    auto& a = run("anal rxns file bad.trj end end\nstop\n");
    EXPECT_EQ(status, 1);
    EXPECT_NE(a.listing().find("ERROR : rnxclc(010) - problem with trj file"), std::string::npos);
    EXPECT_NE(a.listing().find("file bad.trj, record 3: not a trajectory record"), std::string::npos)
        << a.listing();
    auto& m = run("anal traj file none.trj end end\nstop\n");
    EXPECT_EQ(status, 1);
    EXPECT_NE(m.listing().find("cannot open trajectory file: none.trj"), std::string::npos);
}

}  // namespace
}  // namespace kova
