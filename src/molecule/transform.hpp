// Coordinate transformations: the man command (translations, rotations,
// centring, turning a dihedral angle), ligand placement in a binding-site
// box (trans), and the routines center and trq that other commands share.
#pragma once

#include <vector>

#include "command/kova.hpp"

namespace kova {

// Command drivers.
void trans(Kova& k);  // trans [mol N] [center x y z] xlim lo hi ylim lo hi zlim lo hi [doors n xp ...] [fixcent x y z] end
void man(Kova& k);    // man [mol N|all|sele ...] [xtrans d|xrot deg ...] [orig x y z] [dihe atnu i j k l angl a] end

// Centres atoms first..last on (x0, y0, z0) and refreshes the centre of
// every molecule. A wrong atom range is reported and nothing moves.
void center(Kova& k, int first, int last, float x0, float y0, float z0);

// Turns the listed atoms by angle (rad, right-handed about the direction
// from atom j to atom k) about the axis through j and k. False, with
// nothing moved, when j and k coincide (no axis).
bool trq(Kova& k, const std::vector<int>& list, int j, int kk, double angle);

// True when the dihedral angle of atoms i-j-k-l is defined: no three
// consecutive atoms coincide or lie on one line.
bool dihedral_defined(const Kova& k, int i, int j, int kk, int l);

}  // namespace kova
