// Distance constraints between subunits of Brownian dynamics.
#include "bd/constraints.hpp"

#include <algorithm>
#include <cmath>

namespace kova {

ConstraintSet cconst(const MoleculeStore& m, bool focor, bool loccor) {
    const UnitStore& u = m.units;
    ConstraintSet c;
    c.toler = u.toler;
    for (int k = 1; k <= std::min(u.ncnstr, maxcon); ++k) {
        const int gp = u.cnsub1[k], gq = u.cnsub2[k];
        const int mode = loccor ? 2 : focor ? 1 : u.cncor[m.sbunit[gp]];
        if (mode == 0) continue;
        const int i = c.n++;
        c.p[i] = gp - 1, c.q[i] = gq - 1, c.d0[i] = u.cndist[k], c.mode[i] = mode;
        const bool pfix = m.sbtype[gp] < 32 || m.sbfix[gp] == 1, qfix = m.sbtype[gq] < 32 || m.sbfix[gq] == 1;
        if (pfix) {
            c.sh1[i] = 0, c.sh2[i] = 1;
        } else if (qfix) {
            c.sh1[i] = -1, c.sh2[i] = 0;
        } else {
            const double ap = m.sbrad[gp], aq = m.sbrad[gq], d0 = u.cndist[k];
            const double dr = d0 / (ap + aq), drr = d0 * d0 / (ap * ap + aq * aq), j = aq / ap;
            c.sh1[i] = float(-(1.5 * j / (3 * drr) + (j + 1) * dr * j - 1.5 * j) / (3 * j / (3 * drr) + (j + 1) * (j + 1) * dr - 3 * j));
            c.sh2[i] = float((1.5 * j / (3 * drr) + (j + 1) * dr - 1.5 * j) / ((j + 1) * (j + 1) * dr - 3 * j + 3 * j / (3 * drr)));
        }
    }
    return c;
}

ConstraintResult cnstrn(const ConstraintSet& c, std::span<const float> cur, std::span<float> trial, int max_sweeps) {
    ConstraintResult r;
    for (int sweep = 0; sweep < max_sweeps; ++sweep) {
        bool all = true;
        for (int k = 0; k < c.n; ++k) {
            const int p = c.p[k], q = c.q[k];
            float d[3];
            for (int x = 0; x < 3; ++x) d[x] = trial[3 * q + x] - trial[3 * p + x];
            const float len = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
            const float tol = std::max(c.toler, 1e-5f * c.d0[k]);
            if (std::fabs(len - c.d0[k]) <= tol) continue;
            all = false;
            ++r.corrections;
            if (c.mode[k] == 2) {
                if (!(len > 0)) continue;  // no line of centres to move along
                const float f = c.d0[k] / len - 1;
                for (int x = 0; x < 3; ++x) {
                    trial[3 * p + x] += f * c.sh1[k] * d[x];
                    trial[3 * q + x] += f * c.sh2[k] * d[x];
                }
            } else {
                const float f = 1 - len * len / (c.d0[k] * c.d0[k]);
                for (int x = 0; x < 3; ++x) {
                    const float e = cur[3 * q + x] - cur[3 * p + x];
                    trial[3 * p + x] += f * c.sh1[k] / 2 * e;
                    trial[3 * q + x] += f * c.sh2[k] / 2 * e;
                }
            }
        }
        if (all) return r;
    }
    r.converged = false;
    return r;
}

}  // namespace kova
