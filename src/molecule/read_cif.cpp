// The PDBx/mmCIF reader, through the gemmi library's parser: the atoms of
// the first model, one alternate location per atom. Without gemmi the
// reader is not part of the build and the read command says so.
#include <cctype>
#include <cmath>
#include <exception>
#include <vector>

#include "command/mainloop.hpp"
#include "command/output.hpp"
#include "command/tokens.hpp"
#include "molecule/read_formats.hpp"

#if KOVA_HAVE_GEMMI
#include <gemmi/cif.hpp>
#include <gemmi/mmcif.hpp>
#endif

namespace kova {

#if KOVA_HAVE_GEMMI

bool cif_available() { return true; }

int cif(Kova& k, const std::string& file, int first, const AtomTarget& t, int* skipped) {
    if (skipped) *skipped = 0;
    gemmi::Structure st;
    try {
        st = gemmi::make_structure(gemmi::cif::read_file(file));
    } catch (const std::exception& e) {
        msg(k, "SERIOUS: cif(020) Cannot read mmCIF file: " + file + " (", std::string(e.what()) + ")");
        kvabort(k, serious);
        return first - 1;
    }
    if (st.models.empty()) return first - 1;
    auto lower = [](std::string_view s) { return Name4(lcase(s.substr(0, std::min<size_t>(s.size(), 4)))); };
    int slot = first;
    int atomno = 0;
    int nskip = 0;
    for (const gemmi::Chain& ch : st.models[0].chains) {
        const char chain = ch.name.empty() ? ' ' : static_cast<char>(std::tolower(static_cast<unsigned char>(ch.name[0])));
        for (const gemmi::Residue& res : ch.residues) {
            // The first location letter met in the residue is the one kept
            // for all its disordered atoms; an atom name is taken once.
            char loc = '\0';
            for (const gemmi::Atom& a : res.atoms)
                if (a.altloc != '\0') {
                    loc = a.altloc;
                    break;
                }
            std::vector<const gemmi::Atom*> kept;
            for (const gemmi::Atom& a : res.atoms) {
                ++atomno;
                bool take = a.altloc == '\0' || a.altloc == loc;
                for (const gemmi::Atom* b : kept)
                    if (b->name == a.name) take = false;
                if (!take) {
                    ++nskip;
                    continue;
                }
                const double v[3] = {a.pos.x, a.pos.y, a.pos.z};
                static const char* const axis[3] = {"x", "y", "z"};
                bool finite = true;
                for (int c = 0; c < 3 && finite; ++c)
                    if (!std::isfinite(v[c]) || std::fabs(v[c]) > 3.0e38) {
                        reader_nonfinite(k, "cif", file + ", atom record " + std::to_string(atomno), axis[c],
                                         std::to_string(v[c]));
                        finite = false;
                    }
                if (!finite) continue;
                kept.push_back(&a);
                reader_slot(k, slot, "cif");
                t.atnam[slot] = lower(a.name);
                t.resnam[slot] = lower(res.name);
                t.resnum[slot] = res.seqid.num.has_value() ? *res.seqid.num : 0;
                t.x[slot] = static_cast<float>(v[0]);
                t.y[slot] = static_cast<float>(v[1]);
                t.z[slot] = static_cast<float>(v[2]);
                if (t.chain) t.chain[slot] = chain;
                ++slot;
            }
        }
    }
    if (skipped) *skipped = nskip;
    return slot - 1;
}

#else

bool cif_available() { return false; }

int cif(Kova&, const std::string&, int first, const AtomTarget&, int* skipped) {
    if (skipped) *skipped = 0;
    return first - 1;
}

#endif

}  // namespace kova
