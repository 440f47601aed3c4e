// The typed value readers: accepted tokens, lines read on demand, variable
// references, and the error paths in batch and interactive mode.
#include <gtest/gtest.h>

#include <limits>

#include "command/commands.hpp"
#include "command/output.hpp"
#include "command/readers.hpp"
#include "harness.hpp"

using namespace kova;
using kova::test::Session;

namespace {

// A run reading its values from standard input as the command input.
struct Reading : Session {
    explicit Reading(std::string input, bool batch) : Session(std::move(input)) {
        k.flags.batch = batch;
        k.flags.bomb = batch ? 3 : 4;
        k.tok.ilen = 0;
    }
};

}  // namespace

TEST(Readers, ValuesSpreadOverLines) {
    Reading r("  Alpha\n\n! comment\n'MixedCase'\n12 3.5 7\n-2. 9\n", true);
    EXPECT_EQ(getnam(r.k, 5, "P"), "alpha");
    EXPECT_EQ(getnam(r.k, 5, "P"), "MixedCase");
    EXPECT_EQ(getint(r.k, 5, "P"), 12);
    EXPECT_FLOAT_EQ(getfp(r.k, 5, "P"), 3.5f);
    EXPECT_FLOAT_EQ(getnum(r.k, 5, "P"), 7.0f);
    EXPECT_FLOAT_EQ(getnum(r.k, 5, "P"), -2.0f);
    EXPECT_EQ(getin1(r.k, 5, "P"), 9);
    // Lines were prompted with the caller's prompt and echoed.
    EXPECT_NE(r.out.str().find("P >    Alpha\nP >  \nP >  ! comment\nP >  'MixedCase'\n"), std::string::npos)
        << r.out.str();
}

TEST(Readers, NumbersStayExactAndFinite) {
    // Integers are read exactly (not through single precision), a real may
    // be written as an integer, and a variable that is not a finite number
    // is refused by every numeric reader.
    Reading r("16777217 2147483647 -2147483648 1 eval 1 0 / end\n3.5\n", false);
    setvar(r.k, "y", 0, -std::numeric_limits<double>::quiet_NaN());
    EXPECT_EQ(getint(r.k, 5, "P"), 16777217);
    EXPECT_EQ(getint(r.k, 5, "P"), 2147483647);
    EXPECT_EQ(getin1(r.k, 5, "P"), -2147483647 - 1);
    EXPECT_FLOAT_EQ(getfp(r.k, 5, "P"), 1.0f);
    // 1 0 / is refused; the rest of the line is retyped.
    r.out.str("");
    EXPECT_FLOAT_EQ(getnum(r.k, 5, "P"), 3.5f);
    EXPECT_NE(r.out.str().find(" PARSE_ERROR: getnum (030) expression value is not a finite number.\n"),
              std::string::npos);
    EXPECT_EQ(r.k.flags.bomb, 4);
    Reading v("$y\n2.5\n$y\n7\n", false);
    setvar(v.k, "y", 0, std::numeric_limits<double>::infinity());
    EXPECT_FLOAT_EQ(getfp(v.k, 5, "P"), 2.5f);
    EXPECT_EQ(getint(v.k, 5, "P"), 7);
    EXPECT_NE(v.out.str().find(" PARSE_ERROR: getfp (030) value is not a finite number: y\n"), std::string::npos);
    EXPECT_NE(v.out.str().find(" PARSE_ERROR: getint (030) value is not a finite number: y\n"), std::string::npos);
    // An integer beyond 32 bits is not an integer token: refused in batch.
    Reading b("2147483648\n", true);
    EXPECT_TRUE(b.ends([&] { getint(b.k, 5, "P"); }));
    EXPECT_EQ(b.status, exit_input);
}

