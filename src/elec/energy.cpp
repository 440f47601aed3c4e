// Energies and forces from the potential on the grid: the potential at the
// atoms, the energy of the selected charges, the grid self energy and the
// finite-difference Coulomb energy that the grid energy contains, and the
// charge-in-field and finite-difference Coulomb forces.
#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "command/output.hpp"
#include "elec/elec.hpp"
#include "elec/multigrid.hpp"

namespace kova {

float deff(int i, int j, int k) {
    static const float deffa[286] = {
#include "elec/deff_table.inc"
    };
    int u = std::abs(i), v = std::abs(j), w = std::abs(k);
    if (u < v) std::swap(u, v);
    if (v < w) std::swap(v, w);
    if (u < v) std::swap(u, v);
    // Sorted, the index is at most 285 exactly when u <= 10.
    if (u <= 10) return deffa[u * (u + 1) * (u + 2) / 6 + v * (v + 1) / 2 + w];
    const double du = u, dv = v, dw = w;
    return static_cast<float>(std::sqrt(du * du + dv * dv + dw * dw));
}

float phi_point(const GridStore& g, int i, int j, int k) {
    // One point beyond the last plane of an axis: the boundary value is not
    // stored; continue the potential linearly from the last two planes.
    if (i == g.nx + 1 && g.nx >= 2) return 2.0f * phi_point(g, g.nx, j, k) - phi_point(g, g.nx - 1, j, k);
    if (j == g.ny + 1 && g.ny >= 2) return 2.0f * phi_point(g, i, g.ny, k) - phi_point(g, i, g.ny - 1, k);
    if (k == g.nz + 1 && g.nz >= 2) return 2.0f * phi_point(g, i, j, g.nz) - phi_point(g, i, j, g.nz - 1);
    if (i < 1 || j < 1 || k < 1 || i > g.nx || j > g.ny || k > g.nz || !fits_grid(g)) return 0.0f;
    return g.phi[g.index(i, j, k)];
}

float phi_get(const GridStore& g, int i, int j, int k, float fx, float fy, float fz) {
    const float p000 = phi_point(g, i, j, k), p100 = phi_point(g, i + 1, j, k);
    const float p010 = phi_point(g, i, j + 1, k), p110 = phi_point(g, i + 1, j + 1, k);
    const float p001 = phi_point(g, i, j, k + 1), p101 = phi_point(g, i + 1, j, k + 1);
    const float p011 = phi_point(g, i, j + 1, k + 1), p111 = phi_point(g, i + 1, j + 1, k + 1);
    const float a = p000;
    const float bx = p100 - p000, by = p010 - p000, bz = p001 - p000;
    const float cxy = p110 - p100 - p010 + p000;
    const float cxz = p101 - p100 - p001 + p000;
    const float cyz = p011 - p010 - p001 + p000;
    const float dxyz = p111 - p110 - p101 - p011 + p100 + p010 + p001 - p000;
    return a + bx * fx + by * fy + bz * fz + cxy * fx * fy + cxz * fx * fz + cyz * fy * fz + dxyz * fx * fy * fz;
}

namespace {

constexpr float fourpi = 12.566371f;

int atoms(const Kova& k) { return std::min(k.mol.natom, maxatm); }

// The cell of an atom and its eight corner weights, corner c = di + 2 dj +
// 4 dk at (i + di, j + dj, k + dk).
struct Cell {
    GridCoord c;
    float w[8];
};

Cell cell_of(const Kova& k, int a) {
    const GridStore& g = k.mess;
    Cell r;
    r.c = xyzijk(k.mol.x[a], k.mol.y[a], k.mol.z[a], g.h, g.xo, g.yo, g.zo);
    const float wx[2] = {1.0f - r.c.fx, r.c.fx}, wy[2] = {1.0f - r.c.fy, r.c.fy}, wz[2] = {1.0f - r.c.fz, r.c.fz};
    for (int c = 0; c < 8; ++c) r.w[c] = wx[c & 1] * wy[(c >> 1) & 1] * wz[(c >> 2) & 1];
    return r;
}

// Whether the atom's cell lies on the grid: cell indices at least 1 and
// grid coordinates at most the dimensions.
bool on_grid(const GridStore& g, const GridCoord& c) {
    return c.gx >= 1.0f && c.gy >= 1.0f && c.gz >= 1.0f && c.gx <= static_cast<float>(g.nx) &&
           c.gy <= static_cast<float>(g.ny) && c.gz <= static_cast<float>(g.nz);
}

void off_grid(Kova& k, const char* fmt) {
    fwrite(k, k.files.msgunit, fmt);
    kvabort(k, warning);
}

constexpr const char* self_off = "(1x,'WARNING: self(000) can not calculate energy: charge is off grid.')";

// Number of differing coordinates of corners a and b.
int corner_distance(int a, int b) {
    const int x = a ^ b;
    return (x & 1) + ((x >> 1) & 1) + ((x >> 2) & 1);
}

// Lattice interaction of corner weights sets u and v of one cell with itself:
// 1/2 G0 sum u^2 + G1, G2, G3 times the pair sums by corner distance.
double cell_self(const float* u) {
    double s0 = 0, s[4] = {0, 0, 0, 0};
    for (int a = 0; a < 8; ++a) {
        s0 += double(u[a]) * u[a];
        for (int b = a + 1; b < 8; ++b) s[corner_distance(a, b)] += double(u[a]) * u[b];
    }
    return 0.5 * lattice_g0 * s0 + lattice_g1 * s[1] + lattice_g2 * s[2] + lattice_g3 * s[3];
}

}  // namespace

double nrgrho(Kova& k, const Arr1<int, maxatm>& sel) {
    const GridStore& g = k.mess;
    double e = 0;
    for (int a = 1; a <= atoms(k); ++a) {
        if (sel[a] == 0) continue;
        const Cell c = cell_of(k, a);
        if (!on_grid(g, c.c)) {
            off_grid(k, "(1x,'WARNING: nrgrho(000) can not calculate energy: charge is off grid.')");
            return 0.0;
        }
        e += k.mol.chrg[a] * phi_get(g, c.c.i, c.c.j, c.c.k, c.c.fx, c.c.fy, c.c.fz);
    }
    return 0.5 * e;
}

double self2(Kova& k, const Arr1<int, maxatm>& sel) {
    const GridStore& g = k.mess;
    double e = 0;
    for (int a = 1; a <= atoms(k); ++a) {
        if (sel[a] == 0) continue;
        const Cell c = cell_of(k, a);
        if (!on_grid(g, c.c)) {
            off_grid(k, self_off);
            return 0.0;
        }
        const float q = k.mol.chrg[a];
        float rho[8];
        for (int n = 0; n < 8; ++n) rho[n] = q * c.w[n];
        e += cell_self(rho);
    }
    return e / (double(g.h) * k.env.epsint);
}

double fdcoul(Kova& k, const Arr1<int, maxatm>& sel) {
    const GridStore& g = k.mess;
    const MoleculeStore& m = k.mol;
    const int n = atoms(k);
    std::vector<Cell> cells(n + 1);
    for (int a = 1; a <= n; ++a) {
        if (sel[a] == 0 || m.chrg[a] == 0.0f) continue;
        cells[a] = cell_of(k, a);
        if (!on_grid(g, cells[a].c)) {
            off_grid(k, self_off);
            return 0.0;
        }
    }
    const double ei = k.env.epsint, h = g.h;
    double e = 0;
    for (int a = 1; a <= n; ++a) {
        if (sel[a] == 0 || m.chrg[a] == 0.0f) continue;
        for (int b = a + 1; b <= n; ++b) {
            if (sel[b] == 0 || m.chrg[b] == 0.0f) continue;
            const double dx = m.x[a] - m.x[b], dy = m.y[a] - m.y[b], dz = m.z[a] - m.z[b];
            const double d = std::sqrt(dx * dx + dy * dy + dz * dz);
            const double qq = double(m.chrg[a]) * m.chrg[b];
            if (d / h > 12.3) {
                e += qq / (fourpi * ei * d);
                continue;
            }
            const Cell &ca = cells[a], &cb = cells[b];
            double s = 0;
            for (int p = 0; p < 8; ++p)
                for (int q = 0; q < 8; ++q) {
                    const int oi = ca.c.i + (p & 1) - cb.c.i - (q & 1);
                    const int oj = ca.c.j + ((p >> 1) & 1) - cb.c.j - ((q >> 1) & 1);
                    const int ok = ca.c.k + ((p >> 2) & 1) - cb.c.k - ((q >> 2) & 1);
                    s += double(ca.w[p]) * cb.w[q] / deff(oi, oj, ok);
                }
            e += qq * s / (fourpi * ei * h);
        }
    }
    return e;
}

void qefrc(Kova& k, const Arr1<int, maxatm>& sel, Arr1<float, maxatm>& fx, Arr1<float, maxatm>& fy,
           Arr1<float, maxatm>& fz) {
    const GridStore& g = k.mess;
    const MoleculeStore& m = k.mol;
    const Environment& env = k.env;
    const int n = atoms(k);
    // Force on a charge q at offset (dx, dy, dz) from a Debye-Hueckel sphere
    // of charge qs and radius rs.
    auto sphere = [&](double dx, double dy, double dz, double q, double qs, double rs, float* f) {
        const double r = std::sqrt(dx * dx + dy * dy + dz * dz);
        if (qs == 0.0 || r == 0.0) return;
        const double kap = env.kappa;
        const double s = std::exp((rs - r) * kap) * qs * q * (kap * r + 1.0) /
                         (r * r * r * fourpi * double(env.epsout) * (kap * rs + 1.0));
        f[0] += static_cast<float>(dx * s), f[1] += static_cast<float>(dy * s), f[2] += static_cast<float>(dz * s);
    };
    for (int a = 1; a <= n; ++a) {
        if (sel[a] == 0) continue;
        const float q = m.chrg[a];
        const Cell c = cell_of(k, a);
        float f[3] = {0, 0, 0};
        const int i = c.c.i, j = c.c.j, kk = c.c.k;
        if (c.c.gx >= 0 && c.c.gy >= 0 && c.c.gz >= 0 && i >= 2 && i <= g.nx - 1 && j >= 2 && j <= g.ny - 1 &&
            kk >= 2 && kk <= g.nz - 1) {
            double s[3] = {0, 0, 0};
            for (int p = 0; p < 8; ++p) {
                const int ci = i + (p & 1), cj = j + ((p >> 1) & 1), ck = kk + ((p >> 2) & 1);
                s[0] += c.w[p] * (double(phi_point(g, ci - 1, cj, ck)) - phi_point(g, ci + 1, cj, ck));
                s[1] += c.w[p] * (double(phi_point(g, ci, cj - 1, ck)) - phi_point(g, ci, cj + 1, ck));
                s[2] += c.w[p] * (double(phi_point(g, ci, cj, ck - 1)) - phi_point(g, ci, cj, ck + 1));
            }
            for (int x = 0; x < 3; ++x) f[x] = static_cast<float>(q * s[x] / (2.0 * g.h));
        } else {
            switch (g.bcfl) {
                case 1:
                    sphere(double(m.x[a]) - g.xcen, double(m.y[a]) - g.ycen, double(m.z[a]) - g.zcen, q, g.qnet,
                           g.reff, f);
                    break;
                case 2:
                    for (int b = 1; b <= n; ++b) {
                        if (b == a || sel[b] == 0) continue;
                        sphere(double(m.x[a]) - m.x[b], double(m.y[a]) - m.y[b], double(m.z[a]) - m.z[b], q, m.chrg[b],
                               m.radi[b], f);
                    }
                    break;
                case 3: f[2] = q * g.efld; break;
                default: break;
            }
        }
        fx[a] = f[0], fy[a] = f[1], fz[a] = f[2];
    }
}

void gfrc(Kova& k, const Arr1<int, maxatm>& sel, Arr1<float, maxatm>& fx, Arr1<float, maxatm>& fy,
          Arr1<float, maxatm>& fz) {
    const GridStore& g = k.mess;
    const MoleculeStore& m = k.mol;
    const int n = atoms(k);
    for (int a = 1; a <= n; ++a) fx[a] = fy[a] = fz[a] = 0.0f;
    std::vector<Cell> cells(n + 1);
    for (int a = 1; a <= n; ++a)
        if (sel[a] != 0) cells[a] = cell_of(k, a);
    const double ei = k.env.epsint, h = g.h, cut = 11.3 * h;
    for (int a = 1; a <= n; ++a) {
        if (sel[a] == 0) continue;
        for (int b = a + 1; b <= n; ++b) {
            if (sel[b] == 0) continue;
            const double dx = double(m.x[a]) - m.x[b], dy = double(m.y[a]) - m.y[b], dz = double(m.z[a]) - m.z[b];
            const double d2 = dx * dx + dy * dy + dz * dz;
            const double qq = double(m.chrg[a]) * m.chrg[b];
            double f[3] = {0, 0, 0};
            if (d2 > cut * cut) {
                const double s = qq / (fourpi * ei * d2 * std::sqrt(d2));
                f[0] = s * dx, f[1] = s * dy, f[2] = s * dz;
            } else {
                const Cell &ca = cells[a], &cb = cells[b];
                for (int p = 0; p < 8; ++p)
                    for (int q = 0; q < 8; ++q) {
                        const int oi = ca.c.i + (p & 1) - cb.c.i - (q & 1);
                        const int oj = ca.c.j + ((p >> 1) & 1) - cb.c.j - ((q >> 1) & 1);
                        const int ok = ca.c.k + ((p >> 2) & 1) - cb.c.k - ((q >> 2) & 1);
                        const double w = double(ca.w[p]) * cb.w[q];
                        f[0] += w * (1.0 / deff(oi - 1, oj, ok) - 1.0 / deff(oi + 1, oj, ok));
                        f[1] += w * (1.0 / deff(oi, oj - 1, ok) - 1.0 / deff(oi, oj + 1, ok));
                        f[2] += w * (1.0 / deff(oi, oj, ok - 1) - 1.0 / deff(oi, oj, ok + 1));
                    }
                const double s = qq / (2.0 * h * h * fourpi * ei);
                for (double& v : f) v *= s;
            }
            fx[a] += static_cast<float>(f[0]), fy[a] += static_cast<float>(f[1]), fz[a] += static_cast<float>(f[2]);
            fx[b] -= static_cast<float>(f[0]), fy[b] -= static_cast<float>(f[1]), fz[b] -= static_cast<float>(f[2]);
        }
    }
}

}  // namespace kova

