// The accessible-surface calculation sasclc.
#include "molecule/sasa.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

namespace kova {

int sasclc(MoleculeStore& m, const Arr1<int, maxatm>& flags, float srad, int ncos, int nphi) {
    const int natom = std::min(m.natom, maxatm);
    std::vector<int> chosen;
    for (int a = 1; a <= natom; ++a)
        if (flags[a] != 0) {
            chosen.push_back(a);
            m.vdwsa[a] = m.accsa[a] = 0.0f;
        }
    // Unit-sphere points: cos(theta_a) = (a - 0.5)(2/ncos) - 1, phi_b = (b - 1) 2 pi / nphi.
    const double pi = 3.14159265358979323846;
    std::vector<double> ux, uy, uz;
    ux.reserve(size_t(ncos) * nphi), uy.reserve(size_t(ncos) * nphi), uz.reserve(size_t(ncos) * nphi);
    for (int a = 1; a <= ncos; ++a) {
        const double ct = (a - 0.5) * (2.0 / ncos) - 1.0, st = std::sqrt(std::max(0.0, 1.0 - ct * ct));
        for (int b = 1; b <= nphi; ++b) {
            const double ph = (b - 1) * 2.0 * pi / nphi;
            ux.push_back(st * std::cos(ph)), uy.push_back(st * std::sin(ph)), uz.push_back(ct);
        }
    }
    const double weight = (2.0 / ncos) * (2.0 * pi / nphi);
    const size_t npts = ux.size();
    // Neighbour coordinates and squared covering radii, flat.
    std::vector<double> nx, ny, nz, nr2;
    nx.reserve(max_sas_neighbours), ny.reserve(max_sas_neighbours), nz.reserve(max_sas_neighbours),
        nr2.reserve(max_sas_neighbours);
    for (int i : chosen) {
        const double xi = m.x[i], yi = m.y[i], zi = m.z[i], ri = m.radi[i];
        nx.clear(), ny.clear(), nz.clear(), nr2.clear();
        for (int j : chosen) {
            if (j == i) continue;
            const double dx = m.x[j] - xi, dy = m.y[j] - yi, dz = m.z[j] - zi;
            const double lim = ri + m.radi[j] + 2.0 * srad;
            if (dx * dx + dy * dy + dz * dz > lim * lim) continue;
            if (nx.size() == size_t(max_sas_neighbours)) return i;
            const double rc = m.radi[j] + srad;
            nx.push_back(m.x[j]), ny.push_back(m.y[j]), nz.push_back(m.z[j]), nr2.push_back(rc * rc);
        }
        const double rs = ri + srad;
        const size_t nn = nx.size();
        size_t last = 0;  // the neighbour that covered the previous point is tried first
        long count = 0;
        for (size_t p = 0; p < npts; ++p) {
            const double px = xi + rs * ux[p], py = yi + rs * uy[p], pz = zi + rs * uz[p];
            bool covered = false;
            if (last < nn) {
                const double dx = px - nx[last], dy = py - ny[last], dz = pz - nz[last];
                covered = dx * dx + dy * dy + dz * dz < nr2[last];
            }
            for (size_t j = 0; j < nn && !covered; ++j) {
                const double dx = px - nx[j], dy = py - ny[j], dz = pz - nz[j];
                if (dx * dx + dy * dy + dz * dz < nr2[j]) covered = true, last = j;
            }
            if (!covered) ++count;
        }
        m.vdwsa[i] = float(ri * ri * weight * count);
        m.accsa[i] = float(rs * rs * weight * count);
    }
    return 0;
}

}  // namespace kova
