// The print command: reads the choice of atoms and the report wanted up to
// end, then produces the report in the print frame.
#include "molecule/print.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <string_view>

#include "bd/reaction.hpp"
#include "bd/units.hpp"
#include "command/commands.hpp"
#include "command/output.hpp"
#include "elec/gridfile.hpp"
#include "command/readers.hpp"
#include "elec/elec.hpp"
#include "mech/mech.hpp"
#include "molecule/multipole.hpp"
#include "molecule/prox.hpp"
#include "molecule/sasa.hpp"
#include "molecule/select.hpp"
#include "molecule/transform.hpp"

namespace kova {

namespace {

// Largest centre coordinate and half-width of the energy box, Angstrom.
constexpr float maxbox = 1.0e4f;

// Reports, numbered as the listing knows them.
enum Report {
    none = 0, apar = 1, rpar = 2, mpar = 3, spar = 4, upar = 5, amul = 6, smul = 7, bsfc = 8, geom = 9,
    sasa = 10, rxnv = 11, elec_report = 12, mcou = 13, dihe = 14, srsr = 15
};

constexpr float rad2deg = 57.29578f;
constexpr double pi = 3.14159265358979323846;
constexpr float kcal_per_internal = 0.0023900573f;  // amu A^2/ps^2 to kcal/mol
constexpr long max_sphere_points = 1000000;         // ncos x nphi of one sphere

// The settings of one print command (reset at every command).
struct PrintSettings {
    int report = none;
    bool centre_given = false;
    float centre[3] = {0, 0, 0};
    float srad = 0.0f;
    int nphi = 100, ncos = 50;
    float rlow = 0.0f, rhig = 999.0f, rdel = 1.0f;
    int dime[3] = {65, 65, 65};
    std::string file = "noprint";
    float rdeh = 1.0e10f;
    int mols[2] = {0, 0};
    int dat[4] = {0, 0, 0, 0};
    Arr1<bool, maxdfu> unitsel{};  // units chosen (iflx, all)
};

int atoms(const Kova& k) { return std::min(k.mol.natom, maxatm); }

// A charge or radius field of a listing: the value in f8.3, or the word
// unset, right-aligned, for a value that still holds the unset marker (set
// never ran for the atom or found no entry for it).
std::string field(float v) {
    return v == unset ? std::string("   unset") : fortio::format_write("(f8.3)", {v})[0];
}

void choose_molecule(Kova& k, int mol) {
    MoleculeStore& m = k.mol;
    if (mol < 1 || mol > m.nmol) {
        fwrite(k, k.files.msgunit, "(1x,'WARNING: prt(020) improper molecule number: ',i10)", mol);
        kvabort(k, warning);
        return;
    }
    m.molsel[mol] = 1;
    for (int a = m.fstatm[mol]; a <= std::min(m.lstatm[mol], maxatm); ++a) m.atsel[a] = 1;
}

void atomic_parameters(Kova& k) {
    const MoleculeStore& m = k.mol;
    out(k, "(1x,4x,'Atom',4x,'Residue',7x,'Coordinates(x,y,z)',6x,'Charge',3x,'Radii')");
    double c[3] = {0, 0, 0}, q = 0;
    int n = 0;
    bool qunset = false;  // a charge of the list is unset: the total is too
    for (int a = 1; a <= atoms(k); ++a) {
        if (m.atsel[a] == 0) continue;
        const std::string head = fortio::format_write(
            "(1x,i5,1x,a4,1x,a4,a1,i5,3(1x,f8.3))",
            {std::int64_t{a}, m.atnam[a].padded(), m.resnam[a].padded(),
             std::string_view(m.chain[a] ? &m.chain[a] : " ", 1), std::int64_t{m.resnum[a]}, m.x[a], m.y[a],
             m.z[a]})[0];
        k.units.write(k.files.outunit, head + " " + field(m.chrg[a]) + " " + field(m.radi[a]));
        c[0] += m.x[a], c[1] += m.y[a], c[2] += m.z[a], q += m.chrg[a];
        qunset = qunset || m.chrg[a] == unset;
        ++n;
    }
    if (n > 0)
        for (double& v : c) v /= n;
    out(k, "(1x,a)", "Center of Geometry of this list of Atoms(x,y,z)");
    out(k, "(1x,22x,3(f8.3,1x))", float(c[0]), float(c[1]), float(c[2]));
    out(k, "(1x,a)", "Total Charge of this list of Atoms");
    out(k, "(1x,22x,a8)", qunset ? field(unset) : field(float(q)));
}

// Residues end at a chosen atom whose next atom has another residue
// number. The sums start afresh at every command: a residue left open by
// the last chosen atom is listed at the end rather than carried into the
// next print command.
void residue_parameters(Kova& k) {
    const MoleculeStore& m = k.mol;
    const int n = atoms(k);
    out(k, "(1x,' Residue   Center of Geometry of Residue(x,y,z)   ','Charge')");
    double s[3] = {0, 0, 0}, q = 0, cc[3] = {0, 0, 0}, qt = 0;
    int in_res = 0, nres = 0, last = 0;
    bool qunset = false, qtunset = false;  // an unset charge in the residue, in the list
    auto flush = [&](int a) {
        if (in_res == 0) return;
        const float c[3] = {float(s[0] / in_res), float(s[1] / in_res), float(s[2] / in_res)};
        const std::string head = fortio::format_write(
            "(1x,a4,a1,i5,3(3x,f8.3))",
            {m.resnam[a].padded(), std::string_view(m.chain[a] ? &m.chain[a] : " ", 1), std::int64_t{m.resnum[a]},
             c[0], c[1], c[2]})[0];
        k.units.write(k.files.outunit, head + "      " + (qunset ? field(unset) : field(float(q))));
        for (int d = 0; d < 3; ++d) cc[d] += c[d];
        qt += q;
        qtunset = qtunset || qunset;
        ++nres;
        s[0] = s[1] = s[2] = q = 0;
        in_res = 0;
        qunset = false;
    };
    for (int a = 1; a <= n; ++a) {
        if (m.atsel[a] == 0) continue;
        s[0] += m.x[a], s[1] += m.y[a], s[2] += m.z[a], q += m.chrg[a];
        qunset = qunset || m.chrg[a] == unset;
        ++in_res;
        last = a;
        if (a == n || m.resnum[a + 1] != m.resnum[a]) flush(a);
    }
    flush(last);
    if (nres > 0)
        for (double& v : cc) v /= nres;
    out(k, "(1x,a)", "Center of Center of Geometry of Residues(x,y,z)");
    out(k, "(1x,10x,3(3x,f8.3))", float(cc[0]), float(cc[1]), float(cc[2]));
    out(k, "(1x,a)", "Total Charge on this list of Residues");
    out(k, "(1x,13x,a8)", qtunset ? field(unset) : field(float(qt)));
}

void molecule_parameters(Kova& k) {
    const MoleculeStore& m = k.mol;
    out(k, "(1x,'Molecule',3x,'Coordinates of Center(x,y,z)',7x,'Charge',6x,'Radius')");
    for (int i = 1; i <= std::min(m.nmol, maxmol); ++i) {
        if (m.molsel[i] == 0) continue;
        // The net charge and size are unset while a charge or radius of one
        // of the molecule's atoms is.
        bool qunset = false, runset = false;
        for (int a = std::max(m.fstatm[i], 1); a <= std::min(m.lstatm[i], maxatm); ++a) {
            qunset = qunset || m.chrg[a] == unset;
            runset = runset || m.radi[a] == unset;
        }
        const std::string head =
            fortio::format_write("(1x,i5,3(4x,f8.3))", {std::int64_t{i}, m.molcx[i], m.molcy[i], m.molcz[i]})[0];
        k.units.write(k.files.outunit, head + "    " + (qunset ? field(unset) : field(m.qmol[i])) + "    " +
                                           (runset ? field(unset) : field(m.molsiz[i])));
    }
}

// The chosen atoms as point charges; false (after the message) when one of
// them has no charge assigned.
bool chosen_charges(Kova& k, const Arr1<int, maxatm>& flags, int first, int last, ChargeSet& set) {
    const MoleculeStore& m = k.mol;
    for (int a = std::max(first, 1); a <= std::min(last, atoms(k)); ++a) {
        if (flags[a] == 0) continue;
        if (m.chrg[a] == unset) {
            msg(k, "SERIOUS: prt(070) charge unset for atom: ", std::to_string(a));
            kvabort(k, serious);
            return false;
        }
        set.add(m.x[a], m.y[a], m.z[a], m.chrg[a]);
    }
    return true;
}

bool sampling_ok(Kova& k, const PrintSettings& p) {
    if (p.ncos >= 1 && p.nphi >= 1 && long(p.ncos) * p.nphi <= max_sphere_points && p.srad >= 0.0f &&
        p.srad < 1.0e4f)
        return true;
    msg(k, "SERIOUS: prt(091) sphere sampling needs ncos, nphi from 1 (at most 1000000 points) and srad from 0: ",
        std::to_string(p.ncos) + " " + std::to_string(p.nphi) + " " + value_text(p.srad));
    kvabort(k, serious);
    return false;
}

bool radii_ok(Kova& k, const Arr1<int, maxatm>& flags) {
    const MoleculeStore& m = k.mol;
    for (int a = 1; a <= atoms(k); ++a)
        if (flags[a] != 0 && !(m.radi[a] >= 0.0f && m.radi[a] < 1.0e4f)) {
            msg(k, "SERIOUS: prt(090) radius unset or negative for atom: ", std::to_string(a));
            kvabort(k, serious);
            return false;
        }
    return true;
}

// Report 6 and 7: multipole moments of a charge set.
void multipole_report(Kova& k, const ChargeSet& set, const PrintSettings& p) {
    double c[3] = {0, 0, 0}, w = 0, q = 0;
    if (p.centre_given) {
        for (int d = 0; d < 3; ++d) c[d] = p.centre[d];
        if (!std::isfinite(c[0] + c[1] + c[2])) {
            msg(k, "SERIOUS: prt(072) expansion centre is not a finite point");
            kvabort(k, serious);
            return;
        }
    } else {
        // The charge-magnitude-weighted centre; with no charge at all the
        // centre of geometry stands in (0 with no atom).
        for (size_t i = 0; i < set.size(); ++i) {
            const double a = std::fabs(set.q[i]);
            c[0] += a * set.x[i], c[1] += a * set.y[i], c[2] += a * set.z[i], w += a;
        }
        if (w > 0) {
            for (double& v : c) v /= w;
        } else if (set.size() > 0) {
            c[0] = c[1] = c[2] = 0;
            for (size_t i = 0; i < set.size(); ++i) c[0] += set.x[i], c[1] += set.y[i], c[2] += set.z[i];
            for (double& v : c) v /= double(set.size());
        }
    }
    for (double v : set.q) q += v;
    out(k, "(1x,'  Coordinates of Center of Expansion                :',f10.3,'  A ')", float(c[0]));
    out(k, "(1x,'                                                    :',f10.3,'  A ')", float(c[1]));
    out(k, "(1x,'                                                    :',f10.3,'  A ')", float(c[2]));
    out(k, "(1x,'  Net Charge on List of Atoms                       :',f10.3)", float(q));
    if (float(q) != 0.0f) {
        out(k, "(1x,a)", "  Net Charge is NOT zero ");
        out(k, "(1x,a)", "  Coefficents dependent on chosen center ");
    }
    const Multipoles mp = multipoles(set, c[0], c[1], c[2]);
    out(k, "(1x)");
    out(k, "(1x,'  Order(l,m)      c(l,m)         s(l,m)','         comments')");
    for (int l = 0; l <= 3; ++l)
        for (int m = 0; m <= l; ++m) {
            const char* note = l == 0 ? "charge / 0.0" : (l == 1 && m == 0 ? "dipz   / 0.0" : (l == 1 ? "dipx   / dipy " : ""));
            out(k, "(1x,3x,i3,1x,i3,4x,f10.2,4x,f10.2,9x,a15)", l, m, float(mp.c[l][m]), float(mp.s[l][m]),
                pad(note, 15));
        }
    out(k, "(1x)");
    out(k, "(1x,a)", "  Units are electronic charge * Angstroms^l ");
}

// Report 10: accessible surface per atom.
void sasa_report(Kova& k, const PrintSettings& p) {
    MoleculeStore& m = k.mol;
    if (!sampling_ok(k, p) || !radii_ok(k, m.atsel)) return;
    if (const int bad = sasclc(m, m.atsel, p.srad, p.ncos, p.nphi); bad != 0) {
        msg(k, "ERROR: sasclc(010) Atom has too many neighbors");
        kvabort(k, error);
        return;
    }
    out(k, "(1x,a)", "SOLVENT ACCESSIBLE SURFACE AREA CALCUATION");
    out(k, "(1x,'  Solvent exclusion radius                (srad #.#):',f8.3)", p.srad);
    out(k, "(1x,'  Number of cosine theta points             (ncos #):',i8)", p.ncos);
    out(k, "(1x,'  Number of phi points                      (nphi #):',i8)", p.nphi);
    out(k, "(1x,'  Total number of points sampled per sphere         :',i8)", p.ncos * p.nphi);
    out(k, "(1x,'  Spherical angle assigned to each point(x1000)     :',f8.3)",
        float(4.0 * pi / (double(p.ncos) * p.nphi) * 1000.0));
    out(k, "(1x,' Atom',1x,'Name',1x,'Residue',10x,'VDW SA',2x,'Fraction',4x,'ACC SA')");
    double tv = 0, ta = 0;
    for (int a = 1; a <= atoms(k); ++a) {
        if (m.atsel[a] == 0) continue;
        const std::string_view ch(m.chain[a] ? &m.chain[a] : " ", 1);
        if (m.radi[a] == 0.0f)
            out(k, "(1x,i5,1x,a4,1x,a4,a1,i5,5x,f8.3,2x,'    NA    ',f8.3)", a, m.atnam[a].padded(),
                m.resnam[a].padded(), ch, m.resnum[a], m.vdwsa[a], m.accsa[a]);
        else
            out(k, "(1x,i5,1x,a4,1x,a4,a1,i5,5x,3(f8.3,2x))", a, m.atnam[a].padded(), m.resnam[a].padded(), ch,
                m.resnum[a], m.vdwsa[a], float(m.vdwsa[a] / (4.0 * pi * m.radi[a] * m.radi[a])), m.accsa[a]);
        tv += m.vdwsa[a], ta += m.accsa[a];
    }
    out(k, "(1x,'Total acces. surface  ',f12.3,8x,f12.3)", float(tv), float(ta));
}

// Report 15: surface totals of the dot surface.
void srsr_report(Kova& k, const PrintSettings& p) {
    MoleculeStore& m = k.mol;
    GridStore& g = k.mess;
    if (!radii_ok(k, m.atsel)) return;
    if (!(p.srad >= 0.0f && p.srad < 1.0e4f) || k.prk.nsph < 1) {
        msg(k, "SERIOUS: prt(092) surface totals need nsph from 1 and srad from 0: ",
            std::to_string(k.prk.nsph) + " " + value_text(p.srad));
        kvabort(k, serious);
        return;
    }
    // The dot surface covers the atoms of the electrostatics selection:
    // the chosen atoms, for this report only.
    const Arr1<int, maxatm> keep = g.isel;
    for (int a = 1; a <= maxatm; ++a) g.isel[a] = m.atsel[a];
    try {
        srsrf(k, k.prk.nsph, p.srad);
    } catch (...) {
        g.isel = keep;
        throw;
    }
    g.isel = keep;
    out(k, "(1x,'VDW contact surface area in srsrf:  ',f14.3)", m.srfnrg[0]);
    out(k, "(1x,'PROBE-CENTER surface area in srsrf: ',f14.3)", m.srfnrg[1]);
}

// Report 13: screened Coulomb energy between two molecules.
void mcou_report(Kova& k, const PrintSettings& p) {
    MoleculeStore& m = k.mol;
    for (int i : p.mols)
        if (i < 1 || i > m.nmol) {
            msg(k, "SERIOUS: prt(071) improper molecule number for mcou: ", std::to_string(i));
            kvabort(k, serious);
            return;
        }
    if (!(k.env.epsint > 0.0f)) {
        msg(k, "SERIOUS: prt(080) interior permittivity not set (elec sets it): no Coulomb energy");
        kvabort(k, serious);
        return;
    }
    if (!(p.rdeh > 0.0f)) {
        msg(k, "SERIOUS: prt(082) screening length rdeh must be positive: ", value_text(p.rdeh));
        kvabort(k, serious);
        return;
    }
    Arr1<int, maxatm> all;
    all.fill(1);
    ChargeSet a, b;
    if (!chosen_charges(k, all, m.fstatm[p.mols[0]], m.lstatm[p.mols[0]], a) ||
        !chosen_charges(k, all, m.fstatm[p.mols[1]], m.lstatm[p.mols[1]], b))
        return;
    bool coincident = false;
    const double s = screened_coulomb(a, b, p.rdeh, coincident);
    if (coincident) {
        msg(k, "SERIOUS: prt(081) two charges of the molecules lie at one point: the Coulomb energy is infinite");
        kvabort(k, serious);
        return;
    }
    // e^2/A over 4 pi epsint (e^2 ps^2/(amu A^3)) is in amu A^2/ps^2;
    // the listing gives kcal/mol.
    const double e = s / (4.0 * pi * double(k.env.epsint)) * kcal_per_internal;
    out(k, "(1x,2x,'Mols, energy (kcal/mole):',i5,i5,4x,e12.6)", p.mols[0], p.mols[1], float(e));
}

// Report 14: one dihedral angle.
void dihedral_report(Kova& k, const PrintSettings& p) {
    double phi = 0;
    if (!dhdclc(k, p.dat[0], p.dat[1], p.dat[2], p.dat[3], 1, phi)) return;
    if (!dihedral_defined(k, p.dat[0], p.dat[1], p.dat[2], p.dat[3])) {
        msg(k, "SERIOUS: prt(060) dihedral angle undefined: three of its atoms coincide or lie on one line");
        kvabort(k, serious);
        return;
    }
    out(k, "(1x,'DIHEDRAL ANGLE FOR ATOMS, ',i5,1x,i5,1x,i5,1x,i5,':',f8.3)", p.dat[0], p.dat[1], p.dat[2], p.dat[3],
        float(phi * rad2deg));
}

// Report 9: geometry of the chosen atoms. The excluded volume is counted on
// a 65 x 65 x 65 grid of its own over the box of the atoms grown by their
// radii and the probe (the electrostatics grid is not touched); the radial
// analysis steps outward from the centre of geometry along the ncos x nphi
// directions of the sphere sampling, on the same occupancy grid: a
// direction's radius is where it leaves the molecule for the last time
// (between the last step of rdel inside and the next, found by halving),
// and every return inside after a step outside counts as a hole.
void geometry_report(Kova& k, const PrintSettings& p) {
    const MoleculeStore& m = k.mol;
    if (!sampling_ok(k, p) || !radii_ok(k, m.atsel)) return;
    if (!(p.rdel > 0.0f && p.rdel < 1.0e4f)) {
        msg(k, "SERIOUS: prt(093) radial step rdel must lie between 0 and 10000 A: ", value_text(p.rdel));
        kvabort(k, serious);
        return;
    }
    out(k, "(1x,a)", "GEOMETRY ANALYSIS OF ATOM LIST");
    std::vector<int> list;
    double c[3] = {0, 0, 0};
    float lo[3] = {0, 0, 0}, hi[3] = {0, 0, 0};
    for (int a = 1; a <= atoms(k); ++a) {
        if (m.atsel[a] == 0) continue;
        const float r = m.radi[a] + p.srad, q[3] = {m.x[a], m.y[a], m.z[a]};
        for (int d = 0; d < 3; ++d) {
            lo[d] = list.empty() ? q[d] - r : std::min(lo[d], q[d] - r);
            hi[d] = list.empty() ? q[d] + r : std::max(hi[d], q[d] + r);
            c[d] += q[d];
        }
        list.push_back(a);
    }
    if (!list.empty())
        for (double& v : c) v /= double(list.size());
    double dmax = 0;
    for (int a : list)
        dmax = std::max(dmax, std::sqrt((m.x[a] - c[0]) * (m.x[a] - c[0]) + (m.y[a] - c[1]) * (m.y[a] - c[1]) +
                                        (m.z[a] - c[2]) * (m.z[a] - c[2])));
    out(k, "(1x,'  Center of geometry of atoms at (x,y,z)            :',f8.3,',',f8.3,',',f8.3)", float(c[0]),
        float(c[1]), float(c[2]));
    out(k, "(1x,'Max distance of any atom coord from center of geom:',f10.5)", float(dmax));
    static const char* const ext[3] = {"  Xmin, Xmax, Xmax-Xmin", "  Ymin, Ymax, Ymax-Ymin", "  Zmin, Zmax, Zmax-Zmin"};
    for (int d = 0; d < 3; ++d) out(k, "(1x,a23,29x,':',3f10.3)", ext[d], lo[d], hi[d], hi[d] - lo[d]);
    if (list.empty()) return;

    // Occupancy of the grid points inside some atom sphere (radius + probe).
    constexpr int n = 65;
    const float span = std::max({hi[0] - lo[0], hi[1] - lo[1], hi[2] - lo[2], 1.0e-3f});
    const double h = span / (n - 1);
    std::vector<unsigned char> in(size_t(n) * n * n, 0);
    for (int a : list) {
        const double r = m.radi[a] + p.srad, q[3] = {m.x[a], m.y[a], m.z[a]};
        int i0[3], i1[3];
        for (int d = 0; d < 3; ++d) {
            i0[d] = std::max(0, int(std::floor((q[d] - r - lo[d]) / h)));
            i1[d] = std::min(n - 1, int(std::ceil((q[d] + r - lo[d]) / h)));
        }
        for (int kz = i0[2]; kz <= i1[2]; ++kz)
            for (int jy = i0[1]; jy <= i1[1]; ++jy)
                for (int ix = i0[0]; ix <= i1[0]; ++ix) {
                    const double dx = lo[0] + ix * h - q[0], dy = lo[1] + jy * h - q[1], dz = lo[2] + kz * h - q[2];
                    if (dx * dx + dy * dy + dz * dz <= r * r) in[size_t(ix + n * (jy + n * kz))] = 1;
                }
    }
    long count = 0;
    for (unsigned char v : in) count += v;
    const double vol = count * h * h * h, reff = std::cbrt(3.0 * vol / (4.0 * pi));
    out(k, "(1x,'  Volume of molecule based on excluded volume       :',f12.3)", float(vol));
    out(k, "(1x,'  Effective Radius based on excluded volume         :',f12.3)", float(reff));

    out(k, "(1x,a)", "DOING RADIAL ANALYSIS OF ATOM LIST");
    auto inside = [&](double x, double y, double z) {
        const int ix = int(std::lround((x - lo[0]) / h)), jy = int(std::lround((y - lo[1]) / h)),
                  kz = int(std::lround((z - lo[2]) / h));
        if (ix < 0 || jy < 0 || kz < 0 || ix >= n || jy >= n || kz >= n) return false;
        return in[size_t(ix + n * (jy + n * kz))] != 0;
    };
    const double rmax = dmax + span;
    if (rmax / p.rdel > 1.0e5) {
        msg(k, "SERIOUS: prt(094) radial step rdel too small: more than 100000 steps outward: ", value_text(p.rdel));
        kvabort(k, serious);
        return;
    }
    double rmin = 1e30, rtop = 0, sum = 0, sum2 = 0;
    long holes = 0;
    const int ndir = p.ncos * p.nphi;
    for (int ia = 1; ia <= p.ncos; ++ia) {
        const double ct = (ia - 0.5) * (2.0 / p.ncos) - 1.0, st = std::sqrt(std::max(0.0, 1.0 - ct * ct));
        for (int ib = 1; ib <= p.nphi; ++ib) {
            const double ph = (ib - 1) * 2.0 * pi / p.nphi, u[3] = {st * std::cos(ph), st * std::sin(ph), ct};
            double last = 0;
            bool was_in = inside(c[0], c[1], c[2]), left = false;
            for (double r = p.rdel; r <= rmax; r += p.rdel) {
                const bool now = inside(c[0] + r * u[0], c[1] + r * u[1], c[2] + r * u[2]);
                if (now) {
                    if (left) ++holes;
                    last = r, left = false;
                } else if (was_in) {
                    left = true;
                }
                was_in = now;
            }
            // The last exit lies between the last step inside and the next
            // one: found by halving that interval.
            if (last > 0 || inside(c[0], c[1], c[2])) {
                double a = last, b = last + p.rdel;
                for (int it = 0; it < 20; ++it) {
                    const double mid = 0.5 * (a + b);
                    (inside(c[0] + mid * u[0], c[1] + mid * u[1], c[2] + mid * u[2]) ? a : b) = mid;
                }
                last = a;
            }
            rmin = std::min(rmin, last), rtop = std::max(rtop, last), sum += last, sum2 += last * last;
        }
    }
    const double mean = sum / ndir, var = ndir > 1 ? std::max(0.0, (sum2 - ndir * mean * mean) / (ndir - 1)) : 0.0;
    out(k, "(1x,'  Minimum radius                                    :',f10.3)", float(rmin));
    out(k, "(1x,'  Maximum radius                                    :',f10.3)", float(rtop));
    out(k, "(1x,'  Average radius and deviation                      :',2f10.3)", float(mean), float(std::sqrt(var)));
    out(k, "(1x,'  Number of holes met stepping outward              :',i10)", holes);
}

// Report 8: spherically averaged potential about the centre of molecule 1.
void bsfc_report(Kova& k, const PrintSettings& p) {
    const MoleculeStore& m = k.mol;
    const GridStore& g = k.mess;
    if (!sampling_ok(k, p)) return;
    if (m.nmol < 1 || !g.phiset || g.phibad) {
        msg(k, "SERIOUS: prt(100) no potential on the grid or no molecule 1: run elec first");
        kvabort(k, serious);
        return;
    }
    if (!(p.rdel > 0.0f) || !(p.rlow >= 0.0f) || !(p.rhig < 1.0e6f)) {
        msg(k, "SERIOUS: prt(101) radial stepping needs rlow from 0 and rdel above 0: ",
            value_text(p.rlow) + " " + value_text(p.rdel));
        kvabort(k, serious);
        return;
    }
    const double kt = k.env.temp * 1.9872313 / 1000.0, q4 = kt / 4.0;
    out(k, "(1x,'  Radial stepping started at              (rlow #.#):',f8.3)", p.rlow);
    out(k, "(1x,'  Radial stepping set to stop at          (rhig #.#):',f8.3)", p.rhig);
    out(k, "(1x,'  Distance between radial steps           (rdel #.#):',f8.3)", p.rdel);
    out(k, "(1x,'  Number of cosine theta intervals        (ncos #.#):',i8)", p.ncos);
    out(k, "(1x,'  Number of phi intervals                 (nphi #.#):',i8)", p.nphi);
    out(k, "(1x)");
    out(k, "(1x,'Dist   Average Std Dev Maximum Minimum Max-Min ','+/- kT/4')");
    struct Row {
        float r;
        double hist[9];
    };
    std::vector<Row> rows;
    const long npts = long(p.ncos) * p.nphi;
    for (int step = 0;; ++step) {
        const float r = p.rlow + float(step) * p.rdel;
        if (!(r <= p.rhig)) break;
        if (rows.size() == 200) {
            msg(k, "WARNING: prt(102) spherically averaged potential stops at 200 radii");
            kvabort(k, warning);
            break;
        }
        double sum = 0, sum2 = 0, vmax = -1e30, vmin = 1e30, within = 0;
        Row row{r, {}};
        bool off = false;
        for (int ia = 1; ia <= p.ncos && !off; ++ia) {
            const double ct = (ia - 0.5) * (2.0 / p.ncos) - 1.0, st = std::sqrt(std::max(0.0, 1.0 - ct * ct));
            for (int ib = 1; ib <= p.nphi; ++ib) {
                const double ph = (ib - 1) * 2.0 * pi / p.nphi;
                const GridCoord gc = xyzijk(float(m.molcx[1] + r * st * std::cos(ph)),
                                            float(m.molcy[1] + r * st * std::sin(ph)), float(m.molcz[1] + r * ct),
                                            g.h, g.xo, g.yo, g.zo);
                if (gc.i < 1 || gc.j < 1 || gc.k < 1 || gc.i > g.nx - 1 || gc.j > g.ny - 1 || gc.k > g.nz - 1) {
                    off = true;
                    break;
                }
                double v = 0;
                for (int c = 0; c < 8; ++c) {
                    const int di = c & 1, dj = (c >> 1) & 1, dk = (c >> 2) & 1;
                    const double w = (di ? gc.fx : 1 - gc.fx) * (dj ? gc.fy : 1 - gc.fy) * (dk ? gc.fz : 1 - gc.fz);
                    v += w * g.phi[size_t(g.index(gc.i + di, gc.j + dj, gc.k + dk))];
                }
                const double e = kcal_per_internal * v;
                sum += v, sum2 += v * v, vmax = std::max(vmax, v), vmin = std::min(vmin, v);
                if (std::fabs(e) <= q4) within += 1;
                const double t = std::isfinite(e) ? std::clamp(e / q4, -10.0, 10.0) : 0.0;
                const int bin = std::clamp(int(std::lround(t)) + 5, 1, 9);
                row.hist[bin - 1] += 1.0 / double(npts);
            }
        }
        if (off) {
            out(k, "(1x,'  Stepped off grid at',f8.3)", r);
            break;
        }
        const double mean = sum / npts;
        const double sd = npts > 1 ? std::sqrt(std::max(0.0, (sum2 - npts * mean * mean) / (npts - 1))) : 0.0;
        const float f = kcal_per_internal;
        out(k, "(1x,6(f7.2,1x),f7.4)", r, float(f * mean), float(f * sd), float(f * vmax), float(f * vmin),
            float(f * (vmax - vmin)), float(within / npts));
        rows.push_back(row);
    }
    out(k, "(1x)");
    out(k, "(1x,a)", "  Electrostatic Potential Histogram");
    out(k, "(1x,' Dist  -kT   -3kT/4  -kT/2  -kT/4   ','0      kT/4   kT/2  3kT/4   kT')");
    for (const Row& row : rows)
        out(k, "(1x,f6.2,9(1x,f6.4))", row.r, float(row.hist[0]), float(row.hist[1]), float(row.hist[2]),
            float(row.hist[3]), float(row.hist[4]), float(row.hist[5]), float(row.hist[6]), float(row.hist[7]),
            float(row.hist[8]));
}

// Report 11: reaction surface area and volume of the reaction criteria.
// The volume is counted on a grid of the dime dimensions over the box of
// the counted surface points, one spacing for all axes (the largest extent
// over its points less one); the electrostatics grid geometry is saved and
// restored around it, its maps are not touched.
void reaction_volume_report(Kova& k, const PrintSettings& p, bool stps) {
    const MoleculeStore& m = k.mol;
    const ReactionStore& r = k.rxn;
    if (!sampling_ok(k, p) || !radii_ok(k, m.atsel)) return;
    for (int s = 1; s <= r.nsite; ++s)
        for (int c = 1; c <= r.ncrit[size_t(s)]; ++c) {
            const int a = r.patom[size_t(s)][size_t(c)];
            if (a < 1 || a > atoms(k)) {
                msg(k, "SERIOUS: prt(110) reaction criterion atom not loaded: ", std::to_string(a));
                kvabort(k, serious);
                return;
            }
        }
    auto meets_site = [&](int s, double x, double y, double z) {
        for (int c = 1; c <= r.ncrit[size_t(s)]; ++c) {
            const int a = r.patom[size_t(s)][size_t(c)];
            const double d = r.pdist[size_t(s)][size_t(c)] + 0.0001;
            const double dx = x - m.x[a], dy = y - m.y[a], dz = z - m.z[a];
            if (dx * dx + dy * dy + dz * dz > d * d) return false;
        }
        return true;
    };
    std::vector<int> chosen;
    for (int a = 1; a <= atoms(k); ++a)
        if (m.atsel[a] != 0) chosen.push_back(a);
    auto outside_atoms = [&](double x, double y, double z) {
        for (int a : chosen) {
            const double rr = m.radi[a] + p.srad, dx = x - m.x[a], dy = y - m.y[a], dz = z - m.z[a];
            if (dx * dx + dy * dy + dz * dz < rr * rr) return false;
        }
        return true;
    };
    out(k, "(1x,a)", "REACTION SURFACE AREA ANALYSIS");
    out(k, "(1x,'  Number of cosine theta points             (ncos #):',i8)", p.ncos);
    out(k, "(1x,'  Number of phi points                      (nphi #):',i8)", p.nphi);
    const double w = (2.0 / p.ncos) * (2.0 * pi / p.nphi);
    float lo[3] = {0, 0, 0}, hi[3] = {0, 0, 0};
    long counted = 0;
    for (int s = 1; s <= r.nsite; ++s) {
        double total = 0;
        for (int c = 1; c <= r.ncrit[size_t(s)]; ++c) {
            const int a = r.patom[size_t(s)][size_t(c)];
            const double d = r.pdist[size_t(s)][size_t(c)];
            double area = 0;
            for (int ia = 1; ia <= p.ncos; ++ia) {
                const double ct = (ia - 0.5) * (2.0 / p.ncos) - 1.0, st = std::sqrt(std::max(0.0, 1.0 - ct * ct));
                for (int ib = 1; ib <= p.nphi; ++ib) {
                    const double ph = (ib - 1) * 2.0 * pi / p.nphi;
                    const double x = m.x[a] + d * st * std::cos(ph), y = m.y[a] + d * st * std::sin(ph),
                                 z = m.z[a] + d * ct;
                    if (!meets_site(s, x, y, z) || !outside_atoms(x, y, z)) continue;
                    area += d * d * w;
                    const float q[3] = {float(x), float(y), float(z)};
                    for (int e = 0; e < 3; ++e) {
                        lo[e] = counted == 0 ? q[e] : std::min(lo[e], q[e]);
                        hi[e] = counted == 0 ? q[e] : std::max(hi[e], q[e]);
                    }
                    ++counted;
                }
            }
            out(k, "(1x,'  For msite,nsite ',i3,',',i3,'     surface area is :',6x,f8.3)", s, c, float(area));
            total += area;
        }
        out(k, "(1x,'  Total reaction surface area for msite ',i3,'  is  :',3x,f8.3)", s, float(total));
    }
    out(k, "(1x,a)", "GEOMETRY ANALYSIS OF REACTION VOLUME");
    static const char* const ext[3] = {"  Xmin, Xmax, Xmax-Xmin", "  Ymin, Ymax, Ymax-Ymin", "  Zmin, Zmax, Zmax-Zmin"};
    for (int d = 0; d < 3; ++d) out(k, "(1x,a23,29x,':',3f10.3)", ext[d], lo[d], hi[d], hi[d] - lo[d]);
    const int nx = p.dime[0], ny = p.dime[1], nz = p.dime[2];
    if (!grid_fits(nx, ny, nz, 274625) || nx < 2 || ny < 2 || nz < 2) {
        // The product as asked for, held below the 64-bit limit.
        const double n = std::min(double(nx) * double(ny) * double(nz), 9.0e18);
        out(k, "(1x,'WARNING: rvlclc(010) max number grid points:',i8)", std::int64_t(n));
        if (k.flags.bomb <= 2) kvabort(k, warning);
        return;
    }
    double h = 0;
    for (int d = 0; d < 3; ++d) h = std::max(h, double(hi[d] - lo[d]) / (p.dime[d] - 1));
    if (!(h > 0)) h = 1.0;
    pushms(k);
    std::vector<float> map(size_t(nx) * ny * nz + 1, 0.0f);
    std::vector<std::array<float, 3>> starts;
    long nvol = 0;
    for (int kz = 1; kz <= nz; ++kz)
        for (int jy = 1; jy <= ny; ++jy)
            for (int ix = 1; ix <= nx; ++ix) {
                const double x = lo[0] + (ix - 1) * h, y = lo[1] + (jy - 1) * h, z = lo[2] + (kz - 1) * h;
                bool in = false;
                for (int s = 1; s <= r.nsite && !in; ++s) in = meets_site(s, x, y, z);
                if (!in || !outside_atoms(x, y, z)) continue;
                map[size_t(ix + nx * (jy - 1) + nx * ny * (kz - 1))] = 1.0f;
                starts.push_back({float(x), float(y), float(z)});
                ++nvol;
            }
    popms(k);
    out(k, "(1x,'  Reaction Volume',36x,':',f8.3)", float(nvol * h * h * h));
    if (stps) {
        std::string name = k.files.strname;
        kvopen(k, k.files.strunit, name, true);
        for (const auto& s : starts) fwrite(k, k.files.strunit, "(1x,3(f8.3,3x))", s[0], s[1], s[2]);
        k.units.close(k.files.strunit);
        out(k, "(1x,'  Number of possible starting positions written',7x,':',i8)", std::int64_t(starts.size()));
    }
    if (p.file != "noprint")
        outgrd(k, p.file, k.files.wrunit, 1, "Reaction Volume", nx, ny, nz, float(h), float(lo[0] - h),
               float(lo[1] - h), float(lo[2] - h), 7, map.data(), 1.0f, 1);
}

}  // namespace

void prt(Kova& k) {
    MoleculeStore& m = k.mol;
    GridStore& g = k.mess;
    const int in = k.files.inunit;
    for (int a = 1; a <= maxatm; ++a) m.atsel[a] = 0;
    for (int i = 1; i <= maxmol; ++i) m.molsel[i] = 0;
    PrintSettings p;
    std::string quantity = "energy";
    bool anal = false;
    bool refused = false;  // a value was refused: no report
    bool stps = false;     // a start-position file was named

    for (;;) {
        const std::string w = getnam(k, in, "Print");
        if (w == "end") break;
        const std::string_view w4 = std::string_view(w).substr(0, 4);
        if (w4 == "sele") {
            sele(k, m.atsel);
            for (int a = 1; a <= maxatm; ++a) g.isel[a] = m.atsel[a];
        } else if (w4 == "prox") {
            prox(k, m.atsel);
            for (int a = 1; a <= maxatm; ++a) g.isel[a] = m.atsel[a];
        } else if (w4 == "mol1") {
            choose_molecule(k, 1);
        } else if (w4 == "mol2") {
            choose_molecule(k, 2);
        } else if (w == "mol" || w4 == "mole") {
            choose_molecule(k, getint(k, in, "Read"));
        } else if (w4 == "iflx") {
            const int u = getint(k, in, "Print");
            if (u < 1 || u > std::min(m.units.nunit, maxdfu)) {
                msg(k, "SERIOUS: prt(030) no such diffusing unit: ", std::to_string(u));
                kvabort(k, serious);
                refused = true;
                continue;
            }
            p.unitsel[u] = true;
        } else if (w.substr(0, 3) == "all") {
            for (int a = 1; a <= atoms(k); ++a) m.atsel[a] = 1;
            for (int i = 1; i <= std::min(m.nmol, maxmol); ++i) m.molsel[i] = 1;
            for (int u = 1; u <= std::min(m.units.nunit, maxdfu); ++u) p.unitsel[u] = true;
        } else if (w4 == "apar" || w4 == "coor") {
            p.report = apar;
        } else if (w4 == "rpar") {
            p.report = rpar;
        } else if (w4 == "mpar") {
            p.report = mpar;
        } else if (w4 == "spar") {
            p.report = spar;
        } else if (w4 == "upar") {
            p.report = upar;
        } else if (w4 == "amul") {
            p.report = amul;
        } else if (w4 == "smul") {
            p.report = smul;
        } else if (w4 == "bsfc") {
            p.report = bsfc;
        } else if (w4 == "geom") {
            p.report = geom;
        } else if (w4 == "sasa") {
            p.report = sasa;
        } else if (w4 == "srsr") {
            p.report = srsr;
        } else if (w4 == "rxnv") {
            p.report = rxnv;
        } else if (w4 == "elec") {
            p.report = elec_report;
        } else if (w4 == "dihe") {
            p.report = dihe;
        } else if (w4 == "mcou") {
            p.mols[0] = getint(k, in, "Print");
            p.mols[1] = getint(k, in, "Print");
            p.report = mcou;
        } else if (w4 == "orde") {
            k.prk.order = getint(k, in, "Print");
        } else if (w4 == "nsph") {
            k.prk.nsph = getint(k, in, "Print");
        } else if (w4 == "nphi") {
            p.nphi = getint(k, in, "Print");
        } else if (w4 == "ncos") {
            p.ncos = getint(k, in, "Print");
        } else if (w4 == "cent") {
            for (float& v : p.centre) v = getnum(k, in, "Print");
            p.centre_given = true;
        } else if (w4 == "srad") {
            p.srad = getnum(k, in, "Print");
        } else if (w4 == "rlow") {
            p.rlow = getnum(k, in, "Print");
        } else if (w4 == "rhig") {
            p.rhig = getnum(k, in, "Print");
        } else if (w4 == "rdel") {
            p.rdel = getnum(k, in, "Print");
        } else if (w4 == "rdeh") {
            p.rdeh = getnum(k, in, "Print");
        } else if (w4 == "file") {
            p.file = getfil(k, in, "Print");
        } else if (w4 == "stps") {
            k.files.strname = getfil(k, in, "Print");
            k.bdrun.stpson = true;  // the next bd run reads its start positions there
            stps = true;
        } else if (w4 == "dime") {
            for (int& d : p.dime) d = getint(k, in, "Print");
        } else if (w4 == "defr") {
            if (!dfrxst(k, false)) refused = true;
        } else if (w4 == "atnu") {
            for (int& a : p.dat) a = getint(k, in, "Print");
        } else if (w4 == "dihn") {
            const int d = getint(k, in, "Print");
            const Topology& t = k.ff.top;
            if (d < 1 || d > t.ndih) {
                msg(k, "SERIOUS: prt(061) dihedral number not in the topology: ", std::to_string(d));
                kvabort(k, serious);
                refused = true;
                continue;
            }
            p.dat[0] = t.idih[d], p.dat[1] = t.jdih[d], p.dat[2] = t.kdih[d], p.dat[3] = t.ldih[d];
        } else if (w4 == "ener") {
            quantity = "energy";
        } else if (w4 == "forc" || w4 == "qefo") {
            quantity = "qeforc";
        } else if (w4 == "zfor") {
            quantity = "zforce";
        } else if (w4 == "tfor") {
            quantity = "tforce";
        } else if (w4 == "dfor") {
            quantity = "dforce";
        } else if (w4 == "ifor") {
            quantity = "iforce";
        } else if (w4 == "zene") {
            quantity = "zenerg";
        } else if (w4 == "tene") {
            quantity = "tenerg";
        } else if (w4 == "phiw") {
            quantity = "phiwri";
        } else if (w4 == "phis") {
            quantity = "phisav";
        } else if (w4 == "phiz") {
            quantity = "phizer";
        } else if (w4 == "phin") {
            quantity = "phinrg";
        } else if (w4 == "gfor") {
            quantity = "gforce";
        } else if (w4 == "self") {
            quantity = "self";
        } else if (w4 == "fdco") {
            quantity = "fdco";
        } else if (w4 == "anal") {
            anal = true;
        } else if (w4 == "noan") {
            anal = false;
        } else if (w4 == "mask" || w4 == "imas") {
            // The energy box of the full nonlinear energy: centre and
            // half-widths; mask keeps only the box, imas leaves it out. The
            // values become grid indices: a centre beyond 10000 A or a
            // half-width outside 0 to 10000 A (or not a number) is refused,
            // and so is the report, rather than computed on a box that
            // cannot be meant.
            float v[6];
            for (float& d : v) d = getnum(k, in, "Print");
            bool ok = true;
            for (int d = 0; d < 6 && ok; ++d) {
                const bool centre = d < 3;
                if (centre ? std::fabs(v[d]) <= maxbox : v[d] >= 0.0f && v[d] <= maxbox) continue;
                char text[32];
                std::snprintf(text, sizeof text, "%g", static_cast<double>(v[d]));
                msg(k, centre ? "SERIOUS: prt(050) Energy box centre must lie within 10000 A of the origin: "
                              : "SERIOUS: prt(051) Energy box half-width must lie between 0 and 10000 A: ",
                    text);
                ok = false;
            }
            if (!ok) {
                g.energy_switches = {false, false};
                refused = true;
                kvabort(k, serious);
                continue;
            }
            for (int d = 0; d < 6; ++d) g.energies[d] = v[d];
            g.energy_switches = {w4 == "mask", w4 == "imas"};
        } else {
            msg(k, "SERIOUS: prt(010) unknown keyword: ", w);
            if (k.flags.bomb <= 3) kvabort(k, serious);
        }
    }

    if (refused) return;
    static const char* const titles[16] = {"",
                                           "PRINTING ATOMIC PARAMETER INFORMATION",
                                           "PRINTING ATOMIC PARAMETER INFORMATION BY RESIDUE",
                                           "PRINTING MOLECULAR PARAMETER INFORMATION",
                                           "PRINTING SUBUNIT PARAMETER INFORMATION",
                                           "PRINTING UNIT PARAMETER INFORMATION",
                                           "PRINTING MULTIPOLE BASED ON ATOMIC CHARGES",
                                           "PRINTING MULTIPOLE BASED ON SUBUNIT CHARGES",
                                           "PRINTING SPHERICALLY AVERAGED POTENTIAL",
                                           "PRINTING GEOMETRICAL QUANTITIES FOR ATOMS",
                                           "PRINTING SOLVENT ACCESIBLE SURFACE AREA FOR ATOMS",
                                           "PRINTING REACTION SURFACE AREA/VOLUME",
                                           "PRINTING ELECTROSTATICS",
                                           "PRINTING MOLECULE-MOLECULE COULOMBIC INTERACTION",
                                           "",
                                           "PRINTING SOLVENT ACCESIBLE SURFACE AREA FOR ATOMS"};
    out(k, "(1x)");
    out(k, "(1x,a)", "PRINT MODULE");
    if (p.report != none && titles[p.report][0] != 0) out(k, "(1x,a)", titles[p.report]);
    switch (p.report) {
        case apar: atomic_parameters(k); break;
        case rpar: residue_parameters(k); break;
        case mpar: molecule_parameters(k); break;
        case elec_report: {
            // The analytic switch of the report chooses the analytic energy
            // for this listing only.
            const bool keep = g.anal;
            g.anal = anal;
            try {
                prtele(k, quantity, k.prk.nsph, m.atsel);
            } catch (...) {
                g.anal = keep;
                throw;
            }
            g.anal = keep;
            break;
        }
        case spar:
        case upar:
            for (int u = 1; u <= std::min(m.units.nunit, maxdfu); ++u)
                if (p.unitsel[u]) (p.report == spar ? prtsub : prtunit)(k, u);
            break;
        case amul: {
            ChargeSet set;
            if (chosen_charges(k, m.atsel, 1, atoms(k), set)) multipole_report(k, set, p);
            break;
        }
        case smul: {
            ChargeSet set;
            for (int u = 1; u <= std::min(m.units.nunit, maxdfu); ++u)
                if (p.unitsel[u])
                    for (int s = std::max(m.units.ifsub[u], 1); s <= std::min(m.units.ilsub[u], maxsub); ++s)
                        set.add(m.sbx[s], m.sby[s], m.sbz[s], m.sbchg[s]);
            multipole_report(k, set, p);
            break;
        }
        case bsfc: bsfc_report(k, p); break;
        case geom: geometry_report(k, p); break;
        case sasa: sasa_report(k, p); break;
        case srsr: srsr_report(k, p); break;
        case rxnv: reaction_volume_report(k, p, stps); break;
        case mcou: mcou_report(k, p); break;
        case dihe: dihedral_report(k, p); break;
        default: break;
    }
    out(k, "(1x)");
    out(k, "(1x)");
}

}  // namespace kova
