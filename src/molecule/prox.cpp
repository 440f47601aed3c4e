// The proximity choice (prox), used by the print, write and manipulation
// commands.
#include "molecule/prox.hpp"

#include <algorithm>
#include <memory>
#include <vector>

#include "command/output.hpp"
#include "command/readers.hpp"
#include "molecule/select.hpp"

namespace kova {

void prox(Kova& k, Arr1<int, maxatm>& flags) {
    const MoleculeStore& m = k.mol;
    const int in = k.files.inunit;
    // The two selections, kept apart from every store of the program.
    auto set1 = std::make_unique<Arr1<int, maxatm>>();
    auto set2 = std::make_unique<Arr1<int, maxatm>>();
    bool have1 = false, have2 = false, havd = false;
    float dist = 0.0f;
    for (;;) {
        std::string w = getnam(k, in, "Prox");
        if (w == "end") break;
        std::string_view w4 = std::string_view(w).substr(0, 4);
        if (w4 == "sel1") {
            sele(k, *set1);
            have1 = true;
        } else if (w4 == "sel2") {
            sele(k, *set2);
            have2 = true;
        } else if (w4 == "dist") {
            dist = getnum(k, in, "Prox");
            havd = true;
        } else {
            msg(k, "SERIOUS: Prox(991) unknown keyword: ", w);
            kvabort(k, serious);
        }
    }

    const int n = std::min(m.natom, maxatm);
    for (int i = 1; i <= n; ++i) flags[i] = 0;
    if (!have1 || !have2 || !havd) {
        fwrite(k, k.files.msgunit, "(1x,'SERIOUS: Prox(992) Incomplete ','specifications for operation.')");
        kvabort(k, serious);
        return;
    }

    // The first set, gathered once so that the pair loop runs over a
    // compact list.
    std::vector<int> first;
    for (int i = 1; i <= n; ++i)
        if ((*set1)[i] == 1) {
            flags[i] = 1;
            first.push_back(i);
        }
    // Distance below d: compared squared, so no root per pair. A distance of
    // 0 or less admits no atom of the second set.
    const float d2 = dist * dist;
    if (dist > 0.0f) {
        for (int j = 1; j <= n; ++j) {
            if ((*set2)[j] != 1 || flags[j] == 1) continue;
            const float xj = m.x[j], yj = m.y[j], zj = m.z[j];
            for (int i : first) {
                const float dx = m.x[i] - xj, dy = m.y[i] - yj, dz = m.z[i] - zj;
                if (dx * dx + dy * dy + dz * dz < d2) {
                    flags[j] = 1;
                    break;
                }
            }
        }
    }
    int count = 0;
    for (int i = 1; i <= n; ++i) count += flags[i];
    out(k, "(1x,'Number of atoms selected by prox: ',i8)", count);
}

}  // namespace kova
