// Whole runs on malformed input: whatever arrives, kova ends cleanly.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "command/mainloop.hpp"
#include "command/output.hpp"
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

TEST(Session, TerminalRunsInteractiveAndAbandonsBrokenCommands) {
    // At a terminal: interactive from the start (a serious message does not
    // stop the run), typed lines are not echoed, and a wrong word abandons
    // the command being typed so that the retyped line is a new command.
    test::Session t("frob\nassi v 5 end\nassi v = 7 end\nmode 'x' = end\nstop\n");
    t.k.flags.terminal = true;
    EXPECT_EQ(run_kova(t.k), 0);
    const std::string o = t.out.str();
    EXPECT_NE(o.find(" SERIOUS: KOVA(050) unknown keyword: frob"), std::string::npos);
    EXPECT_EQ(o.find("Main >  frob"), std::string::npos);  // no echo
    EXPECT_NE(o.find(" Please retype entire line.\nMain > ASSIGNMENT\n"
                     "  Set the variable: v                                = 0.70000000000000E+01\n"),
              std::string::npos)
        << o;
    // "mode 'x' =": the unknown word is reported, then "=" abandons the mode
    // command before its report; "stop" is read as the next command.
    EXPECT_NE(o.find(" > mode 'x' = end\n"), std::string::npos);
    EXPECT_EQ(o.find("KOVA mode settings"), std::string::npos);
    EXPECT_NE(o.find("KOVA termination"), std::string::npos);

    // The same input from a file is a batch run: the first wrong word stops it.
    test::Session b("frob\nstop\n");
    EXPECT_EQ(run_kova(b.k), exit_abort);
    EXPECT_NE(b.out.str().find("Main >  frob"), std::string::npos);
}
