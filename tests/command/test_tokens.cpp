// The token automaton and the line reader.
#include <gtest/gtest.h>

#include "command/output.hpp"
#include "command/tokens.hpp"
#include "harness.hpp"

using namespace kova;
using kova::test::Session;

namespace {

struct Tok {
    std::string kind;
    std::string text;
};

std::vector<Token> scan(Session& r, std::string_view text) {
    r.line(text);
    std::vector<Token> v;
    for (int guard = 0; guard < 100; ++guard) {
        Token t = gettok(r.k);
        v.push_back(t);
        if (t.kind == TokKind::linend) break;
    }
    return v;
}

std::vector<Tok> kinds(Session& r, std::string_view text) {
    std::vector<Tok> v;
    for (const Token& t : scan(r, text)) v.push_back({std::string(kind_name(t.kind)), t.text});
    return v;
}

std::string show(const std::vector<Tok>& v) {
    std::string s;
    for (auto& t : v) s += t.kind + ":" + t.text + " ";
    return s;
}

#define EXPECT_TOKENS(input, ...)                                  \
    do {                                                           \
        Session r;                                                     \
        std::vector<Tok> want = __VA_ARGS__;                       \
        auto got = kinds(r, input);                                \
        EXPECT_EQ(show(got), show(want)) << "input: " << (input); \
    } while (0)

}  // namespace

TEST(Gettok, NumbersAndTheirNeighbours) {
    EXPECT_TOKENS("5e+3", {{"INTEGER", "5"}, {"NAME", "e"}, {"CHAR", "+"}, {"INTEGER", "3"}, {"LINEND", ""}});
    EXPECT_TOKENS("5e-3", {{"REAL", "5e-3"}, {"LINEND", ""}});
    EXPECT_TOKENS("5e3 5. .5 -.5 1.5d0",
                  {{"REAL", "5e3"}, {"REAL", "5."}, {"REAL", ".5"}, {"REAL", "-.5"}, {"REAL", "1.5d0"}, {"LINEND", ""}});
    EXPECT_TOKENS("1.5.2", {{"REAL", "1.5"}, {"REAL", ".2"}, {"LINEND", ""}});
    EXPECT_TOKENS("x-1", {{"NAME", "x"}, {"INTEGER", "-1"}, {"LINEND", ""}});
    EXPECT_TOKENS("- . -x", {{"CHAR", "-"}, {"CHAR", "."}, {"CHAR", "-"}, {"NAME", "x"}, {"LINEND", ""}});
    EXPECT_TOKENS("-5 -0.25", {{"INTEGER", "-5"}, {"REAL", "-0.25"}, {"LINEND", ""}});
}

TEST(Gettok, NumericValues) {
    Session r;
    auto v = scan(r, "42 -7 1.5d0 5e-3 -.5 2147483647 2147483648 -2147483648 1e39");
    EXPECT_EQ(v[0].ival, 42);
    EXPECT_FLOAT_EQ(v[0].rval, 42.0f);
    EXPECT_EQ(v[1].ival, -7);
    EXPECT_FLOAT_EQ(v[2].rval, 1.5f);
    EXPECT_EQ(v[2].ival, 0);
    EXPECT_EQ(v[3].rval, 5e-3f);  // correctly rounded from the decimal text
    EXPECT_EQ(v[4].rval, -0.5f);
    EXPECT_EQ(v[5].kind, TokKind::integer);
    EXPECT_EQ(v[5].ival, 2147483647);
    // Beyond the 32-bit range an integer is kept as a real of the same value.
    EXPECT_EQ(v[6].kind, TokKind::real);
    EXPECT_EQ(v[6].rval, 2147483648.0f);
    EXPECT_EQ(v[7].kind, TokKind::integer);
    EXPECT_EQ(v[7].ival, -2147483647 - 1);
    // Too large for single precision: no silent infinity.
    EXPECT_EQ(v[8].kind, TokKind::error);
}

TEST(Gettok, NamesAndCharacters) {
    EXPECT_TOKENS("C5' O1* a.b x_1", {{"NAME", "C5'"}, {"NAME", "O1*"}, {"NAME", "a.b"}, {"NAME", "x_1"}, {"LINEND", ""}});
    EXPECT_TOKENS("_a *b", {{"CHAR", "_"}, {"NAME", "a"}, {"CHAR", "*"}, {"NAME", "b"}, {"LINEND", ""}});
    EXPECT_TOKENS("$x(3)=!",
                  {{"CHAR", "$"}, {"NAME", "x"}, {"CHAR", "("}, {"INTEGER", "3"}, {"CHAR", ")"}, {"CHAR", "="},
                   {"CHAR", "!"}, {"LINEND", ""}});
    EXPECT_TOKENS("a,b:c/d<e>f", {{"NAME", "a"}, {"CHAR", ","}, {"NAME", "b"}, {"CHAR", ":"}, {"NAME", "c"},
                                  {"CHAR", "/"}, {"NAME", "d"}, {"CHAR", "<"}, {"NAME", "e"}, {"CHAR", ">"},
                                  {"NAME", "f"}, {"LINEND", ""}});
    EXPECT_TOKENS("\tabc\t", {{"NAME", "abc"}, {"LINEND", ""}});
}

