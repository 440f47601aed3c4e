// The molecular-mechanics force field of the run: topology (bonds, angles,
// dihedrals, impropers, non-bonded pairs, per-atom types and Lennard-Jones
// values, exclusion and 1-4 lists, type-pair corrections), the non-bonded
// list settings and the grid interaction term, the generalized-Born store,
// the working coordinates and forces, and the energy slots that one forces
// evaluation fills. Flat 1-based arrays of fixed capacity; the parameter
// arrays of each interaction kind are kept apart (structure of arrays) so
// that the term loops stream over them.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "kova_config.hpp"
#include "mech/dynamics.hpp"
#include "molecule/store.hpp"

namespace kova {

// Capacities of the topology.
constexpr int maxbnd = 4000;    // bonds
constexpr int maxang = 7000;    // angles
constexpr int maxdih = 9000;    // proper dihedrals
constexpr int maximp = 7000;    // improper dihedrals
constexpr int maxpair = 20000;  // non-bonded pairs
constexpr int maxxcl = 20;      // exclusion partners (1-2, 1-3) of one atom
constexpr int max14 = 40;       // 1-4 partners of one atom
constexpr int maxfix = 14;      // type-pair corrections (nbfix)
constexpr int maxgpt = maxgrd * maxgrd * maxgrd;  // points of one interaction grid

// The energy slots of one evaluation, kcal/mol, single precision. The total
// is the sum of the terms in the order listed from ebnd to egb.
enum EnergyTerm {
    etot,
    ebnd, eang, edih, eimp, evdw, eelec, epbsol, edcon, eicon, eball,
    egrd,     // grid interaction, total
    egrdrep,  // grid interaction, van der Waals repulsion
    egrdatt,  // grid interaction, van der Waals attraction
    egrdele,  // grid interaction, Coulomb
    esurf, egb,
    // splits between molecules 1 and 2 (when the store holds exactly two)
    evdw11, evdw12, evdw22, eel11, eel12, eel22, edih1, edih2,
    nterms
};

// Topology (mdtopi, mdtopr): the interaction lists and per-atom data.
struct Topology {
    int nbnd = 0, nang = 0, ndih = 0, npair = 0, nimp = 0;

    // Bonds: atoms, force constant (kcal/mol/A^2), equilibrium length (A).
    Arr1<int, maxbnd> ibnd{}, jbnd{};
    Arr1<float, maxbnd> kbnd{}, bnd0{};
    // Angles i-j-k (j the vertex): force constant (kcal/mol/rad^2),
    // equilibrium angle (rad).
    Arr1<int, maxang> iang{}, jang{}, kang{};
    Arr1<float, maxang> kth{}, th0{};
    // Proper dihedrals: force constants (kcal/mol), multiplicity, phase (rad).
    Arr1<int, maxdih> idih{}, jdih{}, kdih{}, ldih{};
    Arr1<float, maxdih> kphi{}, kphi2{}, kphi3{}, pn{}, phase{};
    // Improper dihedrals: force constant (kcal/mol/rad^2), equilibrium angle (rad).
    Arr1<int, maximp> iimp{}, jimp{}, kimp{}, limp{};
    Arr1<float, maximp> kpsi{}, psi0{};
    // Non-bonded pairs: Lennard-Jones sigma (A) and epsilon (kcal/mol), charge
    // product (e^2, halved for 1-4 pairs).
    Arr1<int, maxpair> ipr{}, jpr{};
    Arr1<float, maxpair> prsig{}, preps{}, prqq{};

    // Per atom: force-field type and Lennard-Jones values. ljpar[1] is the
    // well depth epsilon (kcal/mol; the sign is not used, CHARMM files write
    // it negative), ljpar[2] half the distance of the minimum, Rmin/2 (A);
    // ljpar[3], ljpar[4] the same for 1-4 pairs (0 when the atom has none).
    Arr1<Name4, maxatm> attyp{};
    Arr1<Arr1<float, maxatm>, 4> ljpar{};
    // Exclusion list (partners one or two bonds away) and 1-4 list (three
    // bonds away) of each atom: counts and partners, 1-based.
    Arr1<int, maxatm> nexcl{}, nb14{};
    Arr1<Arr1<int, maxxcl>, maxatm> iexcl{};
    Arr1<Arr1<int, max14>, maxatm> i14{};

