#include "elec/grid.hpp"

#include <cstdint>
#include <limits>

#ifdef __linux__
#include <sys/mman.h>
#endif

namespace kova {

namespace {

// Sizes a map to n zeros. On Linux its memory is first offered to the
// kernel for transparent huge pages (2 MiB): a map of a large grid then
// takes a few page faults where it would take thousands, which made most of
// the start of the program, and its sweeps miss the address cache less. The
// advice changes no value; where it is refused the map is as before.
template <class T>
void zero_map(std::vector<T>& m, size_t n) {
    m.reserve(n);
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::uintptr_t huge = std::uintptr_t{1} << 21;
    const std::uintptr_t a = reinterpret_cast<std::uintptr_t>(m.data());
    const std::uintptr_t lo = (a + huge - 1) & ~(huge - 1), hi = (a + n * sizeof(T)) & ~(huge - 1);
    if (hi > lo) madvise(reinterpret_cast<void*>(lo), hi - lo, MADV_HUGEPAGE);
#endif
    m.assign(n, T{});
}

}  // namespace

GridStore::GridStore() {
    for (auto* m : {&epsi, &epsj, &epsk, &diagm, &rhs, &pvec, &work, &prec, &phi, &iacs, &precinv})
        zero_map(*m, maxgrid + 1);
    for (auto& o : owner) zero_map(o, maxgrid + 1);
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
