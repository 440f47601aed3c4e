// Variables, arrays, the postfix evaluator and output-file creation.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>

#include "command/commands.hpp"
#include "command/readers.hpp"
#include "harness.hpp"

using namespace kova;
using kova::test::Session;

namespace {

double evaluate(std::string text, int bomb = 3, bool* ended = nullptr) {
    Session r(text + "\n");
    r.k.flags.bomb = bomb;
    double v = -12345;
    bool e = r.ends([&] { v = eval(r.k); });
    if (ended) *ended = e;
    return v;
}

}  // namespace

TEST(Eval, ArithmeticComparisonsAndLogic) {
    EXPECT_EQ(evaluate("3 -5 end"), -5.0);
    EXPECT_EQ(evaluate("3 5 - end"), -2.0);
    EXPECT_EQ(evaluate("1 2 + 4 * 3 / end"), 4.0);
    EXPECT_EQ(evaluate("2 3 > end"), 0.0);
    EXPECT_EQ(evaluate("2 3 < end"), 1.0);
    EXPECT_EQ(evaluate("2 2 = do"), 1.0);
    EXPECT_EQ(evaluate("0 not then"), 1.0);
    EXPECT_EQ(evaluate("1 0 and ,"), 0.0);
    EXPECT_EQ(evaluate("1 0 or end"), 1.0);
    EXPECT_EQ(evaluate("1 2 swap - end"), 1.0);
    EXPECT_EQ(evaluate("3 dup * end"), 9.0);
    EXPECT_EQ(evaluate("3 4 pop end"), 3.0);
    EXPECT_DOUBLE_EQ(evaluate("1 exp ln end"), 1.0);
    EXPECT_EQ(evaluate("16 sqrt end"), 4.0);
    // Numbers are read in single precision and widened.
    EXPECT_EQ(evaluate("0.1 end"), static_cast<double>(0.1f));
    // Spread over lines, with a comment hiding the rest of one.
    EXPECT_EQ(evaluate("1 ! 100 +\n2 +\nend"), 3.0);
    // Division by zero follows IEEE arithmetic.
    EXPECT_TRUE(std::isinf(evaluate("1 0 / end")));
}

TEST(Eval, StackErrorsAtEachAbortLevel) {
    struct Case {
        std::string text;
        const char* message;
    };
    std::string overflow;
    for (int i = 0; i < 21; ++i) overflow += "1 ";
    const Case cases[] = {
        {overflow + "end", " ERROR: eval (000) stack overflow\n"},
        {"1 + end", " ERROR: eval (010) insufficient entries for operation\n"},
        {"not end", " ERROR: eval (020) stack empty\n"},
        {"end", " ERROR: eval (040) expression has no value\n"},
    };
    for (const Case& c : cases) {
        for (int bomb = 1; bomb <= 5; ++bomb) {
            Session r(c.text + "\n");
            r.k.flags.bomb = bomb;
            double v = -1;
            bool ended = r.ends([&] { v = eval(r.k); });
            EXPECT_EQ(ended, bomb <= 4) << c.text << " bomb " << bomb;
            EXPECT_EQ(r.messages(), c.message);
            if (!ended) {
                EXPECT_EQ(v, 0.0);
            }
        }
    }
}

TEST(Eval, UnknownTokensAndVariables) {
    Session r("1 foo\n");
    EXPECT_TRUE(r.ends([&] { eval(r.k); }));
    EXPECT_EQ(r.messages(), " PARSE_ERROR: eval (030) unknown token: foo\n > 1 foo\n       ^\n"
                           " FATAL: getnum (999) parsing error in batch mode!\n");
    // Interactive: the unknown variable is dropped and the line retyped.
    Session i("$nope\n2 end\n");
    i.k.flags.batch = false;
    EXPECT_EQ(eval(i.k), 2.0);
    EXPECT_NE(i.out.str().find("PARSE_ERROR: eval (025) unable to get variable: nope"), std::string::npos);
}

TEST(Symbols, GetvarIndexSemantics) {
    Session r("a 3 end\n");
    setvar(r.k, "dead", 0, 0.0);
    kvdime(r.k);
    setvar(r.k, "z", 0, 5.0);
    int st = 0;
    EXPECT_EQ(getvar(r.k, "a", 3, st), 0.0);
    EXPECT_EQ(st, 0);
    // Past the array's end the entries that follow are reached...
    EXPECT_EQ(getvar(r.k, "a", 4, st), 5.0);
    EXPECT_EQ(st, 0);
    // ...until the table ends.
    getvar(r.k, "a", 5, st);
    EXPECT_EQ(st, -1);
    // An index of 0 or below is the named entry itself.
    setvar(r.k, "a", 1, 7.0);
    EXPECT_EQ(getvar(r.k, "a", 0, st), 7.0);
    EXPECT_EQ(getvar(r.k, "a", -3, st), 7.0);
    getvar(r.k, "missing", 0, st);
    EXPECT_EQ(st, -1);
    // Unnamed array entries cannot be reached by a blank name.
    getvar(r.k, "", 0, st);
    EXPECT_EQ(st, -1);
}

