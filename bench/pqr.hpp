// Loads the atoms of a charge-and-radius file (whitespace-separated ATOM
// records: serial, name, residue, chain, residue number, x, y, z, charge,
// radius) into molecule 1 of the store, for the benchmarks.
#pragma once

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "molecule/store.hpp"

namespace kova::bench {

// The copy of barnase kept with the tests.
inline std::filesystem::path barnase_pqr() {
    return std::filesystem::path(__FILE__).parent_path().parent_path() / "tests/data/pqr/barnase.pqr";
}

// Returns the number of atoms read (0 when the file cannot be read whole).
inline int load_pqr(MoleculeStore& m, const std::filesystem::path& path) {
    std::ifstream f(path);
    std::string line;
    while (std::getline(f, line)) {
        std::istringstream s(line);
        std::string rec, serial, name, res, chain;
        int resnum;
        float x, y, z, q, r;
        if (!(s >> rec) || rec != "ATOM") continue;
        if (!(s >> serial >> name >> res >> chain >> resnum >> x >> y >> z >> q >> r)) return 0;
        const int a = ++m.natom;
        m.x[a] = x, m.y[a] = y, m.z[a] = z, m.chrg[a] = q, m.radi[a] = r, m.resnum[a] = resnum;
    }
    if (m.natom == 0) return 0;
    m.nmol = 1;
    m.fstatm[1] = 1;
    m.lstatm[1] = m.natom;
    return m.natom;
}

}  // namespace kova::bench