TEST(Readers, NameReadersKeepOrLowerCase) {
    Reading r("FiLe.Dat 'Q' BLANK ignored\nWord (\n"
              "1A8O.pdb ../data/x-1.crd 'a b'c 7 /tmp/$x,y !comment\nEOF\n",
              true);
    EXPECT_EQ(getfil(r.k, 5, "P"), "FiLe.Dat");
    EXPECT_EQ(getfil(r.k, 5, "P"), "Q");
    // The word blank reads as an empty line: the rest of its line is skipped.
    EXPECT_EQ(getnam(r.k, 5, "P"), "word");
    EXPECT_EQ(getchr(r.k, 5, "P"), '(');
    // A file name without quotes runs to the next blank, whatever tokens it
    // scans as; a quoted one ends at its quote.
    for (const char* name : {"1A8O.pdb", "../data/x-1.crd", "a b", "c", "7", "/tmp/$x,y"})
        EXPECT_EQ(getfil(r.k, 5, "P"), name);
    // A typed EOF is a word like any other.
    EXPECT_EQ(getfil(r.k, 5, "P"), "EOF");
    // The end of input reaches the name readers as a word, once: a reader
    // that asks again is still looking for values that can never come.
    EXPECT_EQ(getnam(r.k, 5, "P"), "eof");
    EXPECT_TRUE(r.ends([&] { getfil(r.k, 5, "P"); }));
    EXPECT_EQ(r.status, exit_input);
    EXPECT_NE(r.out.str().find(" FATAL: getlin(020) input ended while a command was still reading.\n"),
              std::string::npos);
}

TEST(Readers, DataFileCommentsAreCopiedToTheListing) {
    Session r("* remark in a data file\nname\n");
    r.k.files.inunit = 51;  // the file being read is not the command input
    EXPECT_EQ(getnam(r.k, 5, "P"), "name");
    EXPECT_EQ(r.out.str(), " * remark in a data file" + std::string(57, ' ') + "\n");
}

TEST(Readers, BatchModeWrongTokensEndTheRun) {
    struct Case {
        const char* input;
        std::function<void(Kova&)> read;
        const char* message;
    };
    const Case cases[] = {
        {"abc 5\n", [](Kova& k) { getnam(k, 5, "P"); getnam(k, 5, "P"); },
         " GetNam ERROR: expecting string token.\n > abc 5\n       ^\n BATCH MODE ABORT!\n"},
        {"'7\n", [](Kova& k) { getfil(k, 5, "P"); },
         " Getfil ERROR: expecting string token.\n > '7\n   ^\n BATCH MODE ABORT!\n"},
        {"x\n", [](Kova& k) { getchr(k, 5, "P"); },
         " GetChr ERROR: expecting character token.\n > x\n   ^\n BATCH MODE ABORT!\n"},
        {"1 2.5\n", [](Kova& k) { getint(k, 5, "P"); getint(k, 5, "P"); },
         " PARSE_ERROR: getint (010) expecting integer or real token.\n > 1 2.5\n       ^\n"
         " FATAL: getnum (999) parsing error in batch mode!\n"},
        {"5 x\n", [](Kova& k) { getfp(k, 5, "P"); getfp(k, 5, "P"); },
         " PARSE_ERROR: getfp (010) expecting real token.\n > 5 x\n     ^\n"
         " FATAL: getnum (999) parsing error in batch mode!\n"},
        {"\n", [](Kova& k) { getnum(k, 5, "P"); },
         " PARSE_ERROR: getnum (010) expecting integer or real token.\n > BLANK\n       ^\n"
         " FATAL: getnum (999) parsing error in batch mode!\n"},
        {"$nope\n", [](Kova& k) { getin1(k, 5, "P"); },
         " PARSE_ERROR: getin1 (000) unknown variable: nope\n > $nope\n       ^\n"
         " FATAL: getnum (999) parsing error in batch mode!\n"},
        {"$nope\n", [](Kova& k) { getin2(k, 5, "P"); },
         " PARSE_ERROR: getin2 (000) unknown variable: nope\n > $nope\n       ^\n"
         " FATAL: getnum (999) parsing error in batch mode!\n"},
    };
    for (const Case& c : cases) {
        Reading r(c.input, true);
        EXPECT_TRUE(r.ends([&] { c.read(r.k); })) << c.input;
        std::string o = r.listing();
        // Skip the prompt and echo of the line.
        std::string shown = o.substr(o.find('\n') + 1);
        EXPECT_EQ(shown, c.message) << c.input;
    }
}

