// Mapping of the molecule onto the finite-difference grid: the staggered
// permittivity maps (atom spheres, optionally smoothed, with the probe
// correction that turns the probe-accessible body into the solvent-excluded
// one), the ion-exclusion map, the matrix diagonal and the charge density.
//
// Every sphere is enumerated over the grid lines it cuts only: for a line
// along the mapping axis at (b, c) on the two other axes the chord
// half-length is R3 = sqrt(R^2 - (gb - b)^2 - (gc - c)^2) and only the
// staggered points within [g - R3, g + R3] are visited.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>

#include "command/output.hpp"
#include "elec/elec.hpp"
#include "elec/multigrid.hpp"
#include "fortio/format.hpp"

namespace kova {

namespace {

bool fits(const GridStore& g);


// Square root of the absolute value.
inline float xsqrt(float v) { return std::sqrt(std::fabs(v)); }

// One axis of the grid as seen by a line enumeration: the coordinate of the
// sphere centre in grid units, the number of points and the stride of the
// flat index.
struct Axis {
    float g;
    int n;
    int stride;
};

// The staggered map of one axis with its scratch maps, and the two
// permittivities in their roles: `fill` is what the sphere's interior gets,
// `untouched` what a point not yet reached by any sphere of this pass holds.
// For atom spheres fill = epsint and untouched = epsout; for probe spheres
// the roles are exchanged.
struct StaggeredMap {
    float* eps;
    float* lof;  // lower cover fraction (iacs)
    float* upf;  // upper cover fraction (work)
    std::int32_t* lown;
    std::int32_t* uown;
    float fill;
    float untouched;
    bool olds;  // a second crossing turns a boundary point into fill at once

    // Harmonic cover rule: a fraction f of the segment lies inside the
    // sphere: 1/eps = f/fill + (1 - f)/untouched.
    float cover(float f) const { return fill * untouched / ((1.0f - f) * fill + f * untouched); }

