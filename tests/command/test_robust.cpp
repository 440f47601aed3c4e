// Whole runs on malformed input: whatever arrives, kova ends cleanly.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "command/mainloop.hpp"
#include "harness.hpp"

using namespace kova;

namespace {

// Words and characters of the command language, so that random input goes
// deep into the readers and control flow instead of stopping at the first
// unknown keyword. endwhile is left out: a loop that never ends is a deck
// doing what it says, not malformed input.
const char* const vocabulary[] = {
    "if", "else", "endif", "while", "do", "then", "end", "eval", "assi", "dime", "stre", "mode",
    "inter", "batch", "bomb", "note", "fata", "$", "(", ")", ":", "=", ",", "!", "*", "'", "\"", "-",
    "1", "-2.5", "3e4", "x", "a(1:2)", "mc", "eof", "open", "close", "unit", "fil", "old", "new",
    "not", "dup", "swap", "pop", "+", "/", "<", ">", "sqrt", "ln", "1e39", "99999999999", "\t", "\x01",
    "\xff", "endiF", "blank", "  ",
};

std::string random_deck(std::mt19937& gen) {
    std::uniform_int_distribution<int> nlines(0, 30), nwords(0, 12), pick(0, std::size(vocabulary) - 1),
        coin(0, 9);
    std::string deck;
    if (coin(gen) < 7) deck += "inter\n";  // interactive mode goes on after errors
    if (coin(gen) < 5) deck += "mode bomb fata end\n";
    int lines = nlines(gen);
    for (int l = 0; l < lines; ++l) {
        int words = nwords(gen);
        for (int w = 0; w < words; ++w) {
            deck += vocabulary[pick(gen)];
            if (coin(gen) < 8) deck += ' ';
        }
        if (coin(gen) == 0) deck += std::string(200, 'z');
        deck += '\n';
    }
    return deck;
}

}  // namespace

TEST(Robustness, RandomDecksEndCleanly) {
    auto old = std::filesystem::current_path();
    auto dir = std::filesystem::temp_directory_path() / ("kova_fuzz_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    std::filesystem::current_path(dir);
    std::mt19937 gen(20261207);
    for (int i = 0; i < 400; ++i) {
        test::Session r(random_deck(gen));
        const int status = run_kova(r.k);
        // Every run ends with the termination report; a stopped run says
        // with which status, and only the documented ones occur.
        EXPECT_TRUE(status >= 0 && status <= 3) << status;
        const std::string o = r.out.str();
        EXPECT_NE(o.find("KOVA termination\n"), std::string::npos);
        EXPECT_EQ(status != 0, o.find("  exit status             : ") != std::string::npos);
    }
    std::filesystem::current_path(old);
    std::filesystem::remove_all(dir);
}