TEST(Symbols, SetvarReportsAndErrors) {
    Session r;
    setvar(r.k, "x", 0, static_cast<double>(0.1f));
    EXPECT_EQ(r.out.str(), "ASSIGNMENT\n  Set the variable: x                                = 0.10000000149012E+00\n");
    r.out.str("");
    EXPECT_TRUE(r.ends([&] { setvar(r.k, "nope", 2, 1.0); }));
    EXPECT_EQ(r.listing(), "ASSIGNMENT\n ERROR: setvar(100) array not previously dimensioned: nope\n");
    // With bomb 5 the error is reported and the run goes on.
    r.k.flags.bomb = 5;
    EXPECT_FALSE(r.ends([&] { setvar(r.k, "nope", 2, 1.0); }));
    // A full table.
    r.k.sym.vari = maxsym;
    r.out.str("");
    EXPECT_FALSE(r.ends([&] { setvar(r.k, "extra", 0, 1.0); }));
    EXPECT_EQ(r.listing(), "ASSIGNMENT\n ERROR: setvar(000) exceded symbol table size (maxsym)\n");
}

TEST(Symbols, DimeRefusesSizesThatDoNotFit) {
    Session r("a 0 b -2 c 1501 d 2 end\n");
    r.k.flags.bomb = 4;
    kvdime(r.k);
    EXPECT_EQ(r.k.sym.vari, 2);
    EXPECT_NE(r.out.str().find(" SERIOUS: kvdime(010) array size must be positive: a\n"), std::string::npos);
    EXPECT_NE(r.out.str().find(" SERIOUS: kvdime(000) user memory exceded: c\n"), std::string::npos);
    // Re-dimensioning hides the old array; its entries stay allocated.
    Session s("a 2 end a 3 end\n");
    kvdime(s.k);
    kvdime(s.k);
    EXPECT_EQ(s.k.sym.vari, 5);
    EXPECT_EQ(s.k.sym.find("a"), 3);
}

class Kvopen : public ::testing::Test {
protected:
    void SetUp() override {
        dir = std::filesystem::temp_directory_path() / ("kvopen_test_" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir);
        old = std::filesystem::current_path();
        std::filesystem::current_path(dir);
    }
    void TearDown() override {
        std::filesystem::current_path(old);
        std::filesystem::remove_all(dir);
    }
    static void touch(const std::string& n) { std::ofstream(n) << "keep\n"; }
    static std::string content(const std::string& n) {
        std::ifstream f(n);
        std::string s;
        std::getline(f, s);
        return s;
    }
    std::filesystem::path dir, old;
};

TEST_F(Kvopen, NeverOverwritesAndNumbersTheNewName) {
    Session r;
    touch("out.pdb");
    touch("out.pdb1");
    std::string name = "out.pdb";
    kvopen(r.k, 31, name, true);
    EXPECT_EQ(name, "out.pdb2");
    EXPECT_EQ(content("out.pdb"), "keep");
    r.k.units.write(31, "new");
    r.k.units.close(31);
    EXPECT_EQ(content("out.pdb2"), "new");
}

TEST_F(Kvopen, NinetyNineCollisionsThenFatal) {
    Session r;
    touch("f");
    for (int i = 1; i <= 98; ++i) touch(std::string(1, 'f').append(std::to_string(i)));
    std::string name = "f";
    kvopen(r.k, 31, name, true);
    EXPECT_EQ(name, "f99");
    r.k.units.close(31);
    std::string again = "f";
    EXPECT_TRUE(r.ends([&] { kvopen(r.k, 31, again, true); }));
    EXPECT_NE(r.out.str().find(" FATAL: kvopen(000) unable to open file: f\n"), std::string::npos);
}

TEST_F(Kvopen, TruncatesALongNameToMakeRoom) {
    Session r;
    std::string name(10, 'n');
    touch(name);
    kvopen(r.k, 31, name, false, 10);
    EXPECT_EQ(name, std::string(9, 'n') + "1");
    EXPECT_EQ(r.out.str(), " NOTE: kvopen(010) truncating file name to 10 characters\n");
}

TEST(Bits, SetClearTestAndFlush) {
    EXPECT_EQ(ibset(0, 3), 8);
    EXPECT_EQ(ibclr(15, 0), 14);
    EXPECT_TRUE(btest(8, 35));  // bit numbers are taken modulo 32
    EXPECT_EQ(ibset(0, 31), static_cast<int>(0x80000000u));
    std::vector<int> masks{0, 0, 0xff}, hits{3, 1, 2};
    int flag = 1, slot = 2, nterm = 2;
    bflush(flag, masks, hits, slot, nterm);
    EXPECT_EQ(masks[0], 4);    // both sub-tests hit
    EXPECT_EQ(masks[1], 0);
    EXPECT_EQ(masks[2], 0xfb); // bit 2 cleared
    EXPECT_EQ(hits, (std::vector<int>{0, 0, 0}));
    EXPECT_EQ(slot, 3);
    EXPECT_EQ(nterm, 0);
    EXPECT_EQ(flag, 0);
}
