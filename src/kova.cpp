// kova: command interpreter for electrostatics, Brownian dynamics and
// molecular mechanics of biological macromolecules in salt water.
#include <unistd.h>

#include <iostream>
#include <memory>

#include "command/mainloop.hpp"

int main() {
    std::ios::sync_with_stdio(false);
    // The run state holds every fixed-size store of the program: on the heap.
    auto k = std::make_unique<kova::Kova>(std::cin, std::cout, std::cerr);
    // Commands typed at a terminal start in interactive mode.
    k->flags.terminal = isatty(STDIN_FILENO) == 1;
    int status = kova::run_kova(*k);
    std::cout.flush();
    return status;
}
