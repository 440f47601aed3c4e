// The molecule store: atoms of every molecule read, the reference
// structures, per-molecule summaries and the subunit table, in fixed-size
// 1-based arrays shared by every command.
#pragma once

#include <array>
#include <string>
#include <string_view>

#include "kova_config.hpp"

namespace kova {

// A name of up to four characters, blank-padded (atom and residue names).
struct Name4 {
    std::array<char, 4> c{' ', ' ', ' ', ' '};

    Name4() = default;
    // Takes the first four characters of s, blank-padded.
    explicit Name4(std::string_view s) {
        for (size_t i = 0; i < 4; ++i) c[i] = i < s.size() ? s[i] : ' ';
    }
    // The name without trailing blanks.
    std::string_view view() const {
        size_t n = 4;
        while (n > 0 && c[n - 1] == ' ') --n;
        return {c.data(), n};
    }
    std::string_view padded() const { return {c.data(), 4}; }
    bool operator==(const Name4&) const = default;
};

constexpr float unset = -9999.0f;  // marker of an atom slot never read or assigned
constexpr int maxref = maxmol;     // reference structures
constexpr int maxsym_basic = 10;   // basic symmetries of molecule 1
constexpr int maxsym_atoms = 100;  // atom entries per symmetry

template <class T, int N>
using Arr1 = std::array<T, N + 1>;  // 1-based: element 0 is unused

constexpr int maxubd = 40;  // bonds and bond angles of one diffusing unit
constexpr int maxhip = 15;  // hydrodynamic-interaction pairs of one unit
constexpr int maxcon = 30;  // distance constraints between subunits
constexpr int maxiup = 15;  // inter-unit pair definitions

// The diffusing units of Brownian dynamics: per unit (1..maxdfu) how its
// subunits are numbered and built, and the terms that hold them together.
// Energies and force constants in amu*A**2/ps**2, angles in radians.
struct UnitStore {
    int nunit = 0;
    Arr1<int, maxdfu> ifsub{}, ilsub{}, nsubu{}, icsub{};
    Arr1<int, maxdfu> nbond{}, nangl{}, ndihe{}, nfixs{};
    Arr1<Name4, maxdfu> cntyp{};
    Arr1<char, maxdfu> subpc{};
    Arr1<int, maxdfu> bndon{}, angon{}, cncor{}, exvmod{}, solmod{}, nnnbon{}, himod{};
    Arr1<float, maxdfu> hibc{};
    Arr1<bool, maxdfu> oldbmp{};
    std::array<Arr1<float, maxubd>, maxdfu + 1> b0{}, cb{}, t0{}, ct{};
    std::array<Arr1<int, maxubd>, maxdfu + 1> bdef{}, adef{};
    // Excluded-volume and side-chain/solvent energies and distances of each
    // subunit (1..maxsub, one numbering for all units).
    Arr1<float, maxsub> eval{}, rexv{}, sval{}, rsol{};
    // Centre atom of each subunit of a unit centred with cent atnu (0 otherwise).
    Arr1<int, maxsub> sbcen{};
    // Coefficients a0..a4 of the nearest-neighbour dihedral energy of each
    // dihedral of each unit (internal energy units), polynomial in cos(phi).
    std::array<std::array<std::array<float, 5>, maxubd + 1>, maxdfu + 1> nnnbc{};
    // Subunit pairs of each unit with hydrodynamic interaction.
    Arr1<int, maxdfu> hinum{};
    std::array<Arr1<int, maxhip>, maxdfu + 1> hif{}, hil{};
    // Distance constraints between subunits: the count in use (the next free
    // slot is ncnstr + 1), the two subunits and the distance of each; the
    // tolerance and the distance of automatic constraints.
    int ncnstr = 0;
    Arr1<int, maxcon> cnsub1{}, cnsub2{};
    Arr1<float, maxcon> cndist{};
    float toler = 0.0f, bcon = 0.0f;
    // Interactions between pairs of units (1..nfiun): the two units, the
    // hydrodynamic model and boundary factor, the excluded-volume and
    // side-chain/solvent modes and the pair's own energies and distances.
    int nfiun = 0;
    Arr1<int, maxiup> iupair1{}, iupair2{}, hiiu{}, exviu{}, soliu{};
    Arr1<float, maxiup> hibciu{}, evaliu{}, rexviu{}, svaliu{}, rsoliu{};
};

struct MoleculeStore {
    // molr
    Arr1<float, maxatm> x{}, y{}, z{};
    Arr1<float, maxatm> chrg{}, radi{}, mass{}, ljsig{}, ljeps{}, vdwsa{}, accsa{};
    Arr1<float, maxsub> sbx{}, sby{}, sbz{}, sbchg{}, sbrad{};
    Arr1<float, maxmol> molcx{}, molcy{}, molcz{}, qmol{}, molsiz{};
    std::array<float, 3> ligcen{};
    Arr1<float, maxatm> xref{}, yref{}, zref{};

    // moli
    int nmol = 0;
    int nref = 0;
    int natom = 0;
    Arr1<int, maxmol> fstatm{}, lstatm{};
    Arr1<int, maxref> reffst{}, reflst{};
    Arr1<int, maxatm> resnum{};
    int nsbtot = -9999;
    Arr1<int, maxatm> atsel{};
    Arr1<int, maxmol> molsel{};
    Arr1<int, maxatm> live{};  // live-atom flag, 1 for every atom until the live command
    Arr1<int, maxsub> sbfat{}, sblat{}, sbtype{}, sbfix{}, sbunit{};
    int natmd = 0;
    int nreal = 0;
    int nsym = 0;
    std::array<std::array<int, maxsym_atoms + 1>, maxsym_basic + 1> isym{};

    // molc
    Arr1<Name4, maxatm> resnam{}, atnam{};
    Arr1<char, maxatm> chain{};
    Arr1<Name4, maxsub> sbres{};

    // Names of the reference atoms, kept apart so that reading a reference
    // structure never renames the atoms of the molecules.
    Arr1<Name4, maxatm> refresnam{}, refatnam{};
    Arr1<int, maxatm> refresnum{};
    // Alternate-location records left out when each reference was read; the
    // B-factor reader leaves out the same records of the file.
    Arr1<int, maxref> refalt{};

    // mol_bfac, mol_srfnrg
    Arr1<float, maxatm> bfac{};
    std::array<float, 2> srfnrg{};

    // The value of the last edit command's equa, scal or shif, kept for the
    // next edit command.
    float edtval = 0.0f;

    // The diffusing units built on the subunit table above.
    UnitStore units;

    MoleculeStore() { reset(); }
    MoleculeStore(const MoleculeStore&) = delete;
    MoleculeStore& operator=(const MoleculeStore&) = delete;
    // Start-up values: coordinates, charges and radii marked unset, no
    // molecules, references or subunits.
    void reset();

    int count(int m) const { return lstatm[m] - fstatm[m] + 1; }
};

}  // namespace kova
