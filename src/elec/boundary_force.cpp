// Forces of the solvent on the molecule's boundaries: the dielectric
// boundary pressure on the surface between the interior and the solvent,
// and the osmotic pressure of the mobile ions on the ion-exclusion surface.
#include <algorithm>
#include <cmath>
#include <vector>

#include "command/output.hpp"
#include "elec/elec.hpp"
#include "elec/multigrid.hpp"
#include "fortio/format.hpp"

namespace kova {

namespace {

constexpr float fourpi = 12.566371f;

int atoms(const Kova& k) { return std::min(k.mol.natom, maxatm); }

}  // namespace

// The dielectric boundary force is minus the derivative of the energy of
// the fixed charges with respect to the position of the atom owning each
// boundary segment. For the lattice energy G = (h/2) sum eps (dphi)^2 with
// phi solved, dG/dx = -(h/2) sum (d eps/dx) (dphi)^2, and a segment's
// permittivity depends on the atom only through the fraction f of it
// inside the atom's sphere (1/eps = f/fill + (1 - f)/untouched):
//   F = -(h/2) (1/fill - 1/untouched) sum eps^2 (dphi)^2 df/dx.
// The fraction moves with the sphere's crossing point on the segment's own
// line: along the line's axis by the displacement itself, across it by the
// change of the chord half-length r3 = sqrt(r^2 - db^2 - dc^2). The prefactor
// (1/fill - 1/untouched)/2 is -(epsout - epsint)/(2 epsint epsout) for the
// atoms' spheres (interior inside) and its opposite for the probe spheres
// of the probe surface (solvent inside), whose forces go to the atom that
// owns the dot. Segments wholly on one side of the surface (a surface
// through a grid point) carry no boundary and are skipped.
void dbfrc(Kova& k, Arr1<float, maxatm>& fx, Arr1<float, maxatm>& fy, Arr1<float, maxatm>& fz) {
    const int na = atoms(k);
    for (int a = 1; a <= na; ++a) fx[a] = fy[a] = fz[a] = 0.0f;
    const GridStore& g = k.mess;
    const MoleculeStore& m = k.mol;
    const float ein = k.env.epsint, eout = k.env.epsout;
    if (ein == eout) return;
    if (!g.smooth) {
        fwrite(k, k.files.msgunit, "(1x,'NOTE: DFORCE(033) Smoothing needed for dielectric pressures')");
        fwrite(k, k.files.msgunit, "(1x,'Returning from subroutine dforce without results')");
        return;
    }
    if (!fits_grid(g)) return;
    const double pref = -(double(eout) - ein) / (2.0 * double(ein) * eout);
    const double h = g.h;
    const float elo = std::min(ein, eout), ehi = std::max(ein, eout);
    const int nx = g.nx, ny = g.ny, nz = g.nz, nxy = g.nxy;
    const int dim[3] = {nx, ny, nz};
    const int stride[3] = {1, nx, nxy};
    const float* phi = g.phi.data();
    const float* eps[3] = {g.epsi.data(), g.epsj.data(), g.epsk.data()};
    const bool dots = g.newmap;
    const float grow = g.newmap ? g.rsolv : 0.0f;

    // A segment's force on one atom.
    struct Push {
        int atom;
        double f[3];
    };
    // Appends the force of segment (i, j, k) along axis d, crossed from
    // below (lower) or above by the sphere of `own`.
    auto segment = [&](int d, const int* idx, int own, bool lower, double d2, std::vector<Push>& to) {
        float cx, cy, cz, r;
        int atom;
        double sign;
        if (dots) {
            if (own < 1 || own > g.ndot) return;
            cx = g.dotx[own], cy = g.doty[own], cz = g.dotz[own], r = g.rsolv;
            atom = g.dotown[own];
            sign = -1.0;
        } else {
            if (own < 1 || own > na) return;
            cx = m.x[own], cy = m.y[own], cz = m.z[own], r = m.radi[own] + grow;
            atom = own;
            sign = 1.0;
        }
        if (atom < 1 || atom > na) return;
        const GridCoord c = xyzijk(cx, cy, cz, g.h, g.xo, g.yo, g.zo);
        const double gc[3] = {c.gx, c.gy, c.gz};
        const double rg = r / h;
        double r3sq = rg * rg;
        for (int e = 0; e < 3; ++e)
            if (e != d) r3sq -= (gc[e] - idx[e]) * (gc[e] - idx[e]);
        if (!(r3sq > 1.0e-6)) return;
        const double r3 = std::sqrt(r3sq);
        // A chord lying inside the one segment: f is the chord itself.
        const bool chord = itrunc(gc[d] - r3) == itrunc(gc[d] + r3);
        Push p;
        p.atom = atom;
        for (int e = 0; e < 3; ++e) {
            double dfdx;  // per Angstrom
            if (e == d)
                dfdx = chord ? 0.0 : (lower ? -1.0 : 1.0) / h;
            else
                dfdx = -(gc[e] - idx[e]) / (r3 * h) * (chord ? 2.0 : 1.0);
            p.f[e] = sign * pref * h * d2 * dfdx;
        }
        to.push_back(p);
    };

    // The segments of each plane (axis d, plane kk) on the threads, their
    // forces kept in the order of the points; then added to the atoms plane
    // after plane on one thread: each atom's sum takes its terms in the
    // order of one pass over the grid, whatever the number of threads.
    std::vector<std::vector<Push>> planes(static_cast<size_t>(3 * nz));
#pragma omp parallel for num_threads(grid_threads(g)) schedule(dynamic, 4) if (g.nxyz >= kThreadedPoints)
    for (int dk = 0; dk < 3 * nz; ++dk) {
        const int d = dk / nz, kk = dk % nz + 1;
        std::vector<Push>& to = planes[dk];
        const std::int32_t* lown = g.owner[2 * d].data();
        const std::int32_t* uown = g.owner[2 * d + 1].data();
        const int s = stride[d];
        for (int j = 1; j <= ny; ++j)
            for (int i = 1; i <= nx; ++i) {
                const int idx[3] = {i, j, kk};
                if (idx[d] >= dim[d]) continue;  // the boundary face
                const int l = i + nx * (j - 1) + nxy * (kk - 1);
                const int lo = lown[l], up = uown[l];
                if (lo == 0 && up == 0) continue;
                const float e = eps[d][l];
                if (!(e > elo && e < ehi)) continue;
                const double dphi = double(phi[l + s]) - phi[l];
                const double d2 = double(e) * e * dphi * dphi;
                if (lo != 0) segment(d, idx, lo, true, d2, to);
                if (up != 0) segment(d, idx, up, false, d2, to);
            }
    }
    double* acc[3];
    std::vector<double> f(3 * (na + 1), 0.0);
    for (int c = 0; c < 3; ++c) acc[c] = f.data() + c * (na + 1);
    for (const auto& plane : planes)
        for (const Push& p : plane)
            for (int e = 0; e < 3; ++e) acc[e][p.atom] += p.f[e];
    for (int a = 1; a <= na; ++a)
        fx[a] = static_cast<float>(acc[0][a]), fy[a] = static_cast<float>(acc[1][a]), fz[a] = static_cast<float>(acc[2][a]);
}

void ibfrc(Kova& k, int nsph, const Arr1<int, maxatm>& sel, Arr1<float, maxatm>& fx, Arr1<float, maxatm>& fy,
           Arr1<float, maxatm>& fz) {
    GridStore& g = k.mess;
    MoleculeStore& m = k.mol;
    const int na = atoms(k);
    if (g.rion == 0.0f) {
        fwrite(k, k.files.msgunit, "(1x,'NOTE: IFORCE(044) Computing ionic force with rion=0.')");
        kvabort(k, note);
    }
    // The dots of the ion-exclusion surface replace the probe-surface dots
    // only for the time of this computation: the dielectric boundary force
    // of a probe surface needs those afterwards.
    const int ndot = g.ndot;
    const std::vector<float> dx = g.dotx, dy = g.doty, dz = g.dotz;
    const std::vector<int> down = g.dotown;
    const Arr1<int, maxatm> nnbr = g.nnbr;
    const auto nbr = g.nbr;
    const auto srfnrg = m.srfnrg;
    struct Restore {
        GridStore& g;
        MoleculeStore& m;
        const int& ndot;
        const std::vector<float>&x, &y, &z;
        const std::vector<int>& own;
        const Arr1<int, maxatm>& nn;
        const decltype(g.nbr)& nb;
        const decltype(m.srfnrg)& sn;
        ~Restore() {
            g.ndot = ndot, g.dotx = x, g.doty = y, g.dotz = z, g.dotown = own, g.nnbr = nn, g.nbr = nb;
            m.srfnrg = sn;
        }
    } restore{g, m, ndot, dx, dy, dz, down, nnbr, nbr, srfnrg};

    const int nd = srsrf(k, nsph, g.rion);
    const double press = double(k.env.kappa) * k.env.kappa / 2.0 * k.env.epsout;
    std::vector<char> failed(na + 1, 0);
    for (int a = 1; a <= na; ++a)
        if (sel[a] != 0) fx[a] = fy[a] = fz[a] = 0.0f;
    for (int p = 1; p <= nd; ++p) {
        const int a = g.dotown[p];
        if (a < 1 || a > na || sel[a] == 0 || failed[a]) continue;
        const GridCoord c = xyzijk(g.dotx[p], g.doty[p], g.dotz[p], g.h, g.xo, g.yo, g.zo);
        if (!(c.gx >= 1.0f && c.gy >= 1.0f && c.gz >= 1.0f && c.gx <= float(g.nx) && c.gy <= float(g.ny) &&
              c.gz <= float(g.nz))) {
            fwrite(k, k.files.msgunit, "(1x,'NOTE: ibfrc(000) can not calculate ionic force')");
            fwrite(k, k.files.msgunit, "(1x'for atom ',i4)", a);
            fwrite(k, k.files.msgunit, "(1x,'Setting ionic force to zero and proceeding')");
            fx[a] = fy[a] = fz[a] = 0.0f;
            failed[a] = 1;
            kvabort(k, note);
            continue;
        }
        const float v = phi_get(g, c.i, c.j, c.k, c.fx, c.fy, c.fz);
        k.units.write(k.files.outunit, fortio::list_write({std::string_view("phisite:"), v}));
        const double r = double(m.radi[a]) + g.rion;
        const double area = fourpi * r * r / nsph;
        const double ux = double(m.x[a]) - g.dotx[p], uy = double(m.y[a]) - g.doty[p], uz = double(m.z[a]) - g.dotz[p];
        const double len = std::sqrt(ux * ux + uy * uy + uz * uz);
        if (len == 0.0) continue;
        const double s = press * double(v) * v * area / len;
        fx[a] += static_cast<float>(s * ux), fy[a] += static_cast<float>(s * uy), fz[a] += static_cast<float>(s * uz);
    }
}

}  // namespace kova
