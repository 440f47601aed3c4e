// Multipole moments of a set of point charges about a centre, and the
// screened Coulomb sum between two sets of charges.
#pragma once

#include <cstddef>
#include <vector>

namespace kova {

// Point charges: positions (A) and charges (e), flat.
struct ChargeSet {
    std::vector<double> x, y, z, q;
    void add(double px, double py, double pz, double pq) { x.push_back(px), y.push_back(py), z.push_back(pz), q.push_back(pq); }
    std::size_t size() const { return q.size(); }
};

// Associated Legendre function P_l^m(cos theta) without the sign factor,
// for l up to 3 (ct = cos theta, st = sin theta >= 0). m > l gives 0. For
// l > 3 the result is 0 and ok is set false.
double ascleg(int l, int m, double ct, double st, bool& ok);

// c(l,m) = sum q r^l P_l^m(cos theta) cos(m phi), s(l,m) the same with
// sin(m phi), for l, m = 0..3, about centre (cx, cy, cz).
struct Multipoles {
    double c[4][4] = {}, s[4][4] = {};
};
Multipoles multipoles(const ChargeSet& set, double cx, double cy, double cz);

// sum over i in a, j in b of q_i q_j exp(-r_ij/rdeh) / r_ij (e^2/A). A pair
// at zero distance makes the sum infinite; coincident is then set true
// and the pair left out.
double screened_coulomb(const ChargeSet& a, const ChargeSet& b, double rdeh, bool& coincident);

}  // namespace kova
