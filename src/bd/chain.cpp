// Initial coordinates of the subunits of a diffusing unit: a chain built
// bond by bond from bond lengths, bond angles and dihedrals (given, drawn
// about given or equilibrium values, or uniform for dihedrals), or read back
// from a restart file; and the coefficients of the nearest-neighbour
// dihedral energy of a unit.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <string>

#include "bd/units.hpp"
#include "command/output.hpp"
#include "command/readers.hpp"
#include "fortio/format.hpp"

namespace kova {

namespace {

constexpr double pi = 3.14159265358979323846;
constexpr double kcal = 418.4;           // kcal/mol to amu*A**2/ps**2
constexpr double rgas = 0.83144647;      // gas constant, amu*A**2/ps**2/K
constexpr double deg = pi / 180.0;

void cross(const double a[3], const double b[3], double c[3]) {
    c[0] = a[1] * b[2] - a[2] * b[1];
    c[1] = a[2] * b[0] - a[0] * b[2];
    c[2] = a[0] * b[1] - a[1] * b[0];
}

// Scales v to unit length; false when it has none to scale.
bool unit(double v[3]) {
    const double n = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
    if (!(n > 1e-12)) return false;
    v[0] /= n, v[1] /= n, v[2] /= n;
    return true;
}

std::string fmtval(double v) {
    char b[32];
    std::snprintf(b, sizeof b, "%g", v);
    return b;
}

// How the bond lengths (angles, dihedrals) of a generated chain are chosen.
enum class Pick { equilibrium, identical, each, random_identical, random_each, random_equilibrium, uniform };

// Equilibrium length of bond b (subunits i, i+1) of unit n: the bond term's
// length, else the constraint between the two subunits, else the sum of
// their radii.
double equilibrium_bond(const MoleculeStore& m, int n, int b) {
    const UnitStore& u = m.units;
    if (u.bndon[n] == 1 && u.cncor[n] == 0 && b <= maxubd && u.b0[n][b] > 0.0f) return u.b0[n][b];
    const int i = u.ifsub[n] + b - 1;
    for (int c = 1; c <= u.ncnstr; ++c)
        if ((u.cnsub1[c] == i && u.cnsub2[c] == i + 1) || (u.cnsub1[c] == i + 1 && u.cnsub2[c] == i))
            return u.cndist[c];
    return double(m.sbrad[i]) + m.sbrad[i + 1];
}

// Equilibrium value of bond angle t of unit n, radians.
double equilibrium_angle(const UnitStore& u, int n, int t) {
    if (t <= maxubd && u.t0[n][t] > 0.0f) return u.t0[n][t];
    return 1.5219271;
}

}  // namespace

void genat4(const double ri[3], const double rj[3], const double rk[3], double d, double t, double p, double out[3]) {
    double a[3] = {ri[0] - rk[0], ri[1] - rk[1], ri[2] - rk[2]};
    double b[3] = {rj[0] - rk[0], rj[1] - rk[1], rj[2] - rk[2]};
    double yp[3], xp[3], zp[3];
    cross(a, b, yp);
    if (!unit(yp)) {
        // The three subunits are in line: any direction normal to the bond
        // serves as the plane of the dihedral.
        const double e[3] = {std::fabs(b[0]) < std::fabs(b[1]) ? 1.0 : 0.0, std::fabs(b[0]) < std::fabs(b[1]) ? 0.0 : 1.0,
                             0.0};
        cross(e, b, yp);
        if (!unit(yp)) yp[0] = 0, yp[1] = 0, yp[2] = 1;
    }
    cross(b, yp, xp);
    if (!unit(xp)) xp[0] = 1, xp[1] = 0, xp[2] = 0;  // rj on rk: no bond direction to keep
    cross(xp, yp, zp);
    const double l[3] = {d * std::sin(t) * std::cos(p), -d * std::sin(t) * std::sin(p), -d * std::cos(t)};
    for (int c = 0; c < 3; ++c) out[c] = rk[c] + l[0] * xp[c] + l[1] * yp[c] + l[2] * zp[c];
}

void predih(Kova& k, int n) {
    MoleculeStore& m = k.mol;
    UnitStore& u = m.units;
    for (int d = 1; d <= std::min(u.ndihe[n], maxubd); ++d) {
        const int i = u.ifsub[n] + d - 1, j = i + 3;
        // The 1-4 distance of the dihedral at equilibrium bonds and angles is
        // r**2 = A + B*cos(phi); its energy is the excluded-volume and
        // side-chain/solvent energy of the two end subunits.
        double r1[3] = {0, 0, 0}, r2[3] = {equilibrium_bond(m, n, d), 0, 0};
        const double t1 = equilibrium_angle(u, n, d), t2 = equilibrium_angle(u, n, d + 1);
        const double b2 = equilibrium_bond(m, n, d + 1), b3 = equilibrium_bond(m, n, d + 2);
        double r3[3] = {r2[0] + b2 * std::cos(pi - t1), b2 * std::sin(pi - t1), 0};
        double rexv = 0, eval = 0, rsol = 0, sval = 0;
        if (u.exvmod[n] != 0) {
            rexv = std::sqrt(double(u.rexv[i]) * u.rexv[j]);
            eval = std::sqrt(std::fabs(double(u.eval[i]) * u.eval[j]));
        }
        if (u.solmod[n] != 0) {
            rsol = std::sqrt(double(u.rsol[i]) * u.rsol[j]);
            sval = double(u.sval[i]) + u.sval[j];
        }
        auto energy = [&](double c) {
            double r4[3];
            genat4(r1, r2, r3, b3, t2, std::acos(std::clamp(c, -1.0, 1.0)), r4);
            const double r2 = (r4[0] - r1[0]) * (r4[0] - r1[0]) + (r4[1] - r1[1]) * (r4[1] - r1[1]) +
                              (r4[2] - r1[2]) * (r4[2] - r1[2]);
            double e = 0;
            if (rexv > 0 && r2 <= rexv * rexv) {
                const double s = rexv * rexv / std::max(r2, 1e-8);
                e += eval * (s * s * s * (3 * s - 4) + 1);
            }
            if (rsol > 0 && r2 <= rsol * rsol) {
                const double x = r2 / (rsol * rsol);
                e += sval * (1 - (7 * x - 9 * x * x + 5 * x * x * x - x * x * x * x) / 2);
            }
            return e;
        };
        // Least-squares fit of a0 + a1*c + ... + a4*c**4 over c in [-1, 1].
        double a[5][6] = {};
        constexpr int np = 201;
        for (int s = 0; s < np; ++s) {
            const double c = -1.0 + 2.0 * s / (np - 1), e = energy(c);
            double pw[5] = {1, c, c * c, c * c * c, c * c * c * c};
            for (int r = 0; r < 5; ++r) {
                for (int q = 0; q < 5; ++q) a[r][q] += pw[r] * pw[q];
                a[r][5] += pw[r] * e;
            }
        }
        for (int col = 0; col < 5; ++col) {
            int piv = col;
            for (int r = col + 1; r < 5; ++r)
                if (std::fabs(a[r][col]) > std::fabs(a[piv][col])) piv = r;
            std::swap(a[col], a[piv]);
            for (int r = 0; r < 5; ++r) {
                if (r == col) continue;
                const double f = a[r][col] / a[col][col];
                for (int q = col; q < 6; ++q) a[r][q] -= f * a[col][q];
            }
        }
        for (int c = 0; c < 5; ++c) u.nnnbc[n][d][c] = float(a[c][5] / a[c][c]);
        out(k, "(a,i5,a)", "Nnnb coef calculated for subunit", i, ", the ith residue of the dihedral");
    }
}

namespace {

// Reads the subunit coordinates of every unit from a restart file. Nothing
// is stored unless the whole file reads.
bool read_restart(Kova& k, const std::string& file) {
    MoleculeStore& m = k.mol;
    const UnitStore& u = m.units;
    const int unit = k.files.rstunit;
    std::string why;
    auto fail = [&](std::string_view text, const std::string& v) {
        msg(k, text, v);
        k.units.close(unit);
        kvabort(k, serious);
        return false;
    };
    if (!k.units.open(unit, file, fortio::OpenStatus::old_file, fortio::Form::formatted, &why)) {
        msg(k, "SERIOUS: gencrd (003) cannot open restart file: ", file, " (" + why + ")");
        kvabort(k, serious);
        return false;
    }
    out(k, "(1x,a,a,a)", "Restart subunit coordinates read", " from file :", file);
    auto x = m.sbx, y = m.sby, z = m.sbz;
    std::string rec;
    int line = 1;
    if (k.units.read(unit, rec) != fortio::IoStatus::ok) return fail("SERIOUS: gencrd (004) restart file is empty: ", file);
    for (int n = 1; n <= u.nunit; ++n) {
        for (int s = u.ifsub[n]; s <= u.ilsub[n]; ++s) {
            ++line;
            if (k.units.read(unit, rec) != fortio::IoStatus::ok)
                return fail("SERIOUS: gencrd (004) restart file ends before subunit ", std::to_string(s));
            int num = 0;
            float c[3] = {0, 0, 0};
            const fortio::ReadResult rr =
                fortio::format_read_record("(6x,i5,15x,3(2x,f8.3))", rec, {&num, &c[0], &c[1], &c[2]});
            if (rr.status != fortio::ReadStatus::ok || !std::isfinite(c[0]) || !std::isfinite(c[1]) ||
                !std::isfinite(c[2]))
                return fail("SERIOUS: gencrd (005) unreadable record in restart file at line ", std::to_string(line));
            if (num != s) {
                out(k, "(a)", "  WARNING: gencrd(002)-");
                out(k, "(a,2i8)", " subunit no. mismatch reading restart file:", num, s);
                kvabort(k, warning);
            }
            x[s] = c[0], y[s] = c[1], z[s] = c[2];
        }
        ++line;
        if (k.units.read(unit, rec) != fortio::IoStatus::ok)
            return fail("SERIOUS: gencrd (004) restart file ends before the end of unit ", std::to_string(n));
    }
    k.units.close(unit);
    m.sbx = x, m.sby = y, m.sbz = z;
    return true;
}

}  // namespace

bool gencrd(Kova& k) {
    MoleculeStore& m = k.mol;
    UnitStore& u = m.units;
    const int in = k.files.inunit;
    int n = 1;
    bool refused = false, rest = false, list = false, reseed = false;
    std::string file = k.files.rstname;
    Pick bpick = Pick::equilibrium, tpick = Pick::equilibrium, ppick = Pick::identical;
    double b1 = 0, t1 = 0, p1 = pi;  // all-trans chain unless told otherwise
    std::array<double, maxubd + 1> bv{}, tv{}, pv{};
    int seeds[4] = {k.rnd.ijsd1, k.rnd.klsd1, k.rnd.ijsd2, k.rnd.klsd2};
    auto bad = [&](std::string_view text, const std::string& v) {
        msg(k, text, v);
        kvabort(k, serious);
        refused = true;
    };
    auto have_unit = [&] {
        if (n >= 1 && n <= u.nunit) return true;
        bad("SERIOUS: gencrd (010) no such unit: ", std::to_string(n));
        return false;
    };
    auto length = [&] {
        const float v = getnum(k, in, "Gencrd");
        if (!(std::isfinite(v) && v > 0.0f)) bad("SERIOUS: gencrd (011) bond length not positive: ", fmtval(v));
        return double(v);
    };
    auto angle = [&] {
        const float v = getnum(k, in, "Gencrd");
        if (!(v > 0.0f && v <= 180.0f)) bad("SERIOUS: gencrd (012) bond angle outside 0 to 180 degrees: ", fmtval(v));
        return v * deg;
    };
    auto dihedral = [&] {
        const float v = getnum(k, in, "Gencrd");
        if (!std::isfinite(v)) bad("SERIOUS: gencrd (013) dihedral is not a finite number: ", fmtval(v));
        return v * deg;
    };
    for (;;) {
        const std::string w = getnam(k, in, "Gencrd");
        const std::string_view w4 = std::string_view(w).substr(0, 4);
        if (w4 == "end") break;
        if (w == "ijsd1" || w == "klsd1" || w == "ijsd2" || w == "klsd2") {
            const int which = w == "ijsd1" ? 0 : w == "klsd1" ? 1 : w == "ijsd2" ? 2 : 3;
            const int v = getint(k, in, "Gencrd");
            const int top = which % 2 == 0 ? 31328 : 30081;
            if (v <= 0 || v >= top) bad("SERIOUS: gencrd (014) random seed outside its range: ", w + " " + std::to_string(v));
            else seeds[which] = v, reseed = true;
        } else if (w4 == "iflx") {
            n = getint(k, in, "Gencrd");
            have_unit();
        } else if (w4 == "rest") {
            rest = true;
        } else if (w4 == "file") {
            file = getfil(k, in, "Gencrd");
        } else if (w4 == "bide" || w4 == "rbid") {
            b1 = length();
            bpick = w4 == "bide" ? Pick::identical : Pick::random_identical;
        } else if (w4 == "nbid" || w4 == "rnbi") {
            if (!have_unit()) continue;
            for (int b = 1; b <= u.nbond[n] && b <= maxubd; ++b) bv[b] = length();
            bpick = w4 == "nbid" ? Pick::each : Pick::random_each;
        } else if (w == "b0" || w == "rb0") {
            bpick = w == "b0" ? Pick::equilibrium : Pick::random_equilibrium;
        } else if (w4 == "tide" || w4 == "rtid") {
            t1 = angle();
            tpick = w4 == "tide" ? Pick::identical : Pick::random_identical;
        } else if (w4 == "ntid" || w4 == "rnti") {
            if (!have_unit()) continue;
            for (int t = 1; t <= u.nangl[n] && t <= maxubd; ++t) tv[t] = angle();
            tpick = w4 == "ntid" ? Pick::each : Pick::random_each;
        } else if (w == "t0" || w == "rt0") {
            tpick = w == "t0" ? Pick::equilibrium : Pick::random_equilibrium;
        } else if (w4 == "dide") {
            p1 = dihedral();
            ppick = Pick::identical;
        } else if (w4 == "ndid") {
            if (!have_unit()) continue;
            for (int d = 1; d <= u.ndihe[n] && d <= maxubd; ++d) pv[d] = dihedral();
            ppick = Pick::each;
        } else if (w4 == "rdih") {
            ppick = Pick::uniform;
        } else if (w4 == "prts") {
            list = true;
        } else {
            out(k, "(a,a,a)", "  WARNING: gencrd (001) -", " unknown keyword:", w);
            kvabort(k, warning);
        }
    }
    if (refused || !have_unit()) return false;
    if (reseed) {
        k.rnd.ijsd1 = seeds[0], k.rnd.klsd1 = seeds[1], k.rnd.ijsd2 = seeds[2], k.rnd.klsd2 = seeds[3];
        rndini(k);
    }
    if (rest) {
        if (!read_restart(k, file)) return false;
        if (list)
            for (int i = 1; i <= u.nunit; ++i) prtsub(k, i);
        return true;
    }

    // Bond lengths, angles and dihedrals of the chain, drawn before anything
    // is stored. A random value is the centre plus a Gaussian deviate of
    // standard deviation sqrt(kT/k); one that leaves the physical range
    // (a length not positive, an angle outside 0..pi) is drawn again.
    const double kt = rgas * k.env.temp;
    const int nb = std::min(u.nbond[n], maxubd), na = std::min(u.nangl[n], maxubd), nd = std::min(u.ndihe[n], maxubd);
    std::array<double, maxubd + 1> bl{}, ta{}, ph{};
    auto draw = [&](double centre, double force, double lo, double hi, const char* what, int index) {
        if (!(force > 0.0)) {
            bad(std::string("SERIOUS: gencrd (015) random ") + what + " needs a positive force constant: ",
                std::to_string(index));
            return centre;
        }
        const double sd = std::sqrt(kt / force);
        for (int tries = 0; tries < 1000; ++tries) {
            const double v = centre + sd * rndgau(k);
            if (v > lo && v <= hi) return v;
        }
        bad(std::string("SERIOUS: gencrd (016) random ") + what + " stays outside its range: ", std::to_string(index));
        return centre;
    };
    for (int b = 1; b <= nb; ++b) {
        const double eq = equilibrium_bond(m, n, b);
        switch (bpick) {
        case Pick::identical: bl[b] = b1; break;
        case Pick::each: bl[b] = bv[b]; break;
        case Pick::equilibrium: bl[b] = eq; break;
        default: {
            const double centre = bpick == Pick::random_identical ? b1 : bpick == Pick::random_each ? bv[b] : eq;
            bl[b] = draw(centre, u.cb[n][b], 0.0, 1e30, "bond length", b);
        }
        }
    }
    for (int t = 1; t <= na; ++t) {
        const double eq = equilibrium_angle(u, n, t);
        switch (tpick) {
        case Pick::identical: ta[t] = t1; break;
        case Pick::each: ta[t] = tv[t]; break;
        case Pick::equilibrium: ta[t] = eq; break;
        default: {
            const double centre = tpick == Pick::random_identical ? t1 : tpick == Pick::random_each ? tv[t] : eq;
            ta[t] = draw(centre, u.ct[n][t], 0.0, pi, "bond angle", t);
        }
        }
    }
    for (int d = 1; d <= nd; ++d)
        ph[d] = ppick == Pick::identical ? p1 : ppick == Pick::each ? pv[d] : 2.0 * pi * rnd1(k);
    if (refused) return false;

    out(k, "(1x,a,i4,a)", "Initial coordinates of unit ", n, " are generated by KOVA as follows");
    out(k, "(1x,a)", "PARAMETERS OF GENERATED UNIT");
    for (int b = 1; b <= nb; ++b) out(k, "(a,i4,a,f10.3,a)", "  Bond    ", b, "  length   :", bl[b], " A");
    for (int t = 1; t <= na; ++t) out(k, "(a,i4,a,f10.3,a)", "  Angle   ", t, "  value    :", ta[t] / deg, " degrees");
    for (int d = 1; d <= nd; ++d) out(k, "(a,i4,a,f10.3,a)", "  Dihedral", d, "  value    :", ph[d] / deg, " degrees");

    // The first subunit at the origin, the second along x, the third in the
    // xy plane, every further one from the three before it.
    const int f = u.ifsub[n], ns = u.nsubu[n];
    std::array<std::array<double, 3>, maxsub + 1> r{};
    if (ns >= 2) r[1] = {bl[1], 0, 0};
    if (ns >= 3) r[2] = {r[1][0] + bl[2] * std::cos(pi - ta[1]), bl[2] * std::sin(pi - ta[1]), 0};
    for (int i = 0; i + 3 < ns; ++i) genat4(r[i].data(), r[i + 1].data(), r[i + 2].data(), bl[i + 3], ta[i + 2], ph[i + 1], r[i + 3].data());
    for (int s = 0; s < ns; ++s) {
        m.sbx[f + s] = float(r[s][0]);
        m.sby[f + s] = float(r[s][1]);
        m.sbz[f + s] = float(r[s][2]);
    }
    if (list) prtsub(k, n);
    return true;
}

}  // namespace kova
