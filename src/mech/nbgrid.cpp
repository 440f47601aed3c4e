// The grid interaction term: the atoms that are not real (grid atoms) are
// put once on three grids (Lennard-Jones repulsion, attraction and the
// Coulomb potential), and the real atoms are evaluated against them by
// trilinear interpolation at every energy evaluation.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "command/commands.hpp"
#include "command/output.hpp"
#include "fortio/format.hpp"
#include "mech/mech.hpp"

namespace kova {

namespace {

constexpr int stdout_unit = fortio::UnitTable::stdout_unit;
constexpr int boxunit = 21;
// A grid point closer than this to a grid atom is taken at this distance, so
// that the grids stay finite (A).
constexpr float dmin = 0.01f;

void list_line(Kova& k, std::initializer_list<fortio::OutItem> items) {
    k.units.write(stdout_unit, fortio::list_write(items));
}

// Lennard-Jones coefficients of one atom on the grid: with e = sqrt|eps| and
// g^2 = 2^(-1/6) Rmin = sigma of the atom, a = 2 e g^6 and b = 2 e g^12, so
// that a real atom j against a grid atom i gives
//   b_i b_j / d^12 - a_i a_j / d^6 = 4 eps_ij [(sig_ij/d)^12 - (sig_ij/d)^6]
// with eps_ij = sqrt|eps_i eps_j| and sig_ij = sqrt(sig_i sig_j).
void ljcoef(const Topology& t, int i, double c, double& a, double& b) {
    const double e = std::sqrt(std::fabs(double(t.ljpar[1][i])));
    const double g = std::sqrt(double(t.ljpar[2][i])) * c;
    const double g6 = g * g * g * g * g * g;
    a = 2.0 * e * g6;
    b = 2.0 * e * g6 * g6;
}

}  // namespace

bool makgrid(Kova& k, const std::string& boxfil) {
    ForceField& ff = k.ff;
    InteractionGrid& g = ff.grid;
    const Topology& t = ff.top;
    const MoleculeStore& m = k.mol;
    const int n = m.natom;
    const double s = 1.0 / std::pow(2.0, 1.0 / 6.0);
    const double c = std::sqrt(2.0 * s);
    if (g.gridsp == 0.0f) g.gridsp = 1.0f;
    const float h = g.gridsp;
    const int mg = g.gmargin > 0.0f ? int(g.gmargin) : 1;

    double cx, cy, cz;  // counts, before the checks
    if (g.gxmin == 99999.0f) {
        float lo[3] = {3.0e38f, 3.0e38f, 3.0e38f}, hi[3] = {-3.0e38f, -3.0e38f, -3.0e38f};
        int nreal = 0;
        for (int i = 1; i <= n; ++i) {
            if (t.ireal[i] != 1) continue;
            ++nreal;
            const float p[3] = {m.x[i], m.y[i], m.z[i]};
            for (int a = 0; a < 3; ++a) lo[a] = std::min(lo[a], p[a]), hi[a] = std::max(hi[a], p[a]);
        }
        if (nreal == 0) {
            msg(k, "NOTE: makgrid(090) no real atom to evaluate on the grid: the grid term is off.");
            return false;
        }
        g.gxmin = lo[0], g.gymin = lo[1], g.gzmin = lo[2];
        g.gxmax = hi[0], g.gymax = hi[1], g.gzmax = hi[2];
        cx = std::trunc(double((g.gxmax - g.gxmin) / h + 2.0f)) + 2 * mg;
        cy = std::trunc(double((g.gymax - g.gymin) / h + 2.0f)) + 2 * mg;
        cz = std::trunc(double((g.gzmax - g.gzmin) / h + 2.0f)) + 2 * mg;
        g.xo = g.gxmin - float(mg) * h;
        g.yo = g.gymin - float(mg) * h;
        g.zo = g.gzmin - float(mg) * h;
    } else {
        list_line(k, {std::string_view("using corners.")});
        list_line(k, {std::string_view("gxmin, gxmax: "), g.gxmin, g.gxmax});
        cx = std::trunc(double((g.gxmax - g.gxmin) / h));
        cy = std::trunc(double((g.gymax - g.gymin) / h));
        cz = std::trunc(double((g.gzmax - g.gzmin) / h));
        g.xo = g.gxmin, g.yo = g.gymin, g.zo = g.gzmin;
        if (mg != 1) {
            fwrite(k, k.files.msgunit, "(1x,'WARNING: makgrid(070) grid margin ignored when corners are given: ',i10)",
                   mg);
            kvabort(k, warning);
        }
    }
    if (!(cx >= 1 && cy >= 1 && cz >= 1)) {
        msg(k, "SERIOUS: makgrid(080) the grid box holds no grid point: the upper corner must lie above the lower "
               "one by a spacing on each axis.");
        kvabort(k, serious);
        return false;
    }
    if (cx * cy * cz >= double(maxgpt) + 1.0) {
        auto big = [](double v) { return std::int64_t(std::min(v, 2.0e9)); };
        list_line(k, {std::string_view(" GRID TOO BIG ")});
        list_line(k, {std::string_view("IXG, IYG, IZG "), big(cx), big(cy), big(cz)});
        endrun(k, exit_fatal);
    }
    g.ixg = int(cx), g.iyg = int(cy), g.izg = int(cz);
    g.gxmax = g.xo + float(g.ixg) * h, g.gymax = g.yo + float(g.iyg) * h, g.gzmax = g.zo + float(g.izg) * h;
    g.gxmin = g.xo, g.gymin = g.yo, g.gzmin = g.zo;
    list_line(k, {std::string_view("Xmin,Ymin,Zmin "), g.gxmin, g.gymin, g.gzmin});
    list_line(k, {std::string_view("Xmax,Ymax,Zmax "), g.gxmax, g.gymax, g.gzmax});
    list_line(k, {std::string_view("Grid Origin "), g.xo, g.yo, g.zo});
    list_line(k, {std::string_view("Grid Dimensions "), g.gxmax - g.gxmin, g.gymax - g.gymin, g.gzmax - g.gzmin});
    list_line(k, {std::string_view("Grid Dimensions "), std::int64_t{g.ixg}, std::int64_t{g.iyg}, std::int64_t{g.izg}});
    list_line(k, {std::string_view("Grid Spacing "), h});

    if (boxfil.substr(0, 4) != "none") {
        // The twelve edges of the box, each a move to one corner and a line to
        // the next: the lower face, the upper face, the four uprights.
        std::string name = boxfil;
        kvopen(k, boxunit, name, true);
        const float x[2] = {g.gxmin, g.gxmax}, y[2] = {g.gymin, g.gymax}, z[2] = {g.gzmin, g.gzmax};
        const int ring[5][2] = {{0, 0}, {1, 0}, {1, 1}, {0, 1}, {0, 0}};
        auto corner = [&](int a, int b, int cc, const char* code) {
            fwrite(k, boxunit, "(3f8.2,a)", x[a], y[b], z[cc], code);
        };
        k.units.write(boxunit, "LINES");
        for (int f = 0; f < 2; ++f)
            for (int e = 0; e < 4; ++e) {
                corner(ring[e][0], ring[e][1], f, "  P");
                corner(ring[e + 1][0], ring[e + 1][1], f, "  L");
            }
        for (int e = 0; e < 4; ++e) {
            corner(ring[e][0], ring[e][1], 0, "  P");
            corner(ring[e][0], ring[e][1], 1, "  L");
        }
        k.units.close(boxunit);
    }

    // The grid atoms, their coefficients and charges in flat arrays.
    std::vector<float> ax, ay, az, aa, ab, aq;
    std::vector<int> anum;
    for (int i = 1; i <= n; ++i) {
        if (t.ireal[i] == 1) continue;
        double a, b;
        ljcoef(t, i, c, a, b);
        ax.push_back(m.x[i]), ay.push_back(m.y[i]), az.push_back(m.z[i]);
        aa.push_back(float(a)), ab.push_back(float(b)), aq.push_back(m.chrg[i]);
        anum.push_back(i);
    }
    const long na = long(anum.size());
    const long nx = g.ixg, ny = g.iyg, npts = nx * ny * g.izg;
    const bool rdie = ff.nb.irdie != 0;
    const float xo = g.xo, yo = g.yo, zo = g.zo;
    float* rep = g.grdrep.data();
    float* att = g.grdatt.data();
    float* ele = g.grdele.data();
    // Each point sums the grid atoms in atom order, whatever the thread.
#pragma omp parallel for schedule(static)
    for (long p = 0; p < npts; ++p) {
        const long ix = p % nx, iy = (p / nx) % ny, iz = p / (nx * ny);
        const float px = xo + float(ix) * h, py = yo + float(iy) * h, pz = zo + float(iz) * h;
        float sr = 0, sa = 0, se = 0;
        for (long a = 0; a < na; ++a) {
            const float dx = px - ax[size_t(a)], dy = py - ay[size_t(a)], dz = pz - az[size_t(a)];
            float d2 = dx * dx + dy * dy + dz * dz;
            if (d2 < dmin * dmin) d2 = dmin * dmin;
            const float inv2 = 1.0f / d2, inv6 = inv2 * inv2 * inv2;
            se += rdie ? aq[size_t(a)] * inv2 : aq[size_t(a)] / std::sqrt(d2);  // q/d, or q/d^2
            sa += aa[size_t(a)] * inv6;                                           // a/d^6
            sr += ab[size_t(a)] * inv6 * inv6;                                    // b/d^12
        }
        rep[p + 1] = sr, att[p + 1] = sa, ele[p + 1] = se;
    }
    // The closest approach of a grid atom to a grid point: the nearest point
    // on each axis.
    float best = 3.0e38f;
    int bestatom = 0;
    for (long a = 0; a < na; ++a) {
        auto nearest = [&](float v, float o, int cnt) {
            float r = std::nearbyint((v - o) / h);
            r = std::clamp(r, 0.0f, float(cnt - 1));
            return o + r * h - v;
        };
        const float dx = nearest(ax[size_t(a)], xo, g.ixg), dy = nearest(ay[size_t(a)], yo, g.iyg),
                    dz = nearest(az[size_t(a)], zo, g.izg);
        const float d = std::sqrt(dx * dx + dy * dy + dz * dz);
        if (d < best) best = d, bestatom = anum[size_t(a)];
    }
    list_line(k, {std::string_view("NUMBER OF GRID ATOMS = "), std::int64_t{na}});
    for (int i = 1; i <= n; ++i) {
        if (t.ireal[i] != 0) {
            double a, b;
            ljcoef(t, i, c, a, b);
            g.gacoef[i] = float(a), g.gbcoef[i] = float(b), g.gqcoef[i] = 332.054f * m.chrg[i];
        } else {
            g.gacoef[i] = g.gbcoef[i] = g.gqcoef[i] = 0.0f;
        }
    }
    fwrite(k, stdout_unit, "(1x,'Closest approach of unreal atom to grid pt',f8.4,' by atom ',i7)", best, bestatom);
    return true;
}

void egrid(Kova& k) {
    ForceField& ff = k.ff;
    const InteractionGrid& g = ff.grid;
    const Topology& t = ff.top;
    const MoleculeStore& m = k.mol;
    if (ff.nb.irdie == 0 && k.env.pdie == 999.0f) {
        fwrite(k, stdout_unit, "(1x,a)", "DIELCI defaulting to 1 in EGRID.");
        k.env.pdie = 1.0f;
    }
    float& etotal = ff.e[egrd];
    float& erep = ff.e[egrdrep];
    float& eatt = ff.e[egrdatt];
    float& eele = ff.e[egrdele];
    etotal = erep = eatt = eele = 0.0f;
    const float qdiv = ff.nb.irdie ? ff.nb.rdie : k.env.pdie;
    const float h = g.gridsp;

    // Molecule 1 is taken at its size factor about its centre.
    double cx = 0, cy = 0, cz = 0;
    const int f1 = m.nmol >= 1 ? m.fstatm[1] : 1, l1 = m.nmol >= 1 ? m.lstatm[1] : 0;
    if (l1 >= f1) {
        for (int i = f1; i <= l1; ++i) cx += ff.xd[i], cy += ff.yd[i], cz += ff.zd[i];
        cx /= (l1 - f1 + 1), cy /= (l1 - f1 + 1), cz /= (l1 - f1 + 1);
    }
    const double sl = ff.ev.slig;

    for (int j = 1; j <= m.natom; ++j) {
        if (m.live[j] != 1 || t.ireal[j] != 1) continue;
        double p[3] = {ff.xd[j], ff.yd[j], ff.zd[j]};
        if (j >= f1 && j <= l1 && sl != 1.0) {
            p[0] = cx + sl * (p[0] - cx), p[1] = cy + sl * (p[1] - cy), p[2] = cz + sl * (p[2] - cz);
        }
        const float o[3] = {g.xo, g.yo, g.zo};
        const int cnt[3] = {g.ixg, g.iyg, g.izg};
        int cell[3];
        float fr[3];
        bool inside = p[0] >= g.gxmin && p[0] <= g.gxmax && p[1] >= g.gymin && p[1] <= g.gymax &&
                      p[2] >= g.gzmin && p[2] <= g.gzmax;
        bool oncells = true;
        for (int a = 0; a < 3; ++a) {
            const double gv = (p[a] - o[a]) / h;
            const double tr = std::trunc(gv);
            cell[a] = std::fabs(gv) < 1.0e9 ? int(std::trunc(gv + 1.0)) : -1;
            fr[a] = float(gv - tr);
            // On the last point itself: the last cell, at its far side.
            if (cell[a] == cnt[a] && fr[a] == 0.0f) cell[a] = cnt[a] - 1, fr[a] = 1.0f;
            if (cell[a] < 1 || cell[a] >= cnt[a]) oncells = false;
        }
        if (!inside || !oncells) {
            const char* tag = !inside ? "1.EGRID" : "2.EGRID";
            list_line(k, {std::string_view(!inside ? "1.EGRID - ATOM" : "2.EGRID - ATOM"), std::int64_t{j},
                          std::string_view(" OFF GRID")});
            list_line(k, {std::string_view(tag), float(p[0]), float(p[1]), float(p[2])});
            list_line(k, {std::string_view(tag), g.xo, g.yo, g.zo});
            list_line(k, {std::string_view("gxmin,gymin,gzmin "), g.gxmin, g.gymin, g.gzmin});
            list_line(k, {std::string_view("xmax,ymax,zmax "), g.gxmax, g.gymax, g.gzmax});
            list_line(k, {std::string_view("xcoc,ycoc,zcoc "), float(cx), float(cy), float(cz)});
            list_line(k, {std::string_view("ixg,iyg,izg"), std::int64_t{g.ixg}, std::int64_t{g.iyg},
                          std::int64_t{g.izg}});
            list_line(k, {std::string_view("ix,iy,iz "), std::int64_t{cell[0]}, std::int64_t{cell[1]},
                          std::int64_t{cell[2]}});
            list_line(k, {std::string_view("Grid Spacing "), g.gridsp});
            if (ff.ev.iconv != 0) ff.ev.iconv = 2;
            return;
        }
        // Trilinear interpolation over the eight corners of the cell, and its
        // gradient (the derivative of the same form, divided by the spacing).
        const float fx = fr[0], fy = fr[1], fz = fr[2];
        double v[3] = {0, 0, 0}, gx[3] = {0, 0, 0}, gy[3] = {0, 0, 0}, gz[3] = {0, 0, 0};
        const float* grids[3] = {g.grdrep.data(), g.grdatt.data(), g.grdele.data()};
        for (int dz = 0; dz < 2; ++dz)
            for (int dy = 0; dy < 2; ++dy)
                for (int dx = 0; dx < 2; ++dx) {
                    const double wx = dx ? fx : 1.0 - fx, wy = dy ? fy : 1.0 - fy, wz = dz ? fz : 1.0 - fz;
                    const double sx = dx ? 1.0 : -1.0, sy = dy ? 1.0 : -1.0, sz = dz ? 1.0 : -1.0;
                    const long pt = g.point(cell[0] + dx, cell[1] + dy, cell[2] + dz);
                    for (int q = 0; q < 3; ++q) {
                        const double val = grids[q][pt];
                        v[q] += wx * wy * wz * val;
                        gx[q] += sx * wy * wz * val / h;
                        gy[q] += wx * sy * wz * val / h;
                        gz[q] += wx * wy * sz * val / h;
                    }
                }
        const double frep = g.gbcoef[j], fatt = -double(g.gacoef[j]), fele = double(g.gqcoef[j]) / qdiv;
        const float er = float(frep * v[0]);  // b_j sum b_i/d^12
        const float ea = float(fatt * v[1]);  // -a_j sum a_i/d^6
        const float ee = float(fele * v[2]);  // 332.054 q_j sum q_i/d / eps
        erep += er, eatt += ea, eele += ee;
        etotal += er + ea + ee;
        if (!ff.ev.nofrc) {
            ff.f(j, 0) -= frep * gx[0] + fatt * gx[1] + fele * gx[2];
            ff.f(j, 1) -= frep * gy[0] + fatt * gy[1] + fele * gy[2];
            ff.f(j, 2) -= frep * gz[0] + fatt * gz[1] + fele * gz[2];
        }
    }
}

}  // namespace kova
