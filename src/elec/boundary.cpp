// Boundary conditions of the finite-difference system and focusing from a
// previous grid.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "command/output.hpp"
#include "elec/elec.hpp"
#include "elec/multigrid.hpp"

namespace kova {

float interp(const float* map, int nx, int ny, int nz, float h, float xo, float yo, float zo, float x, float y,
             float z) {
    GridCoord c = xyzijk(x, y, z, h, xo, yo, zo);
    // Truncation toward zero: points before the first grid point also fall
    // outside the range below.
    if (c.gx < 0 || c.gy < 0 || c.gz < 0) return 0.0f;
    if (c.i < 1 || c.i > nx - 1 || c.j < 1 || c.j > ny - 1 || c.k < 1 || c.k > nz - 1) return 0.0f;
    const long nxy = static_cast<long>(nx) * ny;
    auto at = [&](int i, int j, int k) { return map[i + nx * (j - 1) + nxy * (k - 1)]; };
    const float wx[2] = {1 - c.fx, c.fx}, wy[2] = {1 - c.fy, c.fy}, wz[2] = {1 - c.fz, c.fz};
    float v = 0;
    for (int dk = 0; dk < 2; ++dk)
        for (int dj = 0; dj < 2; ++dj)
            for (int di = 0; di < 2; ++di) v += at(c.i + di, c.j + dj, c.k + dk) * wx[di] * wy[dj] * wz[dk];
    return v;
}

namespace {

// Calls f(bi, bj, bk, l) for every boundary point (bi, bj, bk) of the six
// faces, with l the flat index of its interior neighbour and axis 0/1/2 the
// axis separating them, upper true on the faces at n + 1.
template <class F>
void for_boundary(const GridStore& g, F&& f) {
    const int nx = g.nx, ny = g.ny, nz = g.nz;
    for (int j = 1; j <= ny; ++j)
        for (int i = 1; i <= nx; ++i) {
            f(i, j, 0, g.index(i, j, 1), 2, false);
            f(i, j, nz + 1, g.index(i, j, nz), 2, true);
        }
    for (int k = 1; k <= nz; ++k)
        for (int j = 1; j <= ny; ++j) {
            f(0, j, k, g.index(1, j, k), 0, false);
            f(nx + 1, j, k, g.index(nx, j, k), 0, true);
        }
    for (int k = 1; k <= nz; ++k)
        for (int i = 1; i <= nx; ++i) {
            f(i, 0, k, g.index(i, 1, k), 1, false);
            f(i, ny + 1, k, g.index(i, ny, k), 1, true);
        }
}

}  // namespace

namespace {

// e^x in single precision without branches, so that loops over many points
// vectorise: x = n ln 2 + r with |r| <= ln 2 / 2, e^r by its degree-6
// Taylor-like minimax polynomial, 2^n put into the exponent bits. Relative
// error below 2e-7 on [-87, 88]; arguments below give 0, above, e^88.
inline float exp_lanes(float x) {
    x = x < -87.0f ? -87.0f : x;
    x = x > 88.0f ? 88.0f : x;
    // Rounding to the nearest integer by adding and removing 1.5 2^23.
    const float n = (x * 1.44269504088896341f + 12582912.0f) - 12582912.0f;
    // ln 2 in two parts: the first exact with n.
    float r = x - n * 0.693359375f;
    r = r - n * -2.12194440e-4f;
    float p = 1.9875691500e-4f;
    p = p * r + 1.3981999507e-3f;
    p = p * r + 8.3334519073e-3f;
    p = p * r + 4.1665795894e-2f;
    p = p * r + 1.6666665459e-1f;
    p = p * r + 5.0000001201e-1f;
    p = p * r * r + r + 1.0f;
    const std::int32_t bits = (static_cast<std::int32_t>(n) + 127) << 23;
    float scale;
    std::memcpy(&scale, &bits, sizeof scale);
    return p * scale;
}

}  // namespace

void bcfl1(float xc, float yc, float zc, float q, float a, float kappa, int nx, int ny, int nz, float h, float xo,
           float yo, float zo, float* rhs) {
    const float fourpi = 12.566371f;
    const float pre = q / (fourpi * (1.0f + kappa * a));
    const long nxy = static_cast<long>(nx) * ny;
    auto idx = [&](int i, int j, int k) { return i + nx * (j - 1) + nxy * (k - 1); };
    // The potential along one boundary line of n points, the first at offset
    // d0 on the running axis and perp2 the squared distance across it, into
    // buf[0..n-1]: independent points, so the loop vectorises.
    std::vector<float> buf_store(static_cast<size_t>(std::max(nx, ny)) + 1);
    float* buf = buf_store.data();
    auto line = [&](float d0, float perp2, int n) {
        for (int s = 0; s < n; ++s) {
            const float d = d0 + static_cast<float>(s) * h;
            const float r = std::sqrt(d * d + perp2);
            buf[s] = pre * exp_lanes(kappa * (a - r)) / r;
        }
    };
    // Faces k = 0 and k = nz + 1: lines along x.
    for (int face = 0; face < 2; ++face) {
        int kb = face == 0 ? 0 : nz + 1, ki = face == 0 ? 1 : nz;
        float dz = zo + kb * h - zc;
        for (int j = 1; j <= ny; ++j) {
            float dy = yo + j * h - yc;
            line(xo + h - xc, dy * dy + dz * dz, nx);
            float* row = rhs + idx(1, j, ki);
            for (int i = 0; i < nx; ++i) row[i] += buf[i];
        }
    }
    // Faces i = 0 and i = nx + 1: lines along y.
    for (int face = 0; face < 2; ++face) {
        int ib = face == 0 ? 0 : nx + 1, ii = face == 0 ? 1 : nx;
        float dx = xo + ib * h - xc;
        for (int k = 1; k <= nz; ++k) {
            float dz = zo + k * h - zc;
            line(yo + h - yc, dx * dx + dz * dz, ny);
            for (int j = 1; j <= ny; ++j) rhs[idx(ii, j, k)] += buf[j - 1];
        }
    }
    // Faces j = 0 and j = ny + 1: lines along x.
    for (int face = 0; face < 2; ++face) {
        int jb = face == 0 ? 0 : ny + 1, ji = face == 0 ? 1 : ny;
        float dy = yo + jb * h - yc;
        for (int k = 1; k <= nz; ++k) {
            float dz = zo + k * h - zc;
            line(xo + h - xc, dy * dy + dz * dz, nx);
            float* row = rhs + idx(1, ji, k);
            for (int i = 0; i < nx; ++i) row[i] += buf[i];
        }
    }
}

namespace {

// The Debye-Hueckel potential q exp(kappa (a - r)) / (4 pi (1 + kappa a) r)
// of one sphere at the boundary points of a line, as bcfl1 computes it:
// pre = q / (4 pi (1 + kappa a)); point s at offset d0 + s h along the
// line, perp2 the squared distance across it.
inline float dh_point(float pre, float kappa, float a, float d0, int s, float h, float perp2) {
    const float d = d0 + static_cast<float>(s) * h;
    const float r = std::sqrt(d * d + perp2);
    return pre * exp_lanes(kappa * (a - r)) / r;
}

// The potential of one sphere along a line of n points into buf
// (independent points: the loop vectorises).
inline void dh_line(float* __restrict buf, int n, float pre, float kappa, float a, float d0, float h, float perp2) {
    for (int s = 0; s < n; ++s) buf[s] = dh_point(pre, kappa, a, d0, s, h, perp2);
}

inline void add_to(float* __restrict row, const float* __restrict buf, int n) {
    for (int i = 0; i < n; ++i) row[i] += buf[i];
}

}  // namespace

namespace {

// The terms of every sphere, in order, at the interior neighbours of the
// boundary points in plane k (see bcfl_spheres); bx holds nx points, by0 and
// by1 ny. Compiled also for wider vector lanes: the same operations, each
// rounded as before, on more points at once.
KOVA_WIDE_LANES void dh_plane(int k, const DhSphere* sph, const float* pre, int ns, float kappa, int nx, int ny,
                              int nz, float h, float xo, float yo, float zo, float* rhs, float* bx, float* by0,
                              float* by1) {
    const long nxy = static_cast<long>(nx) * ny;
    const bool kface = k == 1 || k == nz;
    for (int a = 0; a < ns; ++a) {
        const DhSphere sp = sph[a];
        const float p = pre[a];
        const float dzk = zo + k * h - sp.z;
        // Faces i = 0 and i = nx + 1: lines along y.
        const float dx0 = xo + 0 * h - sp.x, dx1 = xo + (nx + 1) * h - sp.x;
        dh_line(by0, ny, p, kappa, sp.a, yo + h - sp.y, h, dx0 * dx0 + dzk * dzk);
        dh_line(by1, ny, p, kappa, sp.a, yo + h - sp.y, h, dx1 * dx1 + dzk * dzk);
        for (int j = 1; j <= ny; ++j) {
            float* row = rhs + 1 + static_cast<long>(nx) * (j - 1) + nxy * (k - 1);
            if (kface) {
                const float dy = yo + j * h - sp.y;
                for (int face = 0; face < 2; ++face) {
                    if (face == 0 ? k != 1 : k != nz) continue;
                    const int kb = face == 0 ? 0 : nz + 1;
                    const float dz = zo + kb * h - sp.z;
                    dh_line(bx, nx, p, kappa, sp.a, xo + h - sp.x, h, dy * dy + dz * dz);
                    add_to(row, bx, nx);
                }
            }
            row[0] += by0[j - 1];
            row[nx - 1] += by1[j - 1];
            if (j == 1 || j == ny)
                for (int face = 0; face < 2; ++face) {
                    if (face == 0 ? j != 1 : j != ny) continue;
                    const int jb = face == 0 ? 0 : ny + 1;
                    const float dy = yo + jb * h - sp.y;
                    dh_line(bx, nx, p, kappa, sp.a, xo + h - sp.x, h, dy * dy + dzk * dzk);
                    add_to(row, bx, nx);
                }
        }
    }
}

}  // namespace

void bcfl_spheres(const std::vector<DhSphere>& sph, float kappa, int nx, int ny, int nz, float h, float xo, float yo,
                  float zo, float* rhs, int threads) {
    const float fourpi = 12.566371f;
    const int ns = static_cast<int>(sph.size());
    std::vector<float> pre(ns);
    for (int a = 0; a < ns; ++a) pre[a] = sph[a].q / (fourpi * (1.0f + kappa * sph[a].a));
    // The interior neighbours of the boundary points, plane by plane: each
    // plane is filled by one thread, sphere after sphere, and each point
    // receives the terms of a sphere in the order bcfl1 adds them (faces
    // k = 0, nz + 1, i = 0, nx + 1, j = 0, ny + 1), computed as there: the
    // sums are those of bcfl1 called sphere by sphere, to the bit, for any
    // number of threads. The two planes next to the faces k = 0 and
    // k = nz + 1 hold a whole face each and cost as much as tens of the
    // others: they are handed out first, so that no thread is left with one
    // of them at the end.
#pragma omp parallel num_threads(threads)
    {
        std::vector<float> bx(static_cast<size_t>(nx)), by0(static_cast<size_t>(ny)), by1(static_cast<size_t>(ny));
#pragma omp for schedule(dynamic, 1)
        for (int t = 0; t < nz; ++t) {
            const int k = t == 0 ? 1 : t == 1 ? nz : t;
            dh_plane(k, sph.data(), pre.data(), ns, kappa, nx, ny, nz, h, xo, yo, zo, rhs, bx.data(), by0.data(),
                     by1.data());
        }
    }
}

void chkbox(Kova& k) {
    GridStore& g = k.mess;
    const MoleculeStore& m = k.mol;
    if (g.bcfl == 4) {
        const float o[3] = {g.xo, g.yo, g.zo}, oo[3] = {g.xoold, g.yoold, g.zoold};
        const int n[3] = {g.nx, g.ny, g.nz}, no[3] = {g.nxold, g.nyold, g.nzold};
        bool inside = g.hold > 0;
        for (int a = 0; a < 3 && inside; ++a) {
            // The new point 0 beyond the old point 1, the new point n + 1 at
            // or before the old last point.
            if (!(oo[a] + g.hold < o[a])) inside = false;
            if (!(oo[a] + g.hold * no[a] >= o[a] + (n[a] + 1) * g.h)) inside = false;
        }
        if (!inside) {
            out(k, "(1x,'FATAL: chkbox(010) focussing failed. New grid exceeds ','the old grid.')");
            endrun(k, exit_fatal);
        }
        return;
    }
    for (int i = 1; i <= m.natom; ++i) {
        if (!g.isel[i]) continue;
        const float r = m.radi[i];
        bool out_x = g.xo + g.nx * g.h < m.x[i] + r || g.xo + g.h > m.x[i] - r;
        bool out_y = g.yo + g.ny * g.h < m.y[i] + r || g.yo + g.h > m.y[i] - r;
        bool out_z = g.zo + g.nz * g.h < m.z[i] + r || g.zo + g.h > m.z[i] - r;
        if (out_x || out_y || out_z) {
            fwrite(k, k.files.msgunit, "(1x,'ERROR: chkbox(000) atom ',i5,' extends beyond the grid.')", i);
            kvabort(k, error);
        }
    }
}

void bound(Kova& k) {
    GridStore& g = k.mess;
    const Environment& e = k.env;
    float* rhs = g.rhs.data();
    float* diagm = g.diagm.data();
    switch (g.bcfl) {
        case 1:
            bcfl1(g.xcen, g.ycen, g.zcen, g.qnet, g.reff, e.kappa, g.nx, g.ny, g.nz, g.h, g.xo, g.yo, g.zo, rhs);
            break;
        case 2: {
            const MoleculeStore& m = k.mol;
            std::vector<DhSphere> sph;
            for (int i = 1; i <= m.natom; ++i)
                if (g.isel[i] && m.chrg[i] != 0.0f) sph.push_back({m.x[i], m.y[i], m.z[i], m.chrg[i], m.radi[i]});
            if (fits_grid(g))
                bcfl_spheres(sph, e.kappa, g.nx, g.ny, g.nz, g.h, g.xo, g.yo, g.zo, rhs, grid_threads(g));
            break;
        }
        case 3: {
            const float d = g.efld * g.h * e.epsout;
            const float mid = static_cast<float>(g.nz + 1) / 2.0f;
            for_boundary(g, [&](int, int, int bk, int l, int, bool) { rhs[l] += (mid - static_cast<float>(bk)) * d; });
            break;
        }
        case 4: {
            // Focusing: the previous potential and permittivity, interpolated
            // at each boundary point; the previous maps are still in place.
            const float* maps[3] = {g.epsi.data(), g.epsj.data(), g.epsk.data()};
            bool permittivity = false;
            auto old_phi = [&](int bi, int bj, int bk) {
                auto p = ijkxyz(g, bi, bj, bk);
                return interp(g.phi.data(), g.nxold, g.nyold, g.nzold, g.hold, g.xoold, g.yoold, g.zoold, p[0], p[1],
                              p[2]);
            };
            for_boundary(g, [&](int bi, int bj, int bk, int l, int axis, bool upper) {
                auto p = ijkxyz(g, bi, bj, bk);
                float phit = old_phi(bi, bj, bk);
                p[axis] += upper ? -(g.h + g.hold) / 2.0f : (g.h - g.hold) / 2.0f;
                float epst = interp(maps[axis], g.nxold, g.nyold, g.nzold, g.hold, g.xoold, g.yoold, g.zoold, p[0],
                                    p[1], p[2]);
                permittivity = permittivity || epst != 0.0f;
                rhs[l] += epst * phit;
                diagm[l] += epst;
            });
            if (!permittivity) {
                // A previous potential without permittivity maps on its grid
                // (read from a file, no elec set-up on that grid since) would
                // leave the new grid uncoupled from its boundary. The boundary
                // of a focused grid lies in the solvent: its permittivity
                // stands in.
                msg(k, "WARNING: bound(010) no permittivity maps of the previous grid: solvent value used.",
                    " Run \"elec setup samegrid\" after reading a potential.");
                kvabort(k, warning);
                const float eo = e.epsout;
                for_boundary(g, [&](int bi, int bj, int bk, int l, int, bool) {
                    rhs[l] += eo * old_phi(bi, bj, bk);
                    diagm[l] += eo;
                });
            }
            return;
        }
        default: break;  // zero potential on the boundary
    }
    const float eo = e.epsout;
    for_boundary(g, [&](int, int, int, int l, int, bool) { diagm[l] += eo; });
}

}  // namespace kova
