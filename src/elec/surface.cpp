// The probe-accessible surface of the selected atoms: points of each atom's
// sphere expanded by the probe radius that no other expanded sphere buries.
// These dots are the centres of probe spheres touching the molecule; the
// probe correction of the dielectric map carves their spheres out of the
// probe-accessible body. The same pass gives each atom its exposed contact
// area (vdwsa) and accessible area (accsa) from its fraction of free points.
//
// Atoms are binned into search cubes of width w (at most 10 per axis);
// positions are kept in cube units, where an expanded radius is below about
// half a cube, so the atoms that can bury a point of atom a lie in the cubes
// next to a's own.
#include <algorithm>
#include <cmath>
#include <vector>

#include "command/output.hpp"
#include "elec/elec.hpp"

namespace kova {

namespace {

constexpr float pi_s = 3.1415925f;
constexpr float twopi_s = 6.2831855f;
constexpr float fourpi_s = 12.566371f;

inline int nint(float v) { return static_cast<int>(std::lround(v)); }

// A possible burying atom: its centre in cube units and squared expanded
// radius.
struct Burier {
    float x, y, z, r2;
    int atom;
};

}  // namespace

// Points of the unit sphere on ntheta circles of constant polar angle, each
// circle with a number of points proportional to its circumference. The
// arrays hold maxsph points; a request that makes more stores only the first
// maxsph and returns the full count, so the caller can tell.
int sphere(float* px, float* py, float* pz, int n) {
    if (n <= 0) return 0;
    const int ntheta = static_cast<int>(std::sqrt(static_cast<float>(n) * pi_s / 4.0f));
    const int npsmax = 2 * ntheta;
    int made = 0;
    for (int t = 1; t <= ntheta; ++t) {
        const float theta = static_cast<float>(t) * pi_s / static_cast<float>(ntheta);
        const float st = std::sin(theta), ct = std::cos(theta);
        const int npsi = nint(static_cast<float>(npsmax) * st);
        for (int q = 1; q <= npsi; ++q) {
            const float psi = static_cast<float>(q) * twopi_s / static_cast<float>(npsi);
            if (made < maxsph) {
                px[made] = std::cos(psi) * st;
                py[made] = std::sin(psi) * st;
                pz[made] = ct;
            }
            ++made;
        }
    }
    return made;
}

int srsrf(Kova& k, int nsph, float rsolv) {
    GridStore& g = k.mess;
    MoleculeStore& mol = k.mol;
    const int natom = std::min(mol.natom, maxatm);
    g.ndot = 0;
    mol.srfnrg = {0.0f, 0.0f};

    // Bounding box of the selected centres and the largest radius.
    int nsel = 0;
    float rmax = 0.0f;
    float lo[3] = {0, 0, 0}, hi[3] = {0, 0, 0};
    for (int a = 1; a <= natom; ++a) {
        if (g.isel[a] != 1) continue;
        g.nnbr[a] = 0;
        if (mol.radi[a] < 0.0f) {
            fwrite(k, k.files.msgunit, "(1x,'FATAL_ERROR: Apparent undefined radius in srsrf.',i6,1x,a4,1x,i4)", a,
                   mol.resnam[a].padded(), mol.resnum[a]);
            kvabort(k, fatal);
        }
        const float p[3] = {mol.x[a], mol.y[a], mol.z[a]};
        for (int d = 0; d < 3; ++d) {
            lo[d] = nsel == 0 ? p[d] : std::min(lo[d], p[d]);
            hi[d] = nsel == 0 ? p[d] : std::max(hi[d], p[d]);
        }
        rmax = std::max(rmax, mol.radi[a]);
        ++nsel;
    }
    // With no atom of positive expanded radius (a probe radius below minus
    // the largest radius) there is no surface.
    const float rr = rmax + rsolv;
    if (nsel == 0 || !(rr > 0.0f)) {
        for (int a = 1; a <= natom; ++a)
            if (g.isel[a] == 1) mol.vdwsa[a] = mol.accsa[a] = 0.0f;
        return 0;
    }

    // Search cubes.
    float w = 2.0f * rr + 0.2f;
    const float ext = std::max({hi[0] - lo[0], hi[1] - lo[1], hi[2] - lo[2]});
    int ncube = nint((ext + 2.0f * rr) / w) + 2;
    if (ncube % 2 != 0) ++ncube;
    if (ncube >= 11) {
        ncube = 10;
        w = ext / 8.0f;
    }
    const float cen[3] = {(lo[0] + hi[0]) / 2.0f, (lo[1] + hi[1]) / 2.0f, (lo[2] + hi[2]) / 2.0f};
    const float shift = static_cast<float>(ncube / 2) + 1.0f;

    // Cube index of a cube coordinate (truncation), kept within 1..ncube.
    auto cube_of = [ncube](float u) {
        return u >= 1.0f ? (u < static_cast<float>(ncube) ? static_cast<int>(u) : ncube) : 1;
    };

    // Centres in cube units, expanded radii, cube of each atom.
    std::vector<float> ux(natom + 1), uy(natom + 1), uz(natom + 1), ra(natom + 1);
    std::vector<int> cube(natom + 1, 0);
    std::vector<int> count(ncube * ncube * ncube + 1, 0);
    float ramax = 0.0f;
    for (int a = 1; a <= natom; ++a) {
        if (g.isel[a] != 1) continue;
        ux[a] = (mol.x[a] - cen[0]) / w + shift;
        uy[a] = (mol.y[a] - cen[1]) / w + shift;
        uz[a] = (mol.z[a] - cen[2]) / w + shift;
        ra[a] = mol.radi[a] > 0.0f ? std::max((mol.radi[a] + rsolv) / w, 0.0f) : 0.0f;
        ramax = std::max(ramax, ra[a]);
        const int c = cube_of(ux[a]) + ncube * (cube_of(uy[a]) - 1) + ncube * ncube * (cube_of(uz[a]) - 1);
        cube[a] = c;
        if (++count[c] > maxcub) {
            fwrite(k, k.files.msgunit, "(1x,'FATAL_ERROR: too many atoms for cube grid point:',i8)", count[c]);
            kvabort(k, fatal);
        }
    }
    // Atoms of each cube, in atom order (counting sort).
    std::vector<int> start(count.size() + 1, 0);
    for (size_t c = 1; c < count.size(); ++c) start[c + 1] = start[c] + count[c];
    std::vector<int> members(nsel);
    {
        std::vector<int> fillp(start.begin(), start.end() - 1);
        for (int a = 1; a <= natom; ++a)
            if (g.isel[a] == 1) members[fillp[cube[a]]++] = a;
    }

    // Unit-sphere points.
    std::vector<float> px(maxsph), py(maxsph), pz(maxsph);
    int npts = sphere(px.data(), py.data(), pz.data(), nsph);
    if (npts > maxsph) {
        fwrite(k, k.files.msgunit,
               "(1x,'WARNING: sphere (010)Too many atom sphere points.  nspha:',i10,'   maxsph:',i10)", npts, maxsph);
        kvabort(k, warning);
        // Go on with the densest even covering that fits.
        npts = sphere(px.data(), py.data(), pz.data(), maxsph);
    }

    // Cubes to search on each side: two expanded spheres overlap only within
    // ra(a) + ra(b) cube units, which is below one cube unless the cube width
    // was capped for a large molecule.
    const int span = std::max(1, static_cast<int>(std::ceil(2.0f * ramax)));
    std::vector<Burier> cand;
    cand.reserve(256);
    for (int a = 1; a <= natom; ++a) {
        if (g.isel[a] != 1) continue;
        if (ra[a] <= 0.0f || npts == 0) {
            mol.vdwsa[a] = 0.0f;
            mol.accsa[a] = 0.0f;
            continue;
        }
        const float ax = ux[a], ay = uy[a], az = uz[a], rad = ra[a];
        // The atoms whose expanded spheres meet a's: only they can bury
        // a point of a. Taken cube by cube around a's own.
        cand.clear();
        const int c0 = cube[a] - 1;
        const int ci = c0 % ncube + 1, cj = (c0 / ncube) % ncube + 1, ck = c0 / (ncube * ncube) + 1;
        for (int kc = std::max(ck - span, 1); kc <= std::min(ck + span, ncube); ++kc)
            for (int jc = std::max(cj - span, 1); jc <= std::min(cj + span, ncube); ++jc)
                for (int ic = std::max(ci - span, 1); ic <= std::min(ci + span, ncube); ++ic) {
                    const int c = ic + ncube * (jc - 1) + ncube * ncube * (kc - 1);
                    for (int m = start[c]; m < start[c + 1]; ++m) {
                        const int b = members[m];
                        if (b == a || ra[b] <= 0.0f) continue;
                        const float dx = ux[b] - ax, dy = uy[b] - ay, dz = uz[b] - az;
                        const float reach = rad + ra[b];
                        if (dx * dx + dy * dy + dz * dz < reach * reach * 1.0001f + 1.0e-6f)
                            cand.push_back({ux[b], uy[b], uz[b], ra[b] * ra[b], b});
                    }
                }

        auto& nbr = g.nbr[a];
        int free = 0;
        int last = 0;  // the atom that buried the previous point
        auto buries = [&](int b, float qx, float qy, float qz) {
            const float dx = qx - ux[b], dy = qy - uy[b], dz = qz - uz[b];
            return dx * dx + dy * dy + dz * dz < ra[b] * ra[b];
        };
        for (int p = 0; p < npts; ++p) {
            const float qx = ax + rad * px[p], qy = ay + rad * py[p], qz = az + rad * pz[p];
            // Atoms that buried earlier points of a are the likeliest to bury
            // this one: try them first, the last one before all (successive
            // points are neighbours on a circle).
            bool buried = last != 0 && buries(last, qx, qy, qz);
            for (int t = 0; t < g.nnbr[a] && !buried; ++t)
                if (buries(nbr[t], qx, qy, qz)) {
                    buried = true;
                    last = nbr[t];
                }
            for (size_t t = 0; t < cand.size() && !buried; ++t) {
                const Burier& c = cand[t];
                const float dx = qx - c.x, dy = qy - c.y, dz = qz - c.z;
                if (dx * dx + dy * dy + dz * dz < c.r2) {
                    buried = true;
                    if (g.nnbr[a] >= maxnbr) {
                        fwrite(k, k.files.msgunit,
                               "(1x,'FATAL_ERROR: Exceeded dimension of neighbor array',' in srsrf.',2x,i4,2x,i4)",
                               g.nnbr[a] + 1, maxnbr);
                        kvabort(k, fatal);
                    }
                    nbr[g.nnbr[a]++] = c.atom;
                    last = c.atom;
                }
            }
            if (buried) continue;
            if (g.ndot >= maxdot) {
                fwrite(k, k.files.msgunit,
                       "(1x,'FATAL_ERROR: number of surface points exceeding','dimension of surface array:',i8)",
                       g.ndot + 1);
                kvabort(k, fatal);
            }
            const int d = ++g.ndot;
            g.dotx[d] = (qx - shift) * w + cen[0];
            g.doty[d] = (qy - shift) * w + cen[1];
            g.dotz[d] = (qz - shift) * w + cen[2];
            g.dotown[d] = a;
            ++free;
        }
        // Exposed areas from the fraction of free points.
        const float frac = static_cast<float>(free) / static_cast<float>(npts);
        const float r = mol.radi[a], rp = mol.radi[a] + rsolv;
        mol.vdwsa[a] = fourpi_s * r * r * frac;
        mol.accsa[a] = fourpi_s * rp * rp * frac;
        mol.srfnrg[0] += mol.vdwsa[a];
        mol.srfnrg[1] += mol.accsa[a];
    }
    return g.ndot;
}

}  // namespace kova
