// Three-component double vectors of the mechanics terms, and the torsion
// angle with its gradient that the dihedral and improper terms share.
#pragma once

#include <cmath>

namespace kova {

inline void vmult(double s, const double* a, double* r) { r[0] = s * a[0], r[1] = s * a[1], r[2] = s * a[2]; }
inline void vadd(const double* a, const double* b, double* r) { r[0] = a[0] + b[0], r[1] = a[1] + b[1], r[2] = a[2] + b[2]; }
inline void diff(const double* a, const double* b, double* r) { r[0] = a[0] - b[0], r[1] = a[1] - b[1], r[2] = a[2] - b[2]; }
inline void cross(const double* a, const double* b, double* r) {
    r[0] = a[1] * b[2] - a[2] * b[1];
    r[1] = a[2] * b[0] - a[0] * b[2];
    r[2] = a[0] * b[1] - a[1] * b[0];
}
inline double dot(const double* a, const double* b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
inline double mag(const double* a) { return std::sqrt(dot(a, a)); }

// Cosine clamped to [-1, 1] of the angle between m and n; 1 (angle 0) when
// one of them has no length, so that a degenerate geometry gives a finite
// angle instead of a NaN.
inline double clamped_cos(const double* m, const double* n) {
    const double mn = mag(m) * mag(n);
    if (!(mn > 0.0)) return 1.0;
    const double c = dot(m, n) / mn;
    return c > 1.0 ? 1.0 : (c < -1.0 ? -1.0 : c);
}

// Proper dihedral angle of atoms i-j-k-l (rad, in [-pi, pi]): b1 = rj - ri,
// b2 = rj - rk, b3 = rl - rk, m = b1 x b2, n = b2 x b3; the angle between m
// and n, negative when b2.(m x n) is positive.
inline double dihang(const double* ri, const double* rj, const double* rk, const double* rl) {
    double b1[3], b2[3], b3[3], m[3], n[3], mn[3];
    diff(rj, ri, b1), diff(rj, rk, b2), diff(rl, rk, b3);
    cross(b1, b2, m), cross(b2, b3, n), cross(m, n, mn);
    const double phi = std::acos(clamped_cos(m, n));
    return dot(b2, mn) > 0.0 ? -phi : phi;
}

// Improper dihedral angle of atoms i, j, k, l (rad): u = ri - rj,
// v = rk - rj, w = rk - rl, m = u x v, n = v x w; the angle between m and
// n, negative when (m x n).v is negative.
inline double impang(const double* ri, const double* rj, const double* rk, const double* rl) {
    double u[3], v[3], w[3], m[3], n[3], mn[3];
    diff(ri, rj, u), diff(rk, rj, v), diff(rk, rl, w);
    cross(u, v, m), cross(v, w, n), cross(m, n, mn);
    const double psi = std::acos(clamped_cos(m, n));
    return dot(mn, v) < 0.0 ? -psi : psi;
}

// Gradient of the torsion angle about the j-k axis with respect to the four
// positions (g[0..3], each x, y, z). Both angles above are this torsion:
// with F = ri - rj, G = rj - rk, H = rl - rk, A = F x G, B = H x G,
//   dphi/dri = -|G|/A^2 A,   dphi/drl = |G|/B^2 B,
//   dphi/drj = -dphi/dri + (F.G)/(A^2 |G|) A - (H.G)/(B^2 |G|) B,
//   dphi/drk = -dphi/drl - (F.G)/(A^2 |G|) A + (H.G)/(B^2 |G|) B,
// a form without sin or cos of the angle, sound at 0 and pi. False (and a
// zero gradient) when three of the atoms are collinear.
inline bool torsion_grad(const double* ri, const double* rj, const double* rk, const double* rl, double (*g)[3]) {
    double F[3], G[3], H[3], A[3], B[3];
    diff(ri, rj, F), diff(rj, rk, G), diff(rl, rk, H);
    cross(F, G, A), cross(H, G, B);
    const double a2 = dot(A, A), b2 = dot(B, B), gl = mag(G);
    if (!(a2 > 1.0e-24) || !(b2 > 1.0e-24) || !(gl > 1.0e-12)) {
        for (int a = 0; a < 4; ++a) g[a][0] = g[a][1] = g[a][2] = 0.0;
        return false;
    }
    const double fa = -gl / a2, fb = gl / b2;
    const double pa = dot(F, G) / (a2 * gl), pb = dot(H, G) / (b2 * gl);
    for (int x = 0; x < 3; ++x) {
        g[0][x] = fa * A[x];
        g[3][x] = fb * B[x];
        g[1][x] = -g[0][x] + pa * A[x] - pb * B[x];
        g[2][x] = -g[3][x] - pa * A[x] + pb * B[x];
    }
    return true;
}

// The deviation of an angle from its target taken within half a turn.
inline double wrapdev(double a, double a0) {
    constexpr double twopi = 6.283185307179586;
    const double d = a - a0;
    return d - twopi * std::round(d / twopi);
}

// Forces of one interaction by central differences of its energy: each
// coordinate of each of its n atoms moved by +h and -h in turn, the force
// (E(-) - E(+)) / 2h, the coordinate restored.
template <int N, class E>
inline void fdiff(double h, double (&c)[N][3], double (&f)[N][3], E energy) {
    for (int a = 0; a < N; ++a)
        for (int x = 0; x < 3; ++x) {
            const double keep = c[a][x];
            c[a][x] = keep + h;
            const double ep = energy(c);
            c[a][x] = keep - h;
            const double em = energy(c);
            c[a][x] = keep;
            f[a][x] = (em - ep) / (2.0 * h);
        }
}

}  // namespace kova
