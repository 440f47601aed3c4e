#include "molecule/store.hpp"

namespace kova {

void MoleculeStore::reset() {
    for (auto* a : {&x, &y, &z, &chrg, &radi}) a->fill(unset);
    for (auto* a : {&mass, &ljsig, &ljeps, &vdwsa, &accsa, &xref, &yref, &zref, &bfac}) a->fill(0.0f);
    for (auto* a : {&sbx, &sby, &sbz, &sbchg, &sbrad}) a->fill(0.0f);
    for (auto* a : {&molcx, &molcy, &molcz, &qmol, &molsiz}) a->fill(0.0f);
    ligcen.fill(0.0f);
    srfnrg.fill(0.0f);
    edtval = 0.0f;
    units = UnitStore{};
    nmol = nref = natom = natmd = nreal = nsym = 0;
    for (auto* a : {&fstatm, &lstatm, &reffst, &reflst, &refalt, &molsel}) a->fill(0);
    for (auto* a : {&resnum, &atsel, &refresnum}) a->fill(0);
    for (auto* a : {&sbfat, &sblat, &sbtype, &sbfix, &sbunit}) a->fill(0);
    for (auto& row : isym) row.fill(0);
    for (auto* a : {&resnam, &atnam, &refresnam, &refatnam}) a->fill(Name4{});
    sbres.fill(Name4{});
    chain.fill(' ');
    live.fill(1);
    nsbtot = -9999;
}

}  // namespace kova