namespace kova {

double nrggrd(Kova& k) {
    GridStore& g = k.mess;
    if (!fits_grid(g)) return 0.0;
    const int nx = g.nx, ny = g.ny, nz = g.nz, nxy = g.nxy, n = g.nxyz;
    std::fill(g.rhs.begin() + 1, g.rhs.begin() + n + 1, 0.0f);
    charge(k);
    float* m = g.pvec.data();
    std::fill(m + 1, m + n + 1, 1.0f);
    if (g.energy_switches[0] || g.energy_switches[1]) {
        // The energy box: centre and half-widths (Angstrom).
        const GridCoord c = xyzijk(g.energies[0], g.energies[1], g.energies[2], g.h, g.xo, g.yo, g.zo);
        const float gc[3] = {c.gx, c.gy, c.gz};
        const int dims[3] = {nx, ny, nz};
        int lo[3], hi[3];
        for (int d = 0; d < 3; ++d) {
            const float w = g.energies[3 + d] / g.h;
            lo[d] = std::max(itrunc(gc[d] - w + 1.0f), 1);
            hi[d] = std::min(itrunc(gc[d] + w), dims[d]);
        }
        const bool include = g.energy_switches[0];
        if (include) std::fill(m + 1, m + n + 1, 0.0f);
        for (int kk = lo[2]; kk <= hi[2]; ++kk)
            for (int j = lo[1]; j <= hi[1]; ++j)
                for (int i = lo[0]; i <= hi[0]; ++i) m[g.index(i, j, kk)] = include ? 1.0f : 0.0f;
        g.energy_switches = {false, false};
    }
    const float* phi = g.phi.data();
    const float* rhs = g.rhs.data();
    double q = 0;
    for (int l = 1; l <= n; ++l) q += double(rhs[l]) * phi[l] * m[l];
    q *= 0.5 * g.h;

    double f1 = 0, f2 = 0;
    const float* ei = g.epsi.data();
    const float* ej = g.epsj.data();
    const float* ek = g.epsk.data();
    for (int kk = 1; kk < nz; ++kk)
        for (int j = 1; j < ny; ++j) {
            const int base = nx * (j - 1) + nxy * (kk - 1);
            for (int i = 1; i < nx; ++i) {
                const int l = base + i;
                const double dx = double(phi[l + 1]) - phi[l];
                const double dy = double(phi[l + nx]) - phi[l];
                const double dz = double(phi[l + nxy]) - phi[l];
                const double ex = ei[l] * dx * dx, ey = ej[l] * dy * dy, ez = ek[l] * dz * dz;
                f1 += m[l] * (ex + ey + ez);
                f2 += m[l + 1] * ex + m[l + nx] * ey + m[l + nxy] * ez;
            }
        }
    f1 *= 0.5 * g.h;
    f2 *= 0.5 * g.h;

    const double rt = double(gasconst) * k.env.temp;
    const float* iacs = g.iacs.data();
    double ion = 0;
    if (k.env.cion != 0.0f && rt > 0.0) {
        // A skipped point adds +0, which leaves the sum (never -0) as it is.
        ion = ordered_sum(grid_threads(g), 1, n, [&](int l) {
            return iacs[l] != 6.0f ? std::cosh(double(phi[l]) * m[l] / rt) - 1.0 : 0.0;
        });
        ion *= -2.0 * k.env.cion * double(g.h) * g.h * g.h * rt;
    }
    return 2.0 * q - 0.5 * (f1 + f2) + ion;
}

namespace {

// Weights of the atom's cell corners; false when the atom is off the grid
// (after the warning).
bool green_cell(Kova& k, int a, Cell& c) {
    c = cell_of(k, a);
    if (on_grid(k.mess, c.c)) return true;
    fwrite(k, k.files.msgunit, "(1x,'WARNING: self(000) can not calculate energy: ','charge is off grid.')");
    kvabort(k, warning);
    return false;
}

}  // namespace

double green1(Kova& k, int atom) {
    const GridStore& g = k.mess;
    const MoleculeStore& m = k.mol;
    Cell ci;
    if (!green_cell(k, atom, ci)) return 0.0;
    const double ei = k.env.epsint, h = g.h;
    double s = 0;
    for (int b = 1; b <= atoms(k); ++b) {
        if (b == atom || m.chrg[b] == 0.0f) continue;
        const double dx = double(m.x[atom]) - m.x[b], dy = double(m.y[atom]) - m.y[b],
                     dz = double(m.z[atom]) - m.z[b];
        const double d = std::sqrt(dx * dx + dy * dy + dz * dz);
        if (d / h > 12.3) {
            s += m.chrg[b] / (fourpi * ei * d);
            continue;
        }
        Cell cb;
        if (!green_cell(k, b, cb)) return 0.0;
        double t = 0;
        for (int p = 0; p < 8; ++p)
            for (int q = 0; q < 8; ++q) {
                const int oi = ci.c.i + (p & 1) - cb.c.i - (q & 1);
                const int oj = ci.c.j + ((p >> 1) & 1) - cb.c.j - ((q >> 1) & 1);
                const int ok = ci.c.k + ((p >> 2) & 1) - cb.c.k - ((q >> 2) & 1);
                t += double(ci.w[p]) * cb.w[q] / deff(oi, oj, ok);
            }
        s += m.chrg[b] * t / (fourpi * ei * h);
    }
    return s;
}

double green2(Kova& k, int atom) {
    Cell c;
    if (!green_cell(k, atom, c)) return 0.0;
    return 2.0 * k.mol.chrg[atom] * cell_self(c.w) / (double(k.mess.h) * k.env.epsint);
}

}  // namespace kova
