// The finite-difference operator applied in double precision, point by point
// from the maps of a grid: an oracle for the solvers' own sweeps.
#pragma once

#include <vector>

#include "elec/grid.hpp"

namespace kova::test {

// A x in double, point by point from the neighbours of each grid point.
inline std::vector<double> stencil_times(const GridStore& g, const std::vector<float>& x) {
    std::vector<double> y(g.nxyz + 1, 0.0);
    for (int k = 1; k <= g.nz; ++k)
        for (int j = 1; j <= g.ny; ++j)
            for (int i = 1; i <= g.nx; ++i) {
                const int l = g.index(i, j, k);
                double v = double(g.diagm[l]) * x[l];
                if (i < g.nx) v -= double(g.epsi[l]) * x[g.index(i + 1, j, k)];
                if (j < g.ny) v -= double(g.epsj[l]) * x[g.index(i, j + 1, k)];
                if (k < g.nz) v -= double(g.epsk[l]) * x[g.index(i, j, k + 1)];
                if (i > 1) v -= double(g.epsi[g.index(i - 1, j, k)]) * x[g.index(i - 1, j, k)];
                if (j > 1) v -= double(g.epsj[g.index(i, j - 1, k)]) * x[g.index(i, j - 1, k)];
                if (k > 1) v -= double(g.epsk[g.index(i, j, k - 1)]) * x[g.index(i, j, k - 1)];
                y[l] = v;
            }
    return y;
}

}  // namespace kova::test