    // Type-pair corrections: the two types, epsilon (sign not used) and the
    // full Rmin of the pair (A). nfix counts the entries read.
    int nfix = 0;
    Arr1<Name4, maxfix> fixt1{}, fixt2{};
    Arr1<float, maxfix> fixeps{}, fixrmin{};

    // Real (explicit) atoms, beside the live flags of the molecule store:
    // 1 for every atom until the real command marks some as grid atoms.
    Arr1<int, maxatm> ireal{};
    // Residues for the residue-based list: count, first atom of each (the
    // last is the next one's first minus 1, natom for the last) and a
    // reference point (centre of geometry) per residue.
    int nres = 0;
    Arr1<int, maxatm> resfst{};
    Arr1<float, maxatm> resx{}, resy{}, resz{};

    // The molecules whose topology has been read (new layout), and the
    // molecule named by the last mol keyword of rdtop (0: none yet).
    Arr1<bool, maxmol> toprd{};
    int rdmol = 0;

    // Proper dihedrals: 1 selects the three-term cosine series (kphi, kphi2,
    // kphi3), otherwise one cosine of multiplicity pn and phase. ndih1 counts
    // the dihedrals of molecule 1 for the per-molecule split.
    int ifour = 0;
    int ndih1 = 0;
    // Soft-start factors: dihedral and angle scale, pair distance shift (A),
    // and the Coulomb factor of pairs between molecules 1 and 2.
    float sdih = 1.0f, sang = 1.0f, rshift = 0.0f, emscl = 1.0f;

    // Dihedral restraints: proper dihedral number, force constant
    // (kcal/mol/rad^2), target (rad). Improper restraints: four atoms,
    // force constant (kcal/mol/rad^2), target (rad).
    int ndcon = 0, nicon = 0;
    Arr1<int, maxdih> idcon{};
    Arr1<float, maxdih> kdcon{}, phcon{};
    Arr1<int, maximp> iicon{}, jicon{}, kicon{}, licon{};
    Arr1<float, maximp> kicn{}, psicon{};

    Topology() { ireal.fill(1); }
};

// Settings of the non-bonded list and of the pair and grid terms (parts of
// mdpar_update, mdpari, mdparr).
struct NonBonded {
    int nbupd = 0;         // update interval
    float cutnb = 9999.0f; // cutoff (A)
    int lresb = 0;         // 0 atom-based, 1 residue-based
    int irdie = 0;         // distance-dependent dielectric switch
    float rdie = 1.0f;     // its factor: eps = rdie r
};

// The grid interaction term (nbgrd1): three potential grids of the grid
// atoms, point (ix, iy, iz) at ix + ixg ((iy - 1) + iyg (iz - 1)), and the
// coefficients of the real atoms.
struct InteractionGrid {
    bool lgrid = false;  // term on (a grid was built by the last nblist)
    int ixg = 0, iyg = 0, izg = 0;
    std::vector<float> grdrep, grdatt, grdele;  // maxgpt + 1 each, 1-based
    float xo = 0, yo = 0, zo = 0;               // origin
    float gxmin = 99999.0f, gymin = 99999.0f, gzmin = 99999.0f;
    float gxmax = -99999.0f, gymax = -99999.0f, gzmax = -99999.0f;
    Arr1<float, maxatm> gbcoef{}, gacoef{}, gqcoef{};
    float gridsp = 0.0f;
    float gmargin = 0.0f;
    std::string boxfil = "none";

    InteractionGrid() : grdrep(maxgpt + 1), grdatt(maxgpt + 1), grdele(maxgpt + 1) {}
    long point(int ix, int iy, int iz) const { return ix + long(ixg) * ((iy - 1) + long(iyg) * (iz - 1)); }
};

// Generalized Born (gbnpar, gbnparl, pairr, gbnr).
struct GBStore {
    static constexpr float phi = -0.09f;  // dielectric offset (A)
    std::array<float, 6> p{};             // P1..P5 (p[0] unused)
    bool usegb = false;    // the forces evaluation adds the term
    bool ideal = true;     // bond and angle distances from equilibrium values
    bool detail = false;   // per-atom tables
    bool live = false;     // non-live pairs folded into the self terms at init
    std::string mode;      // "calc", "init" or blank (flagsd)
    Arr1<double, maxatm> vol{}, self{};  // volume (A^3), single-atom term (kcal/mol)
    Arr1<float, maxatm> alpha{};         // Born radius (A)

