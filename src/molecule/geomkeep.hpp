// What the transformation and superposition commands keep from one
// invocation to the next.
#pragma once

#include <vector>

namespace kova {

struct GeomKeep {
    // Atoms of the reference conformation stored by the last rms command
    // (0: none yet); lsqfit compares only when molecule 1 has as many.
    int nrms = 0;
    // The binding-site mesh of the ligand placement, built by the first
    // trans command of the run: cubes per axis, lower box corner, and the
    // candidate cube centres drawn from.
    bool mesh = false;
    int nx = 0, ny = 0, nz = 0;
    float lo[3] = {0, 0, 0};
    std::vector<int> candidates;  // cube index i + nx (j + ny k), 0-based
};

}  // namespace kova
