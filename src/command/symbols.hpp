// The symbol table of the command language: double-precision scalars and
// one-dimensional arrays, appended to a fixed table and never removed.
#pragma once

#include <array>
#include <string>
#include <string_view>

#include "kova_config.hpp"

namespace kova {

struct Kova;

struct SymbolTable {
    // 1-based entries 1..vari. An array of size n is n consecutive entries of
    // which only the first carries the name.
    std::array<std::string, maxsym + 1> varc{};
    std::array<double, maxsym + 1> vardp{};
    int vari = 0;

    // Position of the entry called name (vari+1 when there is none).
    int find(std::string_view name) const;
};

// Value of the variable, or of its element index when index is positive;
// status 0 on success, -1 when the entry does not exist (value 0).
double getvar(const Kova& k, std::string_view name, int index, int& status);

}  // namespace kova
