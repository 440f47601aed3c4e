// Readers of structure formats written by other programs: PQR (atoms with
// charge and radius) and PDBx/mmCIF (through the gemmi library, when the
// program is built with it).
#pragma once

#include <string>
#include <string_view>

#include "molecule/read.hpp"

namespace kova {

// The fields of one PQR atom record.
struct PqrRecord {
    std::string atom, resnam;  // as written
    char alt = ' ';            // location letter (joined to the residue name in column 17)
    char chain = ' ';          // blank when the record has none
    int resnum = 0;
    char icode = ' ';          // insertion code joined to the residue number
    double value[5] = {};      // x, y, z, charge, radius
    std::string_view text[5];  // the words they were read from (views into the line)
};
// Splits an ATOM or HETATM record of a PQR file: record name, serial number,
// atom name, residue name, optional chain, residue number (with an optional
// insertion code), then x, y, z, charge and radius. False when the record
// does not have these fields.
bool pqr_fields(std::string_view line, PqrRecord& p);

// Reads a PQR file from unit as the other structure readers do (see pdb in
// read.hpp): one alternate location per atom (the first letter, there being
// no occupancy column), records with a value that is not a finite number
// refused and skipped. With imol > 0 also sets qmol of that molecule and
// lists the net charge.
int pqr(Kova& k, int unit, int first, const AtomTarget& t, int imol, int* skipped = nullptr);

// Whether the mmCIF reader is part of this build.
bool cif_available();
// Reads the first model of a PDBx/mmCIF file (first alternate location of
// each atom), filling slots from `first` on; returns the last slot filled.
// A file that cannot be parsed gives a SERIOUS message and no atoms.
int cif(Kova& k, const std::string& file, int first, const AtomTarget& t, int* skipped = nullptr);

// One standard-aligned PDB record (ATOM for the residues of proteins and
// nucleic acids, HETATM for the others): upper-case names, the chain
// identifier, occupancy 1.00, B-factor 0.00 and the element symbol in
// columns 77-78. With qr (charge, radius) a PQR record instead: the same
// columns up to the coordinates, then the charge and the radius.
std::string standard_record(int serial, std::string_view atom, std::string_view res, char chain, int resnum,
                            float x, float y, float z, const float* qr);
// Writes the atoms flagged in picwrt as standard records (PQR records with
// qrad), numbered from 1, then END. Returns the number of atoms whose charge
// or radius was unset (written as 0).
int outstd(Kova& k, int unit, bool qrad);

// Helpers shared by these readers: the name of a unit's input for messages,
// the atom-list limit (FATAL, ends the run) and the refusal of a value that
// is not a finite number (SERIOUS).
std::string reader_source(const Kova& k, int unit);
void reader_slot(Kova& k, int slot, const char* routine);
void reader_nonfinite(Kova& k, const char* routine, const std::string& where, const char* field,
                      std::string_view value);

}  // namespace kova
