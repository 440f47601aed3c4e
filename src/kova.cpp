// kova: command interpreter for electrostatics, Brownian dynamics and
// molecular mechanics of biological macromolecules in salt water.
#include <iostream>

#include "command/mainloop.hpp"

int main() {
    std::ios::sync_with_stdio(false);
    kova::Kova k(std::cin, std::cout, std::cerr);
    int status = kova::run_kova(k);
    std::cout.flush();
    return status;
}
