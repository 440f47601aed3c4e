// kova: command interpreter for electrostatics, Brownian dynamics and
// molecular mechanics of biological macromolecules in salt water.
#include <unistd.h>

#include <fstream>
#include <iostream>
#include <memory>
#include <string_view>

#include "bd/procs.hpp"
#include "command/mainloop.hpp"
#include "command/output.hpp"

namespace {

void usage(std::ostream& o) {
    o << "usage: kova [deck]\n"
         "       kova < deck\n"
         "Runs the commands of the deck file (or of standard input when no file is\n"
         "named) and writes the listing to standard output.\n"
         "  --help     this text\n"
         "  --version  the release of the program\n";
}

}  // namespace

namespace {

// Process 0 of an mpirun start tells the others to stop on every way out.
struct ProcsGuard {
    ~ProcsGuard() { kova::procs_finish(); }
};

}  // namespace

int main(int argc, char** argv) {
    std::ios::sync_with_stdio(false);
    // Under mpirun, the processes other than 0 serve Brownian-dynamics runs
    // and read no deck.
    kova::procs_init(argc, argv);
    if (kova::procs_rank() != 0) return kova::procs_serve();
    ProcsGuard guard;
    std::ifstream deck;
    bool from_file = false;
    if (argc > 2) {
        usage(std::cerr);
        return kova::exit_fatal;
    }
    if (argc == 2) {
        const std::string_view a = argv[1];
        if (a == "--help" || a == "-h") {
            usage(std::cout);
            return kova::exit_ok;
        }
        if (a == "--version") {
            std::cout << "kova Release experimental\n";
            return kova::exit_ok;
        }
        if (a.size() > 1 && a[0] == '-') {
            std::cerr << "kova: unknown option " << a << "\n";
            usage(std::cerr);
            return kova::exit_fatal;
        }
        deck.open(argv[1]);
        if (!deck) {
            std::cerr << "kova: cannot open the deck file " << a << "\n";
            return kova::exit_fatal;
        }
        from_file = true;
    }
    // The run state holds every fixed-size store of the program: on the heap.
    std::istream& in = from_file ? static_cast<std::istream&>(deck) : std::cin;
    auto k = std::make_unique<kova::Kova>(in, std::cout, std::cerr);
    // Commands typed at a terminal start in interactive mode.
    k->flags.terminal = !from_file && isatty(STDIN_FILENO) == 1;
    int status = kova::run_kova(*k);
    std::cout.flush();
    return status;
}
