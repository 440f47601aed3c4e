// Boundary conditions of the finite-difference system and focusing from a
// previous grid.
#include <cmath>

#include "command/output.hpp"
#include "elec/elec.hpp"

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

void bcfl1(float xc, float yc, float zc, float q, float a, float kappa, int nx, int ny, int nz, float h, float xo,
           float yo, float zo, float* rhs) {
    const float fourpi = 12.566371f;
    const float pre = q / (fourpi * (1.0f + kappa * a));
    const long nxy = static_cast<long>(nx) * ny;
    auto idx = [&](int i, int j, int k) { return i + nx * (j - 1) + nxy * (k - 1); };
    // Along each boundary line the squared distance grows by 2 h d + h^2 per
    // step (d the offset on the running axis): one square root and one
    // exponential per point.
    auto line = [&](float d0, float perp2, int n, auto&& index) {
        float d = d0;
        float r2 = d * d + perp2;
        for (int s = 1; s <= n; ++s) {
            float r = std::sqrt(r2);
            rhs[index(s)] += pre * std::exp(kappa * (a - r)) / r;
            r2 += 2.0f * h * d + h * h;
            d += h;
        }
    };
    // Faces k = 0 and k = nz + 1: lines along x.
    for (int face = 0; face < 2; ++face) {
        int kb = face == 0 ? 0 : nz + 1, ki = face == 0 ? 1 : nz;
        float dz = zo + kb * h - zc;
        for (int j = 1; j <= ny; ++j) {
            float dy = yo + j * h - yc;
            line(xo + h - xc, dy * dy + dz * dz, nx, [&](int i) { return idx(i, j, ki); });
        }
    }
    // Faces i = 0 and i = nx + 1: lines along y.
    for (int face = 0; face < 2; ++face) {
        int ib = face == 0 ? 0 : nx + 1, ii = face == 0 ? 1 : nx;
        float dx = xo + ib * h - xc;
        for (int k = 1; k <= nz; ++k) {
            float dz = zo + k * h - zc;
            line(yo + h - yc, dx * dx + dz * dz, ny, [&](int j) { return idx(ii, j, k); });
        }
    }
    // Faces j = 0 and j = ny + 1: lines along x.
    for (int face = 0; face < 2; ++face) {
        int jb = face == 0 ? 0 : ny + 1, ji = face == 0 ? 1 : ny;
        float dy = yo + jb * h - yc;
        for (int k = 1; k <= nz; ++k) {
            float dz = zo + k * h - zc;
            line(xo + h - xc, dy * dy + dz * dz, nx, [&](int i) { return idx(i, ji, k); });
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
            endrun(k, 0);
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
            for (int i = 1; i <= m.natom; ++i)
                if (g.isel[i] && m.chrg[i] != 0.0f)
                    bcfl1(m.x[i], m.y[i], m.z[i], m.chrg[i], m.radi[i], e.kappa, g.nx, g.ny, g.nz, g.h, g.xo, g.yo,
                          g.zo, rhs);
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
            for_boundary(g, [&](int bi, int bj, int bk, int l, int axis, bool upper) {
                auto p = ijkxyz(g, bi, bj, bk);
                float phit = interp(g.phi.data(), g.nxold, g.nyold, g.nzold, g.hold, g.xoold, g.yoold, g.zoold, p[0],
                                    p[1], p[2]);
                p[axis] += upper ? -(g.h + g.hold) / 2.0f : (g.h - g.hold) / 2.0f;
                float epst = interp(maps[axis], g.nxold, g.nyold, g.nzold, g.hold, g.xoold, g.yoold, g.zoold, p[0],
                                    p[1], p[2]);
                rhs[l] += epst * phit;
                diagm[l] += epst;
            });
            return;
        }
        default: break;  // zero potential on the boundary
    }
    const float eo = e.epsout;
    for_boundary(g, [&](int, int, int, int l, int, bool) { diagm[l] += eo; });
}

}  // namespace kova
