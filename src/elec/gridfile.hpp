// Potential, dielectric, charge and exclusion grid files: one header, then
// per plane k = 1..nz a plane record (k, nx, ny) and the nx ny values of the
// plane, i fastest. Text files use the layouts
//   header  (a72/2e12.6,5i7/3i7,4e12.6/4e12.6/2e12.6,2i7)
//   plane   (3i7)
//   values  ((6(1x,e12.6)))
// binary files the same items as sequential records framed by 4-byte
// little-endian lengths: a 160-byte header, per plane 12 bytes and 4 nx ny
// bytes of IEEE single-precision values.
#pragma once
#include <string>
#include "command/kova.hpp"
namespace kova {
// Grid maps are flat, 1-based, x fastest (as GridStore maps):
// value (i,j,k) at index i + nx (j - 1) + nx ny (k - 1).
// form: 1 formatted (text), 0 unformatted (binary).
// Writes the header and the planes of a grid file on `unit` (opened through
// kvopen, closed afterwards); each value written is scale x grid value; with
// step q > 1 the sampled grid described in the file layout. Returns false,
// after its message, when the file could not be written.
bool outgrd(Kova& k, const std::string& file, int unit, int form, const std::string& title, int nx, int ny,
            int nz, float h, float ox, float oy, float oz, int grdflg, const float* grid, float scale, int step);
// As outgrd, but a point whose exclusion map value (exmap, same layout)
// is 6 (nearest integer of exmap/6 == 1) is written as scale x inside.
bool outxgr(Kova& k, const std::string& file, int unit, int form, const std::string& title, int nx, int ny,
            int nz, float h, float ox, float oy, float oz, int grdflg, const float* grid, float scale,
            const float* exmap, float inside, int step);
// Reads a grid file into grid (capacity `capacity` values, index 1..);
// every value divided by scale. Returns false, after a clear message naming
// the file, when the file is missing, truncated, corrupt or too large; then
// neither grid nor the header outputs have been changed.
//
// The divisor is the scale factor recorded in the file's header (the factor
// its values were multiplied by when written); `scale` is used only for a
// file whose header records 0. A grid larger than `capacity` points, or a
// binary plane of more than 8450 values, ends the run with its FATAL message.
bool inpgrd(Kova& k, const std::string& file, int unit, int form, std::string& title, int& nx, int& ny, int& nz,
            float& h, float& ox, float& oy, float& oz, int& grdflg, float* grid, int capacity, float scale,
            int msgunit);
}  // namespace kova
