// Multipole moments (ascleg, multipoles) and the two-set Coulomb sum.
#include "molecule/multipole.hpp"

#include <cmath>

namespace kova {

double ascleg(int l, int m, double ct, double st, bool& ok) {
    ok = true;
    if (l > 3) {
        ok = false;
        return 0.0;
    }
    if (m > l || m < 0 || l < 0) return 0.0;
    switch (10 * l + m) {
        case 0: return 1.0;
        case 10: return ct;
        case 11: return st;
        case 20: return (3.0 * ct * ct - 1.0) / 2.0;
        case 21: return 3.0 * st * ct;
        case 22: return 3.0 * st * st;
        case 30: return (5.0 * ct * ct * ct - 3.0 * ct) / 2.0;
        case 31: return 1.5 * st * (5.0 * ct * ct - 1.0);
        case 32: return 15.0 * ct * st * st;
        case 33: return 15.0 * st * st * st;
        default: return 0.0;
    }
}

Multipoles multipoles(const ChargeSet& set, double cx, double cy, double cz) {
    Multipoles r;
    bool ok;
    for (size_t i = 0; i < set.size(); ++i) {
        const double dx = set.x[i] - cx, dy = set.y[i] - cy, dz = set.z[i] - cz;
        const double rr = std::sqrt(dx * dx + dy * dy + dz * dz);
        // An atom at the centre has theta = phi = 0; phi is 0 on the z axis.
        const double ct = rr > 0.0 ? std::fmax(-1.0, std::fmin(1.0, dz / rr)) : 1.0;
        const double st = std::sqrt(std::fmax(0.0, 1.0 - ct * ct));
        const double ph = (dx == 0.0 && dy == 0.0) ? 0.0 : std::atan2(dy, dx);
        double rl = 1.0;
        for (int l = 0; l <= 3; ++l, rl *= rr)
            for (int m = 0; m <= l; ++m) {
                const double p = set.q[i] * rl * ascleg(l, m, ct, st, ok);
                r.c[l][m] += p * std::cos(m * ph);
                r.s[l][m] += p * std::sin(m * ph);
            }
    }
    return r;
}

double screened_coulomb(const ChargeSet& a, const ChargeSet& b, double rdeh, bool& coincident) {
    coincident = false;
    double e = 0.0;
    for (size_t i = 0; i < a.size(); ++i) {
        if (a.q[i] == 0.0) continue;
        double ei = 0.0;
        for (size_t j = 0; j < b.size(); ++j) {
            const double dx = a.x[i] - b.x[j], dy = a.y[i] - b.y[j], dz = a.z[i] - b.z[j];
            const double r = std::sqrt(dx * dx + dy * dy + dz * dz);
            if (!(r > 0.0)) {
                coincident = coincident || b.q[j] != 0.0;
                continue;
            }
            ei += b.q[j] * std::exp(-r / rdeh) / r;  // q_j exp(-r/rdeh)/r
        }
        e += a.q[i] * ei;
    }
    return e;
}

}  // namespace kova
