// hbmatch: lists hydrogen-bond donor/acceptor pairs between the structures
// "1.pdb" and "2.pdb" of the current folder. All file names are fixed.
#include <iostream>

#include "hbmatch.hpp"

int main(int argc, char**) {
    if (argc > 1) {
        // Refuse rather than overwrite the pair files of a folder by accident
        // (e.g. "hbmatch --help").
        std::cerr << "usage: hbmatch (no arguments; reads da.distance, 1.pdb and 2.pdb in the "
                     "current folder and writes fort.99, 1.rxna and 2.rxna there)\n";
        return 2;
    }
    return hbmatch::run(".", std::cout, std::cerr);
}