TEST(Gettok, QuotedStrings) {
    Session r;
    auto v = scan(r, "'it''s' '' \"say 'hi'\" \"a\"\"b\"");
    ASSERT_GE(v.size(), 5u);
    EXPECT_EQ(v[0].kind, TokKind::string);
    EXPECT_EQ(v[0].text, "it's");
    EXPECT_EQ(v[0].ival, 39);
    EXPECT_EQ(v[1].kind, TokKind::string);
    EXPECT_EQ(v[1].text, "");
    EXPECT_EQ(v[2].text, "say 'hi'");
    EXPECT_EQ(v[2].ival, 34);
    EXPECT_EQ(v[3].text, "a\"b");
    EXPECT_EQ(v[4].kind, TokKind::linend);
}

TEST(Gettok, UnterminatedQuoteIsStrbegAtTheQuote) {
    Session r;
    r.line("ab 'open string");
    gettok(r.k);
    Token t = gettok(r.k);
    EXPECT_EQ(t.kind, TokKind::strbeg);
    EXPECT_EQ(t.text, "");
    EXPECT_EQ(t.ival, 0);
    EXPECT_EQ(r.k.tok.ipos, 4);  // the opening quote
}

TEST(Gettok, LinendRepeatsUntilANewLine) {
    Session r;
    r.line("abc");
    EXPECT_EQ(gettok(r.k).text, "abc");
    EXPECT_EQ(r.k.tok.ipos, 3);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(gettok(r.k).kind, TokKind::linend);
}

TEST(Gettok, EightyColumnNameWarnsOnceAndIsKept) {
    Session r;
    std::string name(80, 'a');
    r.line(name);
    Token t = gettok(r.k);
    EXPECT_EQ(t.kind, TokKind::name);
    EXPECT_EQ(t.text, name);
    EXPECT_EQ(r.k.erm.calls, 1);
    EXPECT_EQ(r.out.str(), " WARNING: GETTOK(ermsg) String too big:" + name + "\n");
}

TEST(Getlin, PromptEchoBlankAndEof) {
    Session r("  hello world  \n\n" + std::string(100, 'x') + "\n");
    r.k.files.inunit = 5;
    getlin(r.k, 5, "Main");
    EXPECT_EQ(r.k.tok.ilen, 13);
    EXPECT_EQ(r.out.str(), "Main >    hello world\n");
    getlin(r.k, 5, "Main");
    EXPECT_EQ(std::string(r.k.tok.text().substr(0, 5)), "BLANK");
    EXPECT_EQ(r.k.tok.ilen, 5);
    // Columns beyond 80 are never seen, and text there is not lost without
    // a word: at the start-up abort level it stops the run.
    EXPECT_TRUE(r.ends([&] { getlin(r.k, 5, "Main"); }));
    EXPECT_EQ(r.status, exit_abort);
    EXPECT_NE(r.out.str().find(" SERIOUS: getlin(030) text beyond column 80 is not read:\n > " +
                               std::string(100, 'x') + "\n" + std::string(83, ' ') + "^\n"),
              std::string::npos);
    EXPECT_EQ(r.k.tok.ilen, 80);
    r.out.str("");
    getlin(r.k, 5, "Main");
    EXPECT_EQ(std::string(r.k.tok.text().substr(0, 4)), "EOF ");
    EXPECT_EQ(r.k.tok.ilen, 3);
    EXPECT_EQ(r.out.str(), "Main > ");  // prompt, no echo
}

TEST(Getlin, DataUnitsAreNeitherPromptedNorEchoed) {
    Session r("xyz\n");
    r.k.files.inunit = 51;  // the command input is elsewhere
    getlin(r.k, 5, "Main");
    EXPECT_EQ(r.out.str(), "");
    EXPECT_EQ(r.k.tok.ilen, 3);
}

TEST(Utilities, CaseLengthJustifySplit) {
    EXPECT_EQ(lcase("AbC-Z9"), "abc-z9");
    EXPECT_EQ(kvlen("ab \t\n "), 2);
    EXPECT_EQ(kvlen("   "), 0);
    EXPECT_EQ(ljust(" \t x y").substr(0, 4), "x y ");
    EXPECT_EQ(ljust("   ").size(), 80u);
    EXPECT_TRUE(isletr('Q') && !isletr('1') && isnumb('7') && iswhyt('\t') && !iswhyt('x'));

    auto w = split("  ATOM   1  CA");
    ASSERT_EQ(w.size(), 3u);
    EXPECT_EQ(w[0], std::make_pair(3, 6));
    EXPECT_EQ(w[2], std::make_pair(13, 14));
    // A word running to column 80 still gets its last column.
    std::string full(78, ' ');
    full += "ab";
    w = split(full);
    ASSERT_EQ(w.size(), 1u);
    EXPECT_EQ(w[0], std::make_pair(79, 80));
}

TEST(Utilities, LcaseWarnsWhenNonBlankTextIsCut) {
    Session r;
    EXPECT_EQ(lcase(r.k, "ABCDEF", 3), "abc");
    EXPECT_EQ(r.k.erm.calls, 1);
    EXPECT_EQ(r.out.str(), " WARNING: LCASE(ermsg) String too big\" ABCDEF\n");
    EXPECT_EQ(lcase(r.k, "ABC   ", 3), "abc");
    EXPECT_EQ(r.k.erm.calls, 1);
}