    void defaults() {
        p = {0.0f, 0.073f, 0.9212f, 6.2105f, 15.2358f, 1.2535f};
        ideal = true, detail = false, live = false;
    }
    GBStore() { defaults(); }
};

// Step bookkeeping and switches of the evaluation that the pair-list and
// grid routines read (mdpari, mdparl, mdparq, mdtops).
struct EvalState {
    int istep = 0;
    int iconv = 0;       // 2 tells a driver to stop
    bool nofrc = false;  // energies only
    float slig = 1.0f;   // size factor of molecule 1 about its centre

    // Terms on or off: bonds, angles, proper and improper dihedrals, van der
    // Waals and Coulomb pairs, the two Poisson-Boltzmann terms.
    bool lbnd = true, lang = true, ldih = true, limp = true;
    bool lvdw = true, leel = true, ldbf = true, lqe = true;
    bool lanal = true;    // analytic derivatives, else central differences
    bool lfirst = true;   // first evaluation of a series
    bool lpbnew = false;  // the Poisson-Boltzmann grids must be recomputed
    float pbspc = 0.0f;   // grid spacing of the last Poisson-Boltzmann term (A)
    float fdstep = 1.0e-5f;  // finite-difference step (A)
    float gfrac = 0.7f;
    float pbmove = 1.0e9f;   // squared displacement for new PB grids (A^2)
    int npbupd = 1, nconv = 0;

    // Ball restraint of molecule 1: per atom, or on its centre (lballc).
    bool lball = false, lballc = false;
    std::array<float, 3> ballc{};
    float kball = 0.0f;

    // Convergence record of the drivers: first step at which convergence
    // may be declared, energy-change tolerance, escape distance of
    // molecule 1 from the reference centre.
    int minstp = 0;
    float detol = 0.0f, rescape = 0.0f;
    float elast = 0.0f;    // total at the previous convergence test
    float emin = 99999.0f; // lowest total less the ball term seen so far

    // Surface term: 0 off, 1 or 2 which area; energy per unit area
    // (kcal/mol/A^2), probe radius (A), dots per sphere.
    int isrf = 0;
    float srff = 0.025f, srfprb = 1.4f;
    int nsphe = 50;
};

// The Poisson-Boltzmann solvation term between grid solutions: the energy
// (kcal/mol) and per-atom forces (kcal/mol/A, laid out as frc) of the last
// solution, from which the term is extrapolated until the next one; the
// number of solutions made; and the statistics the dynamics report reads
// (solutions since its last reset, grid spacings, and per atom the sums of
// the reaction potential and of its square, internal units per e).
struct PBTerm {
    bool saved = false;  // a solution exists for natom atoms
    int natom = 0;
    float esaved = 0.0f;
    std::vector<double> fpb = std::vector<double>(3 * maxatm);
    long nsolve = 0;
    int npbcalc = 0;
    float hmin = 0.0f, hsum = 0.0f, hmax = 0.0f;
    Arr1<double, maxatm> phiacc{}, phi2acc{};
};

struct ForceField {
    PBTerm pb;
    Topology top;
    NonBonded nb;
    InteractionGrid grid;
    GBStore gb;
    EvalState ev;
    EmStore em;  // minimisation settings and progress
    MdStore md;  // dynamics: velocities, run settings, statistics, trajectory output
    // Working coordinates (A) and forces (kcal/mol/A, the negative
    // gradient; x, y, z of atom 1 first), double precision (mdtopr8).
    Arr1<double, maxatm> xd{}, yd{}, zd{};
    std::vector<double> frc = std::vector<double>(3 * maxatm);
    std::array<float, nterms> e{};  // energy slots (mdparr)
    // Coordinates at the last Poisson-Boltzmann solution (A).
    Arr1<double, maxatm> xpb{}, ypb{}, zpb{};

    double& f(int atom, int axis) { return frc[size_t(3 * (atom - 1) + axis)]; }
};

}  // namespace kova
