// The analytic potential: the charges of one spherical cavity of
// permittivity epsint in a solvent of permittivity epsout (series in
// Legendre polynomials; a centred charge in closed form, with Debye-Hueckel
// screening), or of a uniform screened medium; and the analytic energy.
#include <algorithm>
#include <cmath>

#include "command/output.hpp"
#include "elec/elec.hpp"

namespace kova {

namespace {

constexpr float fourpi = 12.566371f;

int atoms(const Kova& k) { return std::min(k.mol.natom, maxatm); }

// The series of a charge q at distance d from the cavity centre, seen at
// distance r, angle cos t between the two: sum T(n) P_n(cos t). The direct
// Coulomb part of a charge and a point in the same region, sum r<^n/r>^(n+1)
// P_n = 1/|P - x|, is added in closed form (dist = |P - x|; left out when
// direct is false, for the reaction energy of a charge with itself): near
// the charge its series converges too slowly for any term limit. Returns
// the sum; limit is set when the term limit ended it.
double series(double q, double d, double r, double ct, double a, double ein, double eout, double conv, int maxits,
              bool direct, double dist, bool& limit) {
    const double fp = fourpi;
    const bool qin = d < a, pin = r < a;
    double sum = 0;
    if (direct && qin == pin) sum = q / (fp * (qin ? ein : eout) * dist);
    double pm = 0, p = 1;  // P_(n-1), P_n
    double pw = 1, ratio;  // ratio^n
    if (qin && pin) ratio = r * d / (a * a);
    else if (qin) ratio = d / r;
    else if (pin) ratio = r / d;
    else ratio = a * a / (r * d);
    limit = true;
    for (int n = 0; n <= std::max(maxits, 1); ++n) {
        const double dn = n * ein + (n + 1) * eout;
        double t;
        if (qin && pin) t = q / (fp * ein) * (ein - eout) * (n + 1) / dn * pw / a;
        else if (qin) t = q * (2 * n + 1) * pw / (r * fp * dn);
        else if (pin) t = q * (2 * n + 1) * pw / (d * fp * dn);
        else t = q / (fp * eout) * (eout - ein) * n / dn * pw * a / (r * d);
        sum += t * p;
        // |P_n| <= 1: the term's bound decides, so that a zero of P_n does
        // not end the series early.
        if (n >= 2 && std::fabs(t) <= conv * std::fabs(sum)) {
            limit = false;
            break;
        }
        pw *= ratio;
        const double pn = ((2 * n + 1) * ct * p - n * pm) / (n + 1);
        pm = p, p = pn;
    }
    return sum;
}

}  // namespace

int find_cavity(const Kova& k, const Arr1<int, maxatm>& sel, Cavity& cav) {
    const MoleculeStore& m = k.mol;
    int found = 0;
    for (int a = 1; a <= atoms(k); ++a) {
        if (sel[a] == 0 || m.radi[a] == 0.0f) continue;
        if (found == 0) {
            cav = {m.x[a], m.y[a], m.z[a], m.radi[a]};
            found = 1;
        } else if (m.x[a] != cav.x || m.y[a] != cav.y || m.z[a] != cav.z || m.radi[a] != cav.a) {
            return 2;
        }
    }
    return found;
}

float anauni(Kova& k, float x, float y, float z) {
    const MoleculeStore& m = k.mol;
    const GridStore& g = k.mess;
    const double eo = k.env.epsout, kap = k.env.kappa, dmin = 0.1 * g.h;
    double phi = 0;
    for (int a = 1; a <= atoms(k); ++a) {
        if (g.isel[a] == 0 || m.chrg[a] == 0.0f) continue;
        const double dx = double(x) - m.x[a], dy = double(y) - m.y[a], dz = double(z) - m.z[a];
        const double d = std::sqrt(dx * dx + dy * dy + dz * dz);
        if (d < dmin) phi += m.chrg[a] / (fourpi * eo * dmin);
        else phi += m.chrg[a] * std::exp(-kap * d) / (fourpi * eo * d);
    }
    return static_cast<float>(phi);
}

float anacav(Kova& k, float x, float y, float z, const Cavity& cav, AnaState& st) {
    const MoleculeStore& m = k.mol;
    const GridStore& g = k.mess;
    const double ein = k.env.epsint, eout = k.env.epsout, kap = k.env.kappa, a = cav.a;
    const double px = double(x) - cav.x, py = double(y) - cav.y, pz = double(z) - cav.z;
    const double r = std::sqrt(px * px + py * py + pz * pz);
    const double rmin = 0.1 * g.h;
    double phi = 0;
    bool limit = false;
    for (int at = 1; at <= atoms(k); ++at) {
        if (g.isel[at] == 0 || m.chrg[at] == 0.0f) continue;
        const double q = m.chrg[at];
        const double cx = double(m.x[at]) - cav.x, cy = double(m.y[at]) - cav.y, cz = double(m.z[at]) - cav.z;
        const double d = std::sqrt(cx * cx + cy * cy + cz * cz);
        if (d == 0.0) {
            if (r < a) {
                const double rr = std::max(r, rmin);
                phi += q / fourpi * ((1.0 / rr - 1.0 / a) / ein + 1.0 / (eout * a * (1.0 + kap * a)));
            } else {
                phi += q * std::exp(kap * (a - r)) / (fourpi * eout * r * (1.0 + kap * a));
            }
            continue;
        }
        if (kap != 0.0) {
            if (!st.kappa_warned) {
                st.kappa_warned = true;
                fwrite(k, k.files.msgunit,
                       "(1x,'WARNING: anacav(000) Non-zero kappa only implemented',' for centro-symmetric systems.')");
                kvabort(k, warning);
            }
            break;
        }
        if (d == a) {
            if (std::find(st.noted.begin(), st.noted.end(), at) == st.noted.end()) {
                st.noted.push_back(at);
                fwrite(k, k.files.msgunit, "(1x,'NOTE: anacav(010): Atom ',i5,' at cavity boundary. ','Charge ignored.')",
                       at);
                kvabort(k, note);
            }
            continue;
        }
        // A grid point on the charge: the direct term at a tenth of a spacing.
        const double ox = px - cx, oy = py - cy, oz = pz - cz;
        const double dist = std::sqrt(ox * ox + oy * oy + oz * oz);
        if (dist < rmin) {
            phi += q / (fourpi * (d < a ? ein : eout) * rmin);
            continue;
        }
        const double ct = r == 0.0 ? 1.0 : std::clamp((px * cx + py * cy + pz * cz) / (r * d), -1.0, 1.0);
        bool lim = false;
        phi += series(q, d, r, ct, a, ein, eout, g.conv, g.maxits, true, dist, lim);
        limit = limit || lim;
    }
    if (limit && !st.maxits_warned) {
        st.maxits_warned = true;
        fwrite(k, k.files.msgunit, "(1x,'WARNING: anacav(020) maxits exceeded.')");
        kvabort(k, warning);
    }
    return static_cast<float>(phi);
}

void potana(Kova& k) {
    GridStore& g = k.mess;
    Cavity cav;
    const int nc = find_cavity(k, g.isel, cav);
    if (nc > 1) {
        fwrite(k, k.files.msgunit,
               "(1x,'WARNING: potana(000) Unable to calculate analytic ','potential.',/,1x,'                     "
               "Selected atoms include more than ','one cavity.',/,1x,'                     Potential grid has not been "
               "','changed.')");
        kvabort(k, warning);
        return;
    }
    if (!fits_grid(g)) return;
    std::fill(g.phi.begin() + 1, g.phi.begin() + g.nxyz + 1, 0.0f);
    AnaState st;
    for (int kk = 1; kk <= g.nz; ++kk)
        for (int j = 1; j <= g.ny; ++j)
            for (int i = 1; i <= g.nx; ++i) {
                const auto p = ijkxyz(g, i, j, kk);
                g.phi[g.index(i, j, kk)] = nc == 1 ? anacav(k, p[0], p[1], p[2], cav, st) : anauni(k, p[0], p[1], p[2]);
            }
    g.phiset = g.anasolved = true;
    g.phibad = false;
}

double nrgana(Kova& k, const Arr1<int, maxatm>& sel) {
    Cavity cav;
    const int nc = find_cavity(k, sel, cav);
    if (nc > 1) {
        fwrite(k, k.files.msgunit,
               "(1x,'WARNING: nrgana(000) ','multiple non-zero radii not supported',/1x,'                     ','for "
               "analytic energy calculations.')");
        kvabort(k, warning);
        return 0.0;
    }
    if (k.env.kappa != 0.0f || k.env.cion != 0.0f) {
        fwrite(k, k.files.msgunit,
               "(1x,'WARNING: nrgana(100) ','non-zero ionic strength not supported',/1x,'                     ','for "
               "analytic energy calculations.')");
        kvabort(k, warning);
        return 0.0;
    }
    const MoleculeStore& m = k.mol;
    const GridStore& g = k.mess;
    if (!g.anasolved) {
        // The energy is still the closed form for the selected charges, in
        // the environment of the last elec command; nothing on the grid
        // corresponds to it.
        msg(k, "WARNING: nrgana(200) no analytic potential computed yet (elec anal calc):",
            " energy from the charges and the last elec settings.");
        kvabort(k, warning);
    }
    const double ein = k.env.epsint, eout = k.env.epsout;
    double e = 0;
    for (int i = 1; i <= atoms(k); ++i) {
        if (sel[i] == 0 || m.chrg[i] == 0.0f) continue;
        const double ix = double(m.x[i]) - cav.x, iy = double(m.y[i]) - cav.y, iz = double(m.z[i]) - cav.z;
        const double r = std::sqrt(ix * ix + iy * iy + iz * iz);
        for (int j = 1; j <= atoms(k); ++j) {
            if (sel[j] == 0 || m.chrg[j] == 0.0f) continue;
            const double q = m.chrg[j];
            const double jx = double(m.x[j]) - cav.x, jy = double(m.y[j]) - cav.y, jz = double(m.z[j]) - cav.z;
            const double d = std::sqrt(jx * jx + jy * jy + jz * jz);
            const double ox = ix - jx, oy = iy - jy, oz = iz - jz;
            const double dij = std::sqrt(ox * ox + oy * oy + oz * oz);
            double phi = 0;
            if (nc == 0) {
                if (i != j && dij > 0) phi = q / (fourpi * eout * dij);
            } else if (d == cav.a || r == cav.a) {
                continue;  // a charge on the boundary has no defined energy
            } else if (d == 0.0 || r == 0.0) {
                // Centred charge (or point): closed form, the direct term
                // left out for the charge itself.
                const double a = cav.a, rr = std::max(r, d);
                if (rr < a) phi = q / fourpi * ((rr > 0.0 && i != j ? 1.0 / rr : 0.0) - 1.0 / a) / ein + q / (fourpi * eout * a);
                else phi = q / (fourpi * eout * rr);
            } else {
                bool limit = false;
                const double ct = std::clamp((ix * jx + iy * jy + iz * jz) / (r * d), -1.0, 1.0);
                phi = series(q, d, r, ct, cav.a, ein, eout, 1.0e-9, std::max(g.maxits, 2000), i != j, dij, limit);
            }
            e += m.chrg[i] * phi;
        }
    }
    return 0.5 * e;
}

}  // namespace kova
