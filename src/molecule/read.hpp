// Reading structures: the read command and the structure-file readers.
#pragma once

#include <string>

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
// fmt: 0 free-format PDB, 1 fixed-format PDB, 4 fixed CHARMM PDB.
int pdb(Kova& k, int unit, int first, const AtomTarget& t, int fmt);
int card(Kova& k, int unit, int first, const AtomTarget& t);
// Charge card: also sets qmol of molecule imol.
int qcard(Kova& k, int unit, int first, const AtomTarget& t, int imol);
// A trajectory frame for existing molecule imol, from a unit opened by the
// open command; skip is the number of frames read (the last one is kept).
// Returns false when no complete frame was read (coordinates untouched).
bool rdtrj(Kova& k, int unit, int imol, int skip);

// Centre of geometry of molecule m.
void calccg(MoleculeStore& mol, int m);

}  // namespace kova
