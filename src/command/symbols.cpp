#include "command/symbols.hpp"

#include "command/kova.hpp"
#include "command/tokens.hpp"

namespace kova {

int SymbolTable::find(std::string_view name) const {
    name = trimmed(name);
    // A blank name never matches: the unnamed entries are array elements.
    if (!name.empty())
        for (int i = 1; i <= vari; ++i)
            if (varc[i] == name) return i;
    return vari + 1;
}

double getvar(const Kova& k, std::string_view name, int index, int& status) {
    const SymbolTable& s = k.sym;
    long pos = s.find(name);
    if (index > 0) pos += index - 1;
    if (pos > s.vari) {
        status = -1;
        return 0.0;
    }
    status = 0;
    return s.vardp[pos];
}

}  // namespace kova
