// Atomic parameter sets: the database read from a parameter table file, its
// sorted lookup, and the set command that assigns charges, radii, masses and
// Lennard-Jones parameters to the atoms.
#pragma once

#include <array>
#include <string>

#include "command/kova.hpp"

namespace kova {

// The set command.
void set(Kova& k);

// Reads the requested parameter set and the equivalences from file.
void inpqtb(Kova& k, const std::string& file, int unit);

// Sorts the name pairs by (residue, atom) with heapsort; perm follows the moves.
void srttab(Name4* res, Name4* atm, int n, int* perm);

// Hunting search for (res, atm) among n sorted pairs; pos is the starting
// guess and the result (0: not found).
void hnttab(const Name4& res, const Name4& atm, const Name4* sres, const Name4* satm, int n, int& pos);

// Half the largest extent of atoms first..last: the maximum over pairs i <= j
// of |r_i - r_j| + radi(i) + radi(j), halved.
float calca(const MoleculeStore& m, int first, int last);

// Where the parameter table installed with the program lies, if any.
std::string installed_table();

}  // namespace kova
