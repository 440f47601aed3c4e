// Grid maps in the OpenDX scalar-field layout read by molecular viewers:
//   object 1 class gridpositions counts nx ny nz
//   origin x0 y0 z0
//   delta h 0 0 / delta 0 h 0 / delta 0 0 h
//   object 2 class gridconnections counts nx ny nz
//   object 3 class array type double rank 0 items N data follows
//   values three to a line, z fastest, then y, then x
//   attribute and field records naming the three objects.
// Lines starting with # are comments.
#pragma once
#include <string>
#include "command/kova.hpp"
namespace kova {
// Writes grid (flat, 1-based, x fastest, as GridStore maps) times scale,
// sampled every step-th point, to a new file (kvopen: an existing name is
// kept and the next free name used; the name used is returned in file).
// With exmap, a point whose exclusion value is 6 is written as
// scale x inside. Returns false after its message when writing failed.
bool outdx(Kova& k, std::string& file, int unit, const std::string& title, int nx, int ny, int nz, float h,
           float ox, float oy, float oz, const float* grid, double scale, const float* exmap, float inside, int step);
// Reads an OpenDX scalar field into grid (capacity values, index 1..), each
// value divided by scale, x fastest. The header is checked item by item (one
// axis-aligned cubic spacing, counts that agree, as many finite values as
// announced); a file that fails leaves grid and the geometry outputs
// unchanged and returns false after a message naming the file and the
// fault. A grid larger than capacity ends the run with its FATAL message.
bool inpdx(Kova& k, const std::string& file, int unit, int& nx, int& ny, int& nz, float& h, float& ox, float& oy,
           float& oz, float* grid, int capacity, double scale, int msgunit);
}  // namespace kova
