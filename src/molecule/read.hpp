// Reading structures: the read command and the structure-file readers.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "command/kova.hpp"

namespace kova {

// The read command.
void reed(Kova& k);

// Where a reader puts the atoms it reads: the molecule atom list, or the
// reference list (coordinates and names of their own).
struct AtomTarget {
    float* x;
    float* y;
    float* z;
    Name4* resnam;
    Name4* atnam;
    int* resnum;
    char* chain;   // null: the format leaves the chain as it was
    float* chrg;   // charge and radius, for the formats that carry them
    float* radi;
};
AtomTarget molecule_target(MoleculeStore& m);
AtomTarget reference_target(MoleculeStore& m);

// Structure readers. Each reads from unit, filling slots from `first` on,
// and returns the last slot filled (first-1 when no atom was read). The unit
// must be open (or be the command input, for lines typed after the command).
// A record holding a coordinate, charge or radius that is not a finite
// number is refused (SERIOUS message naming the file and the atom record)
// and skipped.
// fmt: 0 free-format PDB, 1 fixed-format PDB, 4 fixed CHARMM PDB. The
// fixed-format PDB keeps one alternate location per atom (choose_altlocs);
// skipped, when given, receives the number of alternate records left out.
int pdb(Kova& k, int unit, int first, const AtomTarget& t, int fmt, int* skipped = nullptr);
int card(Kova& k, int unit, int first, const AtomTarget& t);
// Charge card: also sets qmol of molecule imol.
int qcard(Kova& k, int unit, int first, const AtomTarget& t, int imol);
// A trajectory frame for existing molecule imol, from a unit opened by the
// open command; skip is the number of frames read (the last one is kept).
// Returns false when no complete frame was read (coordinates untouched).
bool rdtrj(Kova& k, int unit, int imol, int skip);

// One fixed-format atom record as the choice of alternate locations sees it.
struct AltRecord {
    char chain = ' ';  // column 22
    int resnum = 0;    // columns 23-26
    char icode = ' ';  // column 27, insertion code
    Name4 atom;        // columns 13-16, lower case, left-justified
    char alt = ' ';    // column 17: blank for an atom with a single location
    float occ = 0;     // columns 55-60; 0 when blank or not a finite number
};
// Whether two records belong to one residue: same chain, residue number and
// insertion code (the residue name may differ between alternates).
bool same_residue(const AltRecord& a, const AltRecord& b);
// Chooses the records of one residue (consecutive records for which
// same_residue holds) to keep: keep gets 1 or 0 per record. Returns the
// number of records skipped. The rule is described at the definition.
int choose_altlocs(const std::vector<AltRecord>& group, std::vector<char>& keep);
// Decodes the columns of a fixed-format atom record that choose_altlocs
// needs; false when they cannot be read.
bool altloc_fields(std::string_view line, AltRecord& r);

// Centre of geometry of molecule m.
void calccg(MoleculeStore& mol, int m);

}  // namespace kova
