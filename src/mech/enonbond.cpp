// The non-bonded pair term: Lennard-Jones van der Waals and Coulomb
// energies of the pairs of the list, with a constant or distance-dependent
// dielectric, molecule 1 taken at its size factor about its centre, and the
// per-molecule splits when the store holds two molecules.
#include <cmath>
#include <cstdint>
#include <string_view>

#include "command/output.hpp"
#include "fortio/format.hpp"
#include "mech/mech.hpp"
#include "mech/vec3.hpp"

namespace kova {

namespace {

constexpr int stdout_unit = fortio::UnitTable::stdout_unit;
constexpr double coulomb = 332.054;  // kcal A / (mol e^2)

void list_line(Kova& k, std::initializer_list<fortio::OutItem> items) {
    k.units.write(stdout_unit, fortio::list_write(items));
}

}  // namespace

void epair(Kova& k) {
    ForceField& ff = k.ff;
    const Topology& t = ff.top;
    EvalState& ev = ff.ev;
    const MoleculeStore& m = k.mol;
    const bool vdw = ev.lvdw, eel = ev.leel, split = m.nmol == 2;
    const int f1 = m.nmol >= 1 ? m.fstatm[1] : 1, l1 = m.nmol >= 1 ? m.lstatm[1] : 0;
    const int f2 = m.nmol >= 2 ? m.fstatm[2] : 1, l2 = m.nmol >= 2 ? m.lstatm[2] : 0;
    const int n1 = l1 - f1 + 1;

    // Centre of molecule 1 and its escape from the reference centre.
    double p[3] = {0, 0, 0};
    if (n1 > 0) {
        for (int i = f1; i <= l1; ++i) p[0] += ff.xd[i], p[1] += ff.yd[i], p[2] += ff.zd[i];
        for (double& x : p) x /= n1;
    }
    if (ev.iconv != 0 && ev.rescape > 0.0f && n1 > 0) {
        const double r[3] = {m.ligcen[0], m.ligcen[1], m.ligcen[2]};
        double v[3];
        diff(p, r, v);
        if (mag(v) > ev.rescape) {
            ev.iconv = 2;
            list_line(k, {std::string_view("ESCAPE: molecule 1 has left the reference centre at step"),
                          std::int64_t{ev.istep}});
            list_line(k, {std::string_view("centre of molecule 1 "), p[0], p[1], p[2]});
            list_line(k, {std::string_view("reference centre "), r[0], r[1], r[2]});
            list_line(k, {std::string_view("distance, escape distance "), mag(v), double(ev.rescape)});
        }
    }

    const double sl = ev.slig, shift = t.rshift, h = ev.fdstep;
    const bool rdie = ff.nb.irdie != 0;
    const double die = rdie ? ff.nb.rdie : k.env.pdie;
    // Forces on molecule 1's scaled positions, summed: the centre moves with
    // every atom of the molecule, so each of its atoms also takes
    // (1 - slig)/n1 of the sum.
    double s1[3] = {0, 0, 0};
    float& ev_vdw = ff.e[evdw];
    float& ev_el = ff.e[eelec];
    for (int n = 1; n <= t.npair; ++n) {
        const int i = t.ipr[n], j = t.jpr[n];
        const bool in1 = i >= f1 && i <= l1, jn1 = j >= f1 && j <= l1;
        const double sig = t.prsig[n], eps = t.preps[n];
        double qq = coulomb * t.prqq[n];
        if (split) {
            const bool in2 = i >= f2 && i <= l2, jn2 = j >= f2 && j <= l2;
            if (!(in1 || in2) || !(jn1 || jn2)) {
                list_line(k, {std::string_view("EPAIR: pair"), std::int64_t{n}, std::string_view("of atoms"),
                              std::int64_t{i}, std::int64_t{j}});
                list_line(k, {std::string_view("belongs to neither molecule 1 nor molecule 2")});
                list_line(k, {std::string_view("molecule 1 atoms"), std::int64_t{f1}, std::int64_t{l1}});
                list_line(k, {std::string_view("molecule 2 atoms"), std::int64_t{f2}, std::int64_t{l2}});
                endrun(k, exit_fatal);
            }
            if (in1 != jn1) qq *= t.emscl;
        }
        // Energies of the pair at positions a (atom i) and b (atom j), the
        // scaled positions of molecule 1's atoms.
        auto nrg = [&](const double (&c)[2][3], double& evw, double& eel_) {
            double a[3], b[3], v[3];
            for (int x = 0; x < 3; ++x) {
                a[x] = in1 ? p[x] + sl * (c[0][x] - p[x]) : c[0][x];
                b[x] = jn1 ? p[x] + sl * (c[1][x] - p[x]) : c[1][x];
            }
            diff(a, b, v);
            const double r = mag(v) + shift;
            evw = 0.0, eel_ = 0.0;
            if (vdw) {
                const double s2 = sig * sig / (r * r), s6 = s2 * s2 * s2;
                evw = 4.0 * eps * (s6 * s6 - s6);
            }
            if (eel) eel_ = qq / (r * (rdie ? die * r : die));
        };
        double c[2][3] = {{ff.xd[i], ff.yd[i], ff.zd[i]}, {ff.xd[j], ff.yd[j], ff.zd[j]}};
        auto add_energies = [&](double evw, double eco) {
            ev_vdw += float(evw), ev_el += float(eco);
            if (split) {
                const int pair = (in1 ? 0 : 1) + (jn1 ? 0 : 1);  // 0: 1-1, 1: 1-2, 2: 2-2
                ff.e[pair == 0 ? evdw11 : pair == 1 ? evdw12 : evdw22] += float(evw);
                ff.e[pair == 0 ? eel11 : pair == 1 ? eel12 : eel22] += float(eco);
            }
        };
        double f[2][3];
        if (ev.lanal || ev.nofrc) {
            // Energies and analytic forces from one separation (the values
            // of nrg, in the same order of operations).
            double a[3], b[3], v[3];
            for (int x = 0; x < 3; ++x) {
                a[x] = in1 ? p[x] + sl * (c[0][x] - p[x]) : c[0][x];
                b[x] = jn1 ? p[x] + sl * (c[1][x] - p[x]) : c[1][x];
            }
            diff(a, b, v);
            const double d = mag(v), r = d + shift;
            double evw = 0.0, eco = 0.0, dedr = 0.0;
            if (vdw) {
                const double s2 = sig * sig / (r * r), s6 = s2 * s2 * s2;
                evw = 4.0 * eps * (s6 * s6 - s6);
                dedr += 4.0 * eps * (-12.0 * s6 * s6 + 6.0 * s6) / r;
            }
            if (eel) {
                eco = qq / (r * (rdie ? die * r : die));
                dedr -= (rdie ? 2.0 : 1.0) * eco / r;
            }
            add_energies(evw, eco);
            if (ev.nofrc) continue;
            // Two atoms on one spot have no direction between them.
            const double g = d > 0.0 ? -dedr / d : 0.0;
            for (int x = 0; x < 3; ++x) {
                const double fi = g * v[x];
                f[0][x] = in1 ? sl * fi : fi;
                f[1][x] = jn1 ? -sl * fi : -fi;
                if (in1) s1[x] += fi;
                if (jn1) s1[x] -= fi;
            }
        } else {
            double evw, eco;
            nrg(c, evw, eco);
            add_energies(evw, eco);
            // The centre of molecule 1 held where it is.
            fdiff(h, c, f, [&](const double (&q)[2][3]) {
                double a, b;
                nrg(q, a, b);
                return a + b;
            });
        }
        for (int x = 0; x < 3; ++x) ff.f(i, x) += f[0][x], ff.f(j, x) += f[1][x];
    }
    if (!ev.nofrc && ev.lanal && sl != 1.0 && n1 > 0)
        for (int i = f1; i <= l1; ++i)
            for (int x = 0; x < 3; ++x) ff.f(i, x) += (1.0 - sl) / n1 * s1[x];
}

}  // namespace kova
