// Rotation matrices for the coordinate transformations: 3 x 3 matrices of
// doubles stored by columns (element row r, column c at m[r + 3c]), applied
// to three-component vectors. The vector helpers (vmult, vadd, diff, cross,
// dot, mag) are those of the mechanics terms.
#pragma once

#include <cmath>

#include "mech/vec3.hpp"

namespace kova {

using Mat3 = double[9];

inline double& at(Mat3& m, int r, int c) { return m[r + 3 * c]; }
inline double at(const Mat3& m, int r, int c) { return m[r + 3 * c]; }

// r = a b (r may not alias a or b).
inline void mprod(const Mat3& a, const Mat3& b, Mat3& r) {
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            double s = 0;
            for (int l = 0; l < 3; ++l) s += at(a, i, l) * at(b, l, j);
            at(r, i, j) = s;
        }
}

// v = m v, in place.
inline void matrix_mult(const Mat3& m, double* v) {
    const double t[3] = {v[0], v[1], v[2]};
    for (int i = 0; i < 3; ++i) v[i] = at(m, i, 0) * t[0] + at(m, i, 1) * t[1] + at(m, i, 2) * t[2];
}

// Counter-clockwise rotation by angle a (rad) about z.
inline void make_matrix2(double a, Mat3& m) {
    const double c = std::cos(a), s = std::sin(a);
    const Mat3 r = {c, s, 0, -s, c, 0, 0, 0, 1};
    for (int i = 0; i < 9; ++i) m[i] = r[i];
}
// ... about y.
inline void make_matrix3(double a, Mat3& m) {
    const double c = std::cos(a), s = std::sin(a);
    const Mat3 r = {c, 0, -s, 0, 1, 0, s, 0, c};
    for (int i = 0; i < 9; ++i) m[i] = r[i];
}
// ... about x.
inline void make_matrix4(double a, Mat3& m) {
    const double c = std::cos(a), s = std::sin(a);
    const Mat3 r = {1, 0, 0, 0, c, s, 0, -s, c};
    for (int i = 0; i < 9; ++i) m[i] = r[i];
}

// Rotation by polar angles theta, phi: rot = Ry(-theta) Rz(phi) and its
// inverse inv = Rz(-phi) Ry(theta).
inline void make_matrix1(double theta, double phi, Mat3& rot, Mat3& inv) {
    Mat3 a, b;
    make_matrix3(-theta, a);
    make_matrix2(phi, b);
    mprod(a, b, rot);
    make_matrix2(-phi, a);
    make_matrix3(theta, b);
    mprod(a, b, inv);
}

// Right-handed rotation by angle a (rad) about the unit axis u (Rodrigues):
// R = cos a I + sin a [u]x + (1 - cos a) u u^T.
inline void make_matrix5(double a, const double* u, Mat3& m) {
    const double c = std::cos(a), s = std::sin(a), t = 1.0 - c;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) at(m, i, j) = t * u[i] * u[j] + (i == j ? c : 0.0);
    at(m, 1, 0) += s * u[2], at(m, 0, 1) -= s * u[2];
    at(m, 0, 2) += s * u[1], at(m, 2, 0) -= s * u[1];
    at(m, 2, 1) += s * u[0], at(m, 1, 2) -= s * u[0];
}

inline double det3(const Mat3& m) {
    return at(m, 0, 0) * (at(m, 1, 1) * at(m, 2, 2) - at(m, 1, 2) * at(m, 2, 1)) -
           at(m, 0, 1) * (at(m, 1, 0) * at(m, 2, 2) - at(m, 1, 2) * at(m, 2, 0)) +
           at(m, 0, 2) * (at(m, 1, 0) * at(m, 2, 1) - at(m, 1, 1) * at(m, 2, 0));
}

}  // namespace kova
