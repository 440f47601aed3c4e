// The molecular-mechanics benchmark system: 1000 five-atom zig-zag
// molecules (5000 atoms; 4000 bonds, 3000 angles, 2000 dihedrals, 1000
// impropers) on a cubic lattice of the given spacing, jittered by a fixed
// seed, with the bonded and angle-end pairs excluded from the pair list.
// Coordinates go to both the molecule store and the working coordinates.
#pragma once

#include <random>

#include "command/kova.hpp"

namespace kova_bench {

constexpr int nmolec = 1000, natom = 5 * nmolec;

inline void build_lattice(kova::Kova& k, double lattice) {
    kova::MoleculeStore& m = k.mol;
    kova::ForceField& ff = k.ff;
    kova::Topology& t = ff.top;
    k.env.pdie = 1.0f;
    m.nmol = 1, m.fstatm[1] = 1, m.lstatm[1] = natom, m.natom = natom, m.natmd = natom;
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> u(-0.3, 0.3);
    const int side = 10;  // 10 x 10 x 10 molecules
    // A zig-zag of five atoms 1.5 A apart, jittered.
    const double shape[5][3] = {{0, 0, 0}, {1.25, 0.8, 0}, {2.5, 0, 0.2}, {3.75, 0.8, 0.5}, {5.0, 0.1, 0.9}};
    for (int c = 0; c < nmolec; ++c) {
        const double o[3] = {lattice * (c % side), lattice * (c / side % side), lattice * (c / (side * side))};
        for (int a = 0; a < 5; ++a) {
            const int i = 5 * c + a + 1;
            ff.xd[i] = o[0] + shape[a][0] + u(rng);
            ff.yd[i] = o[1] + shape[a][1] + u(rng);
            ff.zd[i] = o[2] + shape[a][2] + u(rng);
            m.x[i] = float(ff.xd[i]), m.y[i] = float(ff.yd[i]), m.z[i] = float(ff.zd[i]);
            m.chrg[i] = a % 2 ? 0.3f : -0.2f, m.resnum[i] = c + 1, m.live[i] = 1, m.mass[i] = 12.0f;
            t.ireal[i] = 1;
            t.ljpar[1][i] = -0.1f, t.ljpar[2][i] = 1.9f;
        }
        const int b = 5 * c;
        for (int a = 1; a <= 4; ++a) {
            const int n = ++t.nbnd;
            t.ibnd[n] = b + a, t.jbnd[n] = b + a + 1, t.kbnd[n] = 600.0f, t.bnd0[n] = 1.5f;
        }
        for (int a = 1; a <= 3; ++a) {
            const int n = ++t.nang;
            t.iang[n] = b + a, t.jang[n] = b + a + 1, t.kang[n] = b + a + 2, t.kth[n] = 100.0f, t.th0[n] = 1.95f;
        }
        for (int a = 1; a <= 2; ++a) {
            const int n = ++t.ndih;
            t.idih[n] = b + a, t.jdih[n] = b + a + 1, t.kdih[n] = b + a + 2, t.ldih[n] = b + a + 3;
            t.kphi[n] = 0.2f, t.pn[n] = 3.0f, t.phase[n] = 0.0f;
        }
        const int n = ++t.nimp;
        t.iimp[n] = b + 2, t.jimp[n] = b + 1, t.kimp[n] = b + 3, t.limp[n] = b + 4, t.kpsi[n] = 40.0f;
        t.psi0[n] = 0.0f;
        // Bonded and angle ends excluded from the pair list.
        for (int a = 1; a <= 5; ++a)
            for (int d = 1; d <= 2; ++d)
                if (a + d <= 5) {
                    t.iexcl[b + a][++t.nexcl[b + a]] = b + a + d;
                    t.iexcl[b + a + d][++t.nexcl[b + a + d]] = b + a;
                }
    }
}

}  // namespace kova_bench
