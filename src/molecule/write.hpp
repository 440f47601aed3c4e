// The write command: coordinates of chosen atoms, electrostatics grid maps,
// the solvent-accessible grid points with their potential, the bricked
// map of the potential's field direction, and the dihedral histograms of
// the trajectory analysis.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "command/kova.hpp"

namespace kova {

// The command (write ... end).
void right(Kova& k);

// Writes one ATOM record for every atom flagged in picwrt, in atom order,
// then the END record, to an open formatted unit; qrad adds the charge and
// radius columns, where a value still unset is written as the word unset.
// Returns the number of atoms written with an unset charge or radius.
int outpdb(Kova& k, int unit, bool qrad);

// Writes the grid points outside the ion-exclusion region (iacs below 6)
// with their potential (kcal/mol per e) to an open unformatted unit: a first
// record holding 0, then per point (i outermost, k innermost) the integers
// 0 0 1, the position and the potential. Returns the number of points.
int outsrf(Kova& k, int unit);

// Length of a text without its trailing blanks.
int nblen(std::string_view s);

// Mean and sample standard deviation (n - 1 in the divisor) of n values
// from their sum and the sum of their squares; false, with both 0, for
// fewer than 3 values.
bool mnstd(int n, double sum, double sumsq, double& mean, double& sd);

// The bricked field-direction map of a potential. Every value is coded per
// point: code, a 16-bit potential, and dir, the field direction scaled to
// 127 (three signed bytes); excluded points (exmap 6) hold zeros.
struct VectorMap {
    int nx = 0, ny = 0, nz = 0;
    float h = 0, ox = 0, oy = 0, oz = 0;
    float amax = 0, amin = 0;  // largest and smallest |c phi| over the kept points
    float scale = 0;           // h / amax x 1000: potential code per unit of c phi
    int kept = 0, excluded = 0;
    double sum = 0, sumsq = 0;  // of c phi over the kept points
    const std::int16_t* code = nullptr;  // 1..nx ny nz
    const std::int8_t* dir = nullptr;    // 3 per point, point l at 3 l
};

// Bricks along an axis of n points: bricks of 6 points start every 5.
inline int nbrick(int n) { return (n - 2) / 5 + 1; }

// Header of a bricked map: the identification record, the text records and
// the geometry record, each of 108 bytes, appended to buf. Returns the
// number of records.
int mbrwrh(std::string& buf, const VectorMap& v, std::string_view title);

// Codes the potential phi (c phi kept where exmap is below 6) and its field
// directions into code and dir (capacity nx ny nz + 1 and 3 (nx ny nz + 1))
// and fills the statistics of v.
void vecmap(VectorMap& v, const float* phi, const float* exmap, float c, std::int16_t* code, std::int8_t* dir);

// The whole bricked file image of a coded map.
std::string brkmap(const VectorMap& v, std::string_view title);

// The vector command output: codes the potential of the grid store, lists
// the map and writes it to file (a new file: the name is rewritten with the
// name used).
void outvec(Kova& k, std::string& file, std::string_view title, float c);

}  // namespace kova
