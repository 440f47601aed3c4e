// The real and live commands.
#include "molecule/liveflags.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "command/output.hpp"
#include "command/readers.hpp"
#include "fortio/format.hpp"
#include "mech/mech.hpp"
#include "molecule/prox.hpp"
#include "molecule/select.hpp"

namespace kova {

namespace {

void list_line(Kova& k, std::initializer_list<fortio::OutItem> items) {
    k.units.write(fortio::UnitTable::stdout_unit, fortio::list_write(items));
}

// At the end of either command: an atom that is not real is not live; the
// two counts are listed and the real count kept.
void finish(Kova& k) {
    MoleculeStore& m = k.mol;
    const Topology& t = k.ff.top;
    const int n = std::min(m.natom, maxatm);
    int nreal = 0, nlive = 0;
    for (int a = 1; a <= n; ++a) {
        if (t.ireal[a] != 1) m.live[a] = 0;
        nreal += t.ireal[a] == 1;
        nlive += m.live[a] == 1;
    }
    m.nreal = nreal;
    list_line(k, {std::string_view("Total number of real atoms: "), std::int64_t{nreal}});
    list_line(k, {std::string_view("Total number of live atoms: "), std::int64_t{nlive}});
}

// Whole residues become real when one of their atoms lies closer than d to
// an atom the choice made real (d 0: the residues holding such an atom).
void mark_residues(Kova& k, float d) {
    const MoleculeStore& m = k.mol;
    Topology& t = k.ff.top;
    const int n = std::min(m.natom, maxatm);
    std::vector<int> chosen;
    for (int a = 1; a <= n; ++a)
        if (t.ireal[a] == 1) chosen.push_back(a);
    const double d2 = double(d) * d;
    for (int r = 1; r <= t.nres; ++r) {
        const int first = t.resfst[r], last = r < t.nres ? t.resfst[r + 1] - 1 : n;
        bool near = false;
        for (int a = first; a <= last && !near; ++a) {
            if (t.ireal[a] == 1) {
                near = true;
                break;
            }
            for (int b : chosen) {
                const double dx = m.x[a] - m.x[b], dy = m.y[a] - m.y[b], dz = m.z[a] - m.z[b];
                if (dx * dx + dy * dy + dz * dz < d2) {
                    near = true;
                    break;
                }
            }
        }
        if (near)
            for (int a = first; a <= last; ++a) t.ireal[a] = 1;
    }
}

void invert(Arr1<int, maxatm>& f, int n) {
    for (int a = 1; a <= n; ++a) f[a] = f[a] == 1 ? 0 : 1;
}

}  // namespace

void realatom(Kova& k) {
    Topology& t = k.ff.top;
    const int in = k.files.inunit;
    const int n = std::min(k.mol.natom, maxatm);
    bool inv = false, resbase = false;
    float dist = 0.0f;
    for (;;) {
        const std::string w = getnam(k, in, "Realatom");
        if (w == "end") break;
        if (w == "sele") {
            list_line(k, {std::string_view("REAL calls SELE to make atoms explicit")});
            sele(k, std::span<int>(t.ireal.data(), t.ireal.size()));
        } else if (w == "prox") {
            prox(k, t.ireal);
        } else if (w == "not") {
            inv = true;
        } else if (w == "resbase") {
            resbase = true;
        } else if (w == "dist") {
            dist = getnum(k, in, "Realatom");
            if (!(dist >= 0.0f && dist < 1.0e4f)) {
                msg(k, "SERIOUS: Real(1005) residue distance must lie between 0 and 10000 A: ", value_text(dist));
                if (k.flags.bomb <= 2) kvabort(k, serious);
                return;
            }
        } else {
            msg(k, "SERIOUS: Real(1004) unknown keyword: ", w);
            if (k.flags.bomb <= 2) kvabort(k, serious);
            return;
        }
    }
    if (resbase) {
        reslim(k);
        mark_residues(k, dist);
    }
    if (inv) invert(t.ireal, n);
    finish(k);
}

void live(Kova& k) {
    MoleculeStore& m = k.mol;
    const int in = k.files.inunit;
    const int n = std::min(m.natom, maxatm);
    bool inv = false;
    for (const char* prompt = "Fix";; prompt = "Live") {
        const std::string w = getnam(k, in, prompt);
        if (w == "end") break;
        if (w == "sele") {
            list_line(k, {std::string_view("LIVE calls SELE to mobilize atoms")});
            sele(k, std::span<int>(m.live.data(), m.live.size()));
        } else if (w == "prox") {
            prox(k, m.live);
        } else if (w == "not") {
            inv = true;
        } else if (w == "usereal") {
            for (int a = 1; a <= maxatm; ++a) m.live[a] = k.ff.top.ireal[a];
        } else {
            msg(k, "SERIOUS: Live(1004) unknown keyword: ", w);
            if (k.flags.bomb <= 2) kvabort(k, serious);
            return;
        }
    }
    if (inv) invert(m.live, n);
    finish(k);
}

}  // namespace kova
