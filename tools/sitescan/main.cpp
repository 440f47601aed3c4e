// sitescan THRESHOLD < listing: prints the number of the first site whose
// third value lies strictly within THRESHOLD of zero.
#include <iostream>
#include <string>
#include <vector>

#include "sitescan.hpp"

int main(int argc, char** argv) {
    std::ios::sync_with_stdio(false);
    std::vector<std::string> args(argv + 1, argv + argc);
    return sitescan::run(args, std::cin, std::cout, std::cerr);
}
