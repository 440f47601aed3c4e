// Trajectory output of dynamics and minimisation: maktrj chooses the unit,
// the encoding (formatted text frames or unformatted records), the atoms and
// the interval, and opens the file (with a coordinate file beside an
// unformatted one); trajframe and the runs write frames of the working
// coordinates.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "command/commands.hpp"
#include "command/output.hpp"
#include "command/readers.hpp"
#include "command/tokens.hpp"
#include "fortio/format.hpp"
#include "mech/mech.hpp"
#include "molecule/select.hpp"

namespace kova {

namespace {

// A number read for a count, truncated toward zero; values beyond the
// integer range are held at its ends (and a value that is not a number
// reads as 0) rather than overflowing.
int truncated(float v) {
    if (!(v == v)) return 0;
    if (v >= 2147483520.0f) return 2147483520;
    if (v <= -2147483520.0f) return -2147483520;
    return int(v);
}

int last_atom(const MoleculeStore& m) { return m.nmol >= 1 ? m.lstatm[m.nmol] : 0; }

std::string res3(const Name4& n) { return std::string(n.padded().substr(0, 3)); }

}  // namespace

void maktrj(Kova& k) {
    MdStore& md = k.ff.md;
    MoleculeStore& m = k.mol;
    const int in = k.files.inunit;
    const char* P = "Maktrj";
    md.trjunit = 99, md.trjfmt = 1;
    std::string file;
    for (;;) {
        const std::string w = getnam(k, in, P);
        if (w == "end") break;
        const std::string_view v(w), v4 = v.substr(0, 4);
        if (v4 == "unit") {
            const int u = truncated(getnum(k, in, P));
            // Units 5 and 6 are the standard streams, 51 to 70 the program's
            // own; 88 holds the companion coordinate file while it is written.
            if (u < 1 || u == 5 || u == 6 || (u >= 51 && u <= 70) || u == 88 || u > 999) {
                msg(k, "SERIOUS: Maktrj(1005) trajectory unit must be between 1 and 999, not 5, 6, 51-70 or 88: ",
                    std::to_string(u));
                kvabort(k, warning);
                return;
            }
            md.trjunit = u, md.ltrj = true;
        } else if (v.substr(0, 6) == "format") {
            const int f = truncated(getnum(k, in, P));
            if (f != 0 && f != 1) {
                msg(k, "SERIOUS: Maktrj(1006) format must be 0 (unformatted) or 1 (formatted): ", std::to_string(f));
                kvabort(k, warning);
                return;
            }
            md.trjfmt = f;
        } else if (v4 == "file") {
            file = getfil(k, in, P);
        } else if (v4 == "sele") {
            sele(k, std::span<int>(md.itrj));
        } else if (v.substr(0, 7) == "uselive") {
            for (int i = 1; i <= maxatm; ++i) md.itrj[i] = m.live[i];
        } else if (v4 == "ntrj" || v4 == "ntra") {
            const int s = truncated(getnum(k, in, P));
            if (s < 1) {
                msg(k, "SERIOUS: Maktrj(1007) frame interval (ntrj) must be at least 1: ", std::to_string(s));
                kvabort(k, warning);
                return;
            }
            md.ntrj = s;
        } else {
            msg(k, "SERIOUS: Maktrj(1004) unknown keyword: ", w);
            kvabort(k, warning);
            return;
        }
    }
    const int la = last_atom(m);
    int count = 0;
    for (int i = 1; i <= la; ++i) count += md.itrj[i] == 1;
    out(k, "(1x,'Number of atoms per traj file frame:',i5)", count);
    if (file.empty()) return;
    k.units.write(k.files.outunit, fortio::list_write({std::string_view("unit,file,type "), std::int64_t{md.trjunit},
                                                       std::string_view(file), std::int64_t{md.trjfmt}}));
    kvopen(k, md.trjunit, file, md.trjfmt == 1);
    if (md.trjfmt == 1) return;
    const std::int32_t c = count;
    std::byte rec[4];
    std::memcpy(rec, &c, 4);
    k.units.write_unformatted(md.trjunit, rec);
    std::string pdb = std::string(trimmed(file)) + ".pdb";
    kvopen(k, 88, pdb, true);
    k.units.write(88, "REMARK: PDB FILE AUTOMATICALLY CREATED TOACCOMPANY TRAJECTORY FILE:");
    fwrite(k, 88, "('REMARK: ',a72)", file);
    int serial = 0;
    for (int i = 1; i <= la; ++i) {
        if (md.itrj[i] != 1) continue;
        fwrite(k, 88, "('ATOM',2x,i5,1x,a4,1x,a3,2x,i4,4x,3f8.3)", ++serial, m.atnam[i].padded(), res3(m.resnam[i]),
               m.resnum[i], m.x[i], m.y[i], m.z[i]);
    }
    k.units.close(88);
}

void wtrj(Kova& k) {
    MdStore& md = k.ff.md;
    ForceField& ff = k.ff;
    const MoleculeStore& m = k.mol;
    const int u = md.trjunit;
    if (!k.units.is_open(u)) {
        msg(k, "SERIOUS: wtrj(030) Error writing traj file.");
        kvabort(k, serious);
        return;
    }
    const int la = last_atom(m);
    const double time = double(ff.ev.istep) * md.mddt / tconv;
    if (md.trjfmt == 1) {
        fwrite(k, u, "('REMARKS: Time ',3(f12.3,2x))", time, ff.e[etot], md.ekin);
        for (int i = 1; i <= la; ++i) {
            if (md.itrj[i] != 1) continue;
            fwrite(k, u, "('ATOM',2x,i5,1x,a4,1x,a3,2x,i4,4x,3f8.3,2x,3f8.3)", i, m.atnam[i].padded(),
                   res3(m.resnam[i]), m.resnum[i], ff.xd[i], ff.yd[i], ff.zd[i], md.vx[i], md.vy[i], md.vz[i]);
        }
        k.units.write(u, "END");
        return;
    }
    auto put = [&](std::initializer_list<float> v) {
        std::byte rec[12];
        size_t at = 0;
        for (float x : v) std::memcpy(rec + at, &x, 4), at += 4;
        return k.units.write_unformatted(u, std::span<const std::byte>(rec, at));
    };
    if (put({float(time)}) != fortio::IoStatus::ok) {
        msg(k, "SERIOUS: wtrj(030) Error writing traj file.");
        kvabort(k, serious);
        return;
    }
    for (int i = 1; i <= la; ++i)
        if (md.itrj[i] == 1) put({float(ff.xd[i]), float(ff.yd[i]), float(ff.zd[i])});
}

// A frame of the molecule store's present coordinates.
void trajframe(Kova& k) {
    ForceField& ff = k.ff;
    const MoleculeStore& m = k.mol;
    for (int i = 1; i <= m.natom; ++i) ff.xd[i] = m.x[i], ff.yd[i] = m.y[i], ff.zd[i] = m.z[i];
    wtrj(k);
}

}  // namespace kova