TEST(Readers, InteractiveModeAsksForTheRestOfTheLine) {
    // getint: a wrong value in the middle of a line keeps the values already
    // read; only the rest is read again.
    Reading r("1 x 3\n2 3\n", false);
    EXPECT_EQ(getint(r.k, 5, "P"), 1);
    EXPECT_EQ(getint(r.k, 5, "P"), 2);
    EXPECT_EQ(getint(r.k, 5, "P"), 3);
    EXPECT_NE(r.out.str().find(" > 1 x 3\n     ^\n Please retype line from this point.\nP >  2 3\n"),
              std::string::npos)
        << r.out.str();

    Reading n("5 lost\ngood\n", false);
    EXPECT_EQ(getnam(n.k, 5, "P"), "good");
    EXPECT_NE(n.out.str().find(" Please retype entire line.\n"), std::string::npos);
}

TEST(Readers, InteractiveModeAtEndOfInputStopsInsteadOfAskingForever) {
    Reading r("", false);
    EXPECT_TRUE(r.ends([&] { getint(r.k, 5, "P"); }));
    EXPECT_NE(r.out.str().find("FATAL: getlin(010) end of input"), std::string::npos);
    Reading c("", false);
    EXPECT_TRUE(c.ends([&] { getchr(c.k, 5, "P"); }));
}

TEST(Readers, VariableReferences) {
    Reading r("$x $ \ny $a(2) $a($i) $a($b(1)) $a($b($i(1)))\n", true);
    r.k.sym.vari = 6;
    r.k.sym.varc[1] = "x", r.k.sym.vardp[1] = -2.75;
    r.k.sym.varc[2] = "y", r.k.sym.vardp[2] = 4;
    r.k.sym.varc[3] = "a", r.k.sym.vardp[3] = 10;
    r.k.sym.vardp[4] = 20;
    r.k.sym.varc[5] = "i", r.k.sym.vardp[5] = 2;
    r.k.sym.varc[6] = "b", r.k.sym.vardp[6] = 1;
    EXPECT_FLOAT_EQ(getnum(r.k, 5, "P"), -2.75f);
    EXPECT_EQ(getint(r.k, 5, "P"), 4);          // $ on one line, the name on the next
    EXPECT_EQ(getint(r.k, 5, "P"), 20);
    EXPECT_FLOAT_EQ(getfp(r.k, 5, "P"), 20.0f); // an index of an index
    EXPECT_EQ(getint(r.k, 5, "P"), 10);
    // A third level of indexing is refused.
    EXPECT_TRUE(r.ends([&] { getint(r.k, 5, "P"); }));
    EXPECT_NE(r.out.str().find(" PARSE_ERROR: getin2(100) exceeded array index nesting\n"), std::string::npos);
    // Integer readers truncate toward zero.
    Reading t("$x\n", true);
    t.k.sym.vari = 1;
    t.k.sym.varc[1] = "x", t.k.sym.vardp[1] = -2.75;
    EXPECT_EQ(getint(t.k, 5, "P"), -2);
}

TEST(Readers, EvalInsideNumericReaders) {
    Reading r("eval 2 3 * end eval 3 2 / then eval 7 2 / ,\n", true);
    EXPECT_EQ(getint(r.k, 5, "P"), 6);
    EXPECT_FLOAT_EQ(getnum(r.k, 5, "P"), 1.5f);
    EXPECT_EQ(getint(r.k, 5, "P"), 3);  // truncated toward zero
}

TEST(Ermsg, TheTenthCallEndsTheRun) {
    Session r;
    for (int i = 1; i <= 9; ++i) EXPECT_FALSE(r.ends([&] { ermsg(r.k, "X", "m", "WARNING"); }));
    EXPECT_TRUE(r.ends([&] { ermsg(r.k, "X", "m", "NOTE"); }));
    EXPECT_NE(r.out.str().find(" FATAL: ermsg(010) exceded max error count =   10\n"), std::string::npos);
    EXPECT_EQ(r.err.str(), "STOP Ermsg statement executed\n");
    Session f;
    EXPECT_TRUE(f.ends([&] { ermsg(f.k, "RT ", "gone  ", "FATAL"); }));
    EXPECT_EQ(f.listing(), " FATAL: RT(ermsg) gone\n");
}
