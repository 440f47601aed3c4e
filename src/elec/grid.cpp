#include "elec/grid.hpp"

#include <limits>

namespace kova {

GridStore::GridStore() {
    for (auto* m : {&epsi, &epsj, &epsk, &diagm, &rhs, &pvec, &work, &prec, &phi, &iacs, &precinv}) m->assign(maxgrid + 1, 0.0f);
    for (auto& o : owner) o.assign(maxgrid + 1, 0);
    dotx.assign(maxdot + 1, 0.0f);
    doty.assign(maxdot + 1, 0.0f);
    dotz.assign(maxdot + 1, 0.0f);
    dotown.assign(maxdot + 1, 0);
    nbr.assign(maxatm + 1, {});
}

void GridStore::update_counts() {
    const bool ok = grid_fits(nx, ny, nz, std::numeric_limits<int>::max());
    nxy = ok ? nx * ny : 0;
    nxyz = ok ? nxy * nz : 0;
}

GridCoord xyzijk(float x, float y, float z, float h, float xo, float yo, float zo) {
    GridCoord c;
    c.gx = (x - xo) / h;
    c.gy = (y - yo) / h;
    c.gz = (z - zo) / h;
    c.i = itrunc(c.gx);
    c.j = itrunc(c.gy);
    c.k = itrunc(c.gz);
    c.fx = c.gx - static_cast<float>(c.i);
    c.fy = c.gy - static_cast<float>(c.j);
    c.fz = c.gz - static_cast<float>(c.k);
    return c;
}

std::array<float, 3> ijkxyz(const GridStore& g, int i, int j, int k) {
    return {g.xo + static_cast<float>(i) * g.h, g.yo + static_cast<float>(j) * g.h, g.zo + static_cast<float>(k) * g.h};
}

}  // namespace kova