    // A sphere surface crosses the segment of staggered point l, a fraction
    // f of it lying inside; `mine` is the fraction (and owner) of the side it
    // enters from, `other` that of the opposite side.
    void cross(int l, float f, int own, float* mine, float* other, std::int32_t* myown, std::int32_t* otherown) const {
        const float e = eps[l];
        if (e == untouched) {
            mine[l] = f;
            other[l] = 0.0f;
            myown[l] = own;
            eps[l] = cover(f);
        } else if (e != fill) {
            if (olds) {
                eps[l] = fill;
            } else if (mine[l] < f) {
                mine[l] = f;
                const float ftot = mine[l] + other[l];
                if (ftot < 1.0f) {
                    eps[l] = cover(ftot);
                    myown[l] = own;
                } else {
                    eps[l] = fill;
                    myown[l] = 0;
                    otherown[l] = 0;
                }
            }
        }
    }
    void lower(int l, float f, int own) const { cross(l, f, own, lof, upf, lown, uown); }
    void upper(int l, float f, int own) const { cross(l, f, own, upf, lof, uown, lown); }
};

// Maps one sphere of radius r (grid units) onto the staggered map of axis a,
// enumerating lines over the outer axis b (planes bfirst..blast of it only)
// and the inner axis c. With
// `smooth` the segments cut by the surface get the cover rule and only
// segments wholly inside become fill (fuzoff 1); without it every staggered
// point inside the sphere becomes fill (fuzoff 0.5).
void map_sphere(const StaggeredMap& m, int own, float r, bool smooth, Axis a, Axis b, Axis c, int bfirst,
                int blast) {
    const float fuzoff = smooth ? 1.0f : 0.5f;
    const int blo = std::max({itrunc(b.g - r + 1.0f), 1, bfirst}), bhi = std::min({itrunc(b.g + r), b.n, blast});
    for (int ib = blo; ib <= bhi; ++ib) {
        const float db = b.g - static_cast<float>(ib);
        const float r2 = xsqrt(r * r - db * db);
        const int clo = std::max(itrunc(c.g - r2 + 1.0f), 1), chi = std::min(itrunc(c.g + r2), c.n);
        for (int ic = clo; ic <= chi; ++ic) {
            const float dc = c.g - static_cast<float>(ic);
            const float r3 = xsqrt(r2 * r2 - dc * dc);
            if (r3 <= 0.0f) continue;
            // Flat index of staggered point ia on this line: base + ia stride.
            const int base = 1 + (ib - 1) * b.stride + (ic - 1) * c.stride - a.stride;
            const float xl = a.g - r3, xh = a.g + r3;
            const int il = itrunc(xl), ih = itrunc(xh);
            if (smooth && il == ih) {
                // The whole chord lies inside one segment: the part inside
                // is the chord itself (taking the two end crossings one
                // after the other would count the segment as filled).
                if (il >= 1 && il < a.n) m.lower(base + il * a.stride, xh - xl, own);
                continue;
            }
            if (smooth && il >= 1 && il < a.n) m.lower(base + il * a.stride, 1.0f - (xl - static_cast<float>(il)), own);
            const int ilo = std::max(itrunc(xl + fuzoff), 1), ihi = std::min(itrunc(r3 + a.g - fuzoff), a.n - 1);
            for (int ia = ilo; ia <= ihi; ++ia) {
                const int l = base + ia * a.stride;
                m.eps[l] = m.fill;
                m.lown[l] = 0;
                m.uown[l] = 0;
            }
            if (smooth && ih >= 1 && ih < a.n) m.upper(base + ih * a.stride, xh - static_cast<float>(ih), own);
        }
    }
}

enum Dir { dir_x = 0, dir_y = 1, dir_z = 2 };

StaggeredMap staggered(Kova& k, Dir d, float fill, float untouched, bool olds) {
    GridStore& g = k.mess;
    float* eps = d == dir_x ? g.epsi.data() : d == dir_y ? g.epsj.data() : g.epsk.data();
    return {eps, g.iacs.data(), g.work.data(), g.owner[2 * d].data(), g.owner[2 * d + 1].data(), fill, untouched, olds};
}

// A sphere placed on the grid: its centre in grid units, its radius in
// spacings, its owner, and the planes of the outer axis of its line
// enumeration that it can reach.
struct PlacedSphere {
    float gx, gy, gz, rg;
    int own;
    int blo, bhi;
};

// The outer axis of the line enumeration along axis d (z for the x and y
// maps, y for the z map).
int outer_planes(const GridStore& g, Dir d) { return d == dir_z ? g.ny : g.nz; }

PlacedSphere place(const GridStore& g, Dir d, int own, float x, float y, float z, float r) {
    const GridCoord c = xyzijk(x, y, z, g.h, g.xo, g.yo, g.zo);
    const float rg = r / g.h;
    const float gb = d == dir_z ? c.gy : c.gz;
    const int blo = std::max(itrunc(gb - rg + 1.0f), 1), bhi = std::min(itrunc(gb + rg), outer_planes(g, d));
    return {c.gx, c.gy, c.gz, rg, own, blo, bhi};
}

// Maps a placed sphere along axis d, on planes bfirst..blast of the outer
// axis.
void map_placed(const GridStore& g, Dir d, const StaggeredMap& m, const PlacedSphere& p, bool smooth, int bfirst,
                int blast) {
    const Axis ax{p.gx, g.nx, 1}, ay{p.gy, g.ny, g.nx}, az{p.gz, g.nz, g.nxy};
    switch (d) {
    case dir_x: map_sphere(m, p.own, p.rg, smooth, ax, az, ay, bfirst, blast); break;
    case dir_y: map_sphere(m, p.own, p.rg, smooth, ay, az, ax, bfirst, blast); break;
    case dir_z: map_sphere(m, p.own, p.rg, smooth, az, ay, ax, bfirst, blast); break;
    }
}

// Maps a sphere at (x, y, z) of radius r (Angstrom) along axis d.
void map_along(Kova& k, Dir d, const StaggeredMap& m, int own, float x, float y, float z, float r, bool smooth) {
    const GridStore& g = k.mess;
    if (!fits(g)) return;
    map_placed(g, d, m, place(g, d, own, x, y, z, r), smooth, 1, outer_planes(g, d));
}

// Planes of the outer axis per piece of work when a pass is spread over the
// threads.
constexpr int kMapPlanes = 4;

// Maps the spheres of one pass in their order along axis d. Every staggered
// point lies on one plane of the outer axis and is changed by the spheres
// reaching that plane only, in their order: the planes are shared out in
// groups among the threads, each thread taking every sphere in turn on its
// own planes, so that each point goes through the same changes as in one
// pass over the spheres, to the bit, whatever the number of threads.
void map_pass(const GridStore& g, Dir d, const StaggeredMap& m, const std::vector<PlacedSphere>& sph, bool smooth) {
    if (!fits(g)) return;
    const int nb = outer_planes(g, d), groups = (nb + kMapPlanes - 1) / kMapPlanes;
    const int ns = static_cast<int>(sph.size());
    const PlacedSphere* ps = sph.data();
#pragma omp parallel for num_threads(grid_threads(g)) schedule(dynamic, 1) if (g.nxyz >= kThreadedPoints)
    for (int q = 0; q < groups; ++q) {
        const int b0 = 1 + q * kMapPlanes, b1 = std::min(nb, b0 + kMapPlanes - 1);
        for (int s = 0; s < ns; ++s)
            if (ps[s].blo <= b1 && ps[s].bhi >= b0) map_placed(g, d, m, ps[s], smooth, b0, b1);
    }
}

void map_atom(Kova& k, int atom, Dir d) {
    const GridStore& g = k.mess;
    const MoleculeStore& mol = k.mol;
    const float r = mol.radi[atom] + (g.newmap ? g.rsolv : 0.0f);
    const StaggeredMap m = staggered(k, d, k.env.epsint, k.env.epsout, g.olds);
    map_along(k, d, m, atom, mol.x[atom], mol.y[atom], mol.z[atom], r, g.smvdw);
}

void map_probe(Kova& k, int dot, Dir d) {
    const GridStore& g = k.mess;
    const StaggeredMap m = staggered(k, d, k.env.epsout, k.env.epsint, false);
    map_along(k, d, m, dot, g.dotx[dot], g.doty[dot], g.dotz[dot], g.rsolv, g.smprb);
}

// Whether the dimensions describe a grid the maps can hold; the mapping
// routines leave the maps alone otherwise.
bool fits(const GridStore& g) { return fits_grid(g); }

// Points of the current grid, kept within the store whatever the
// dimensions hold.
int npoints(const GridStore& g) { return fits(g) ? g.nxyz : 0; }

template <class T>
void clear_map(const GridStore& g, std::vector<T>& m, int n) {
    fill_points(grid_threads(g), m.data(), 1, n, T{});
}

// Clears the six owner maps.
void clear_owners(GridStore& g) {
    for (auto& o : g.owner) clear_map(g, o, npoints(g));
}

// Resets the two cover-fraction scratch maps before an axis is mapped.
void clear_fractions(GridStore& g) {
    clear_map(g, g.iacs, npoints(g));
    clear_map(g, g.work, npoints(g));
}

void list_line(Kova& k, std::string_view text) {
    k.units.write(k.files.outunit, fortio::list_write({text}));
}

void blank_line(Kova& k) { k.units.write(k.files.outunit, fortio::list_write({})); }

void warn_molecule(Kova& k, int m) {
    fwrite(k, k.files.msgunit, "(1x,'WARNING: elec(000) improper molecule number: ',i10)", m);
    kvabort(k, warning);
}

void select_molecule(Kova& k, int m, int flag) {
    for (int a = k.mol.fstatm[m]; a <= k.mol.lstatm[m]; ++a)
        if (a >= 1 && a <= maxatm) k.mess.isel[a] = flag;
}

}  // namespace

bool params_set(Kova& k, const Arr1<int, maxatm>& sel, bool radii_all, std::string_view who) {
    const MoleculeStore& mol = k.mol;
    const int natom = std::min(mol.natom, maxatm);
    // The marker of a slot never assigned, or anything that is not a number.
    auto bad = [](float v) { return v == unset || !std::isfinite(v); };
    int count = 0;
    std::string first;
    for (int a = 1; a <= natom; ++a) {
        const bool used = sel[a] != 0;
        if (!(used && (bad(mol.chrg[a]) || bad(mol.radi[a]))) && !(radii_all && bad(mol.radi[a]))) continue;
        if (++count <= 3)
            first += (count > 1 ? "; " : "") + std::to_string(a) + " " + std::string(mol.atnam[a].view()) + " " +
                     std::string(mol.resnam[a].view()) + " " + std::to_string(mol.resnum[a]);
    }
    if (count == 0) return true;
    msg(k, "SERIOUS: " + std::string(who) + " " + std::to_string(count) +
               (count == 1 ? " atom has" : " atoms have") + " no charge or radius (set not run, or no entry): ",
        first, count > 3 ? "; ..." : "");
    kvabort(k, serious);
    return false;
}

void excri(Kova& k, int atom) { map_atom(k, atom, dir_x); }
void excrj(Kova& k, int atom) { map_atom(k, atom, dir_y); }
void excrk(Kova& k, int atom) { map_atom(k, atom, dir_z); }

void excr(Kova& k) {
    GridStore& g = k.mess;
    const MoleculeStore& mol = k.mol;
    const int natom = std::min(mol.natom, maxatm);
    clear_owners(g);
    if (!fits(g)) return;
    std::vector<PlacedSphere> sph;
    for (Dir d : {dir_x, dir_y, dir_z}) {
        clear_fractions(g);
        sph.clear();
        for (int a = 1; a <= natom; ++a)
            if (g.isel[a] == 1)
                sph.push_back(place(g, d, a, mol.x[a], mol.y[a], mol.z[a], mol.radi[a] + (g.newmap ? g.rsolv : 0.0f)));
        map_pass(g, d, staggered(k, d, k.env.epsint, k.env.epsout, g.olds), sph, g.smvdw);
    }
}

void exsrfi(Kova& k, int dot) { map_probe(k, dot, dir_x); }
void exsrfj(Kova& k, int dot) { map_probe(k, dot, dir_y); }
void exsrfk(Kova& k, int dot) { map_probe(k, dot, dir_z); }

void exsrf(Kova& k) {
    GridStore& g = k.mess;
    clear_owners(g);
    if (!fits(g)) return;
    std::vector<PlacedSphere> sph;
    for (Dir d : {dir_x, dir_y, dir_z}) {
        clear_fractions(g);
        sph.clear();
        for (int t = 1; t <= g.ndot; ++t) sph.push_back(place(g, d, t, g.dotx[t], g.doty[t], g.dotz[t], g.rsolv));
        map_pass(g, d, staggered(k, d, k.env.epsout, k.env.epsint, false), sph, g.smprb);
    }
}

namespace {

// Marks the points of one ion-exclusion sphere (centre in grid units, radius
// in spacings) on planes kfirst..klast.
void exclude_ions(GridStore& g, const GridCoord& c, float r, int kfirst, int klast) {
    float* iacs = g.iacs.data();
    const int klo = std::max({itrunc(c.gz - r + 1.0f), 1, kfirst}), khi = std::min({itrunc(c.gz + r), g.nz, klast});
    for (int kk = klo; kk <= khi; ++kk) {
        const float dz = c.gz - static_cast<float>(kk);
        const float r2 = xsqrt(r * r - dz * dz);
        const int jlo = std::max(itrunc(c.gy - r2 + 1.0f), 1), jhi = std::min(itrunc(c.gy + r2), g.ny);
        for (int j = jlo; j <= jhi; ++j) {
            const float dy = c.gy - static_cast<float>(j);
            const float r3 = xsqrt(r2 * r2 - dy * dy);
            if (r3 <= 0.0f) continue;
            const int ilo = std::max(itrunc(c.gx - r3 + 1.0f), 1), ihi = std::min(itrunc(c.gx + r3), g.nx);
            const int base = g.nx * (j - 1) + g.nxy * (kk - 1);
            for (int i = ilo; i <= ihi; ++i) iacs[base + i] = 6.0f;
        }
    }
}

// The ion-exclusion spheres of all atoms, the z planes shared out in
// groups among the threads (each point is written on one plane).
void exclude_ions_all(Kova& k, float rion) {
    GridStore& g = k.mess;
    if (!fits(g)) return;
    const MoleculeStore& mol = k.mol;
    const int natom = std::min(mol.natom, maxatm);
    struct Placed {
        GridCoord c;
        float r;
    };
    std::vector<Placed> sph(natom);
    for (int a = 1; a <= natom; ++a)
        sph[a - 1] = {xyzijk(mol.x[a], mol.y[a], mol.z[a], g.h, g.xo, g.yo, g.zo), (mol.radi[a] + rion) / g.h};
    const int groups = (g.nz + kMapPlanes - 1) / kMapPlanes;
#pragma omp parallel for num_threads(grid_threads(g)) schedule(dynamic, 1) if (g.nxyz >= kThreadedPoints)
    for (int q = 0; q < groups; ++q) {
        const int k0 = 1 + q * kMapPlanes, k1 = std::min(g.nz, k0 + kMapPlanes - 1);
        for (const Placed& p : sph)
            if (p.c.gz - p.r + 1.0f <= static_cast<float>(k1) + 1.0f && p.c.gz + p.r >= static_cast<float>(k0) - 1.0f)
                exclude_ions(g, p.c, p.r, k0, k1);
    }
}

}  // namespace

void excbd(Kova& k, int atom, float rion) {
    GridStore& g = k.mess;
    if (!fits(g)) return;
    const MoleculeStore& mol = k.mol;
    const GridCoord c = xyzijk(mol.x[atom], mol.y[atom], mol.z[atom], g.h, g.xo, g.yo, g.zo);
    exclude_ions(g, c, (mol.radi[atom] + rion) / g.h, 1, g.nz);
}

void excrc(Kova& k) {
    GridStore& g = k.mess;
    if (!fits(g)) return;
    const int nx = g.nx, ny = g.ny, nz = g.nz, nxy = g.nxy;
    const float* epsi = g.epsi.data();
    const float* epsj = g.epsj.data();
    const float* epsk = g.epsk.data();
    const float* iacs = g.iacs.data();
    float* diagm = g.diagm.data();
    const bool ionic = g.nonl == 0;
    // Ionic term of the linearised equation: the ion-accessible fraction
    // (6 - iacs)/6 times epsout (h kappa)^2.
    const float epsout = k.env.epsout;
    const float hk = g.h * k.env.kappa;
    const float hk2 = hk * hk;
    // Each point from its own couplings: the planes on the threads.
#pragma omp parallel for num_threads(grid_threads(g)) schedule(static) if (g.nxyz >= kThreadedPoints)
    for (int kk = 1; kk <= nz; ++kk)
        for (int j = 1; j <= ny; ++j) {
            const int row = nx * (j - 1) + nxy * (kk - 1);
            for (int i = 1; i <= nx; ++i) {
                const int l = row + i;
                float d = diagm[l];
                if (i > 1) d += epsi[l - 1];
                if (i < nx) d += epsi[l];
                if (j > 1) d += epsj[l - nx];
                if (j < ny) d += epsj[l];
                if (kk > 1) d += epsk[l - nxy];
                if (kk < nz) d += epsk[l];
                if (ionic) d += (6.0f - iacs[l]) / 6.0f * epsout * hk2;
                diagm[l] = d;
            }
        }
}

void charge(Kova& k) {
    GridStore& g = k.mess;
    if (!fits(g)) return;
    const MoleculeStore& mol = k.mol;
    const int natom = std::min(mol.natom, maxatm);
    float* rhs = g.rhs.data();
    for (int a = 1; a <= natom; ++a) {
        if (g.isel[a] != 1) continue;
        const float q = mol.chrg[a];
        if (q == 0.0f) continue;
        const GridCoord c = xyzijk(mol.x[a], mol.y[a], mol.z[a], g.h, g.xo, g.yo, g.zo);
        // Below the first plane by less than a step, truncation toward zero
        // would give a cell index 0 with a negative fraction, i.e. weights
        // outside [0, 1]; such a charge lies wholly outside the grid, and all
        // of its shares are dropped like every share off the grid.
        if (!(c.gx >= 0.0f && c.gy >= 0.0f && c.gz >= 0.0f)) continue;
        const int i = itrunc(c.gx), j = itrunc(c.gy), kk = itrunc(c.gz);
        if (i > g.nx || j > g.ny || kk > g.nz) continue;
        const float wx[2] = {1.0f - c.fx, c.fx}, wy[2] = {1.0f - c.fy, c.fy}, wz[2] = {1.0f - c.fz, c.fz};
        for (int dk = 0; dk < 2; ++dk) {
            const int kp = kk + dk;
            if (kp < 1 || kp > g.nz) continue;
            for (int dj = 0; dj < 2; ++dj) {
                const int jp = j + dj;
                if (jp < 1 || jp > g.ny) continue;
                for (int di = 0; di < 2; ++di) {
                    const int ip = i + di;
                    if (ip < 1 || ip > g.nx) continue;
                    rhs[g.index(ip, jp, kp)] += q * wx[di] * wy[dj] * wz[dk] / g.h;
                }
            }
        }
    }
}

Volumes volumes(const Kova& k) {
    const GridStore& g = k.mess;
    const float ei = k.env.epsint, eo = k.env.epsout;
    // Interior fraction of a segment from its permittivity (inverse of the
    // cover rule): p1/e - p2 is 1 for epsint and 0 for epsout. With equal
    // dielectrics there is no low-dielectric region to measure.
    const bool body = ei != eo;
    const float p1 = body ? ei * eo / (eo - ei) : 0.0f, p2 = body ? ei / (eo - ei) : 0.0f;
    double si = 0, sj = 0, sk = 0, sion = 0;
    const int n = npoints(g);
    for (int l = 1; l <= n; ++l) {
        if (body) {
            const float a = g.epsi[l], b = g.epsj[l], c = g.epsk[l];
            if (a != 0.0f) si += p1 / a - p2;
            if (b != 0.0f) sj += p1 / b - p2;
            if (c != 0.0f) sk += p1 / c - p2;
        }
        sion += g.iacs[l];
    }
    const double v = static_cast<double>(g.h) * g.h * g.h;
    Volumes r;
    r.vi = v * si;
    r.vj = v * sj;
    r.vk = v * sk;
    r.vav = (r.vi + r.vj + r.vk) / 3.0;
    r.vion = v * sion / 6.0;
    return r;
}

void exclud(Kova& k) {
    GridStore& g = k.mess;
    Environment& env = k.env;
    MoleculeStore& mol = k.mol;
    const int natom = std::min(mol.natom, maxatm);
    if (env.srfdgiven) {
        // Molecule 1 is the surface body with the srfd dielectric, molecule 2
        // the solute with the interior dielectric.
        blank_line(k);
        list_line(k, "***************************");
        list_line(k, "! Surface/protein/solvent !");
        list_line(k, "***************************");
        blank_line(k);
        const float epsint = env.epsint;
        env.epsint = env.srfdeps;
        if (mol.nmol < 1) {
            env.epsint = epsint;
            warn_molecule(k, 1);
        } else {
            select_molecule(k, 1, 1);
            excr(k);
            select_molecule(k, 1, 0);
        }
        env.epsint = epsint;
        if (mol.nmol < 2) {
            warn_molecule(k, 2);
        } else {
            select_molecule(k, 2, 1);
            excr(k);
        }
        for (int a = 1; a <= natom; ++a) g.isel[a] = 1;
    } else if (!g.reps) {
        excr(k);
        if (g.newmap) {
            if (k.flags.debug) out(k, "(1x,'Preparing dot surface for eps map.')");
            srsrf(k, g.nsph, g.rsolv);
            if (k.flags.debug) out(k, "(1x,'Resetting probe sphere volumes to epssol.')");
            exsrf(k);
        }
    }
    if (k.flags.debug) out(k, "(1x,'Generating ion-exclusion map.')");
    clear_map(g, g.iacs, npoints(g));
    exclude_ions_all(k, g.rion);
    excrc(k);
    if (g.volu) {
        const Volumes v = volumes(k);
        if (k.flags.debug) {
            out(k, "(1x,'Molecular volumes (cubic Angstroms):')");
            out(k, "(1x,'Epsi vol:',f10.3)", v.vi);
            out(k, "(1x,'Epsj vol:',f10.3)", v.vj);
            out(k, "(1x,'Epsk vol:',f10.3)", v.vk);
            out(k, "(1x,'Averaged vol of low dielectric region:',f10.3)", v.vav);
            out(k, "(1x,'Vol of ion-exclusion region:',f10.3)", v.vion);
            out(k, "(1x,'Exiting exclud subroutine.')");
        }
    }
}

}  // namespace kova
