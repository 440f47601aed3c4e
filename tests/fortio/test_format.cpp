// Formatted WRITE and READ: the program's own layouts and the rules of
// format control, with expected records taken from gfortran runs.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "fortio/format.hpp"

namespace {

using fortio::Chars;
using fortio::format_read;
using fortio::format_read_record;
using fortio::format_write;
using fortio::FormatError;
using fortio::ReadStatus;
using Records = std::vector<std::string>;
using std::int64_t;
using namespace std::string_view_literals;

std::string one(std::string_view fmt, std::initializer_list<fortio::OutItem> items) {
    Records r = format_write(fmt, items);
    EXPECT_EQ(r.size(), 1u) << fmt;
    return r.empty() ? std::string() : r.front();
}

// A record source over a fixed list of records.
struct Lines {
    std::vector<std::string> lines;
    std::size_t next = 0;
    fortio::RecordSource source() {
        return [this](std::string& s) {
            if (next >= lines.size()) return false;
            s = lines[next++];
            return true;
        };
    }
};

// ---------------------------------------------------------------------------
// Output

TEST(FormatWrite, ProgramLayouts) {
    EXPECT_EQ(one("(1x,'  Atoms read',40x,':',i10)", {int64_t{1234}}),
              "   Atoms read" + std::string(40, ' ') + ":      1234");
    const char* atom = "(a6,i5,1x,a4,a1,a4,a1,i4,a1,3x,3f8.3,2f6.2,6x,i1,a4,i3)";
    EXPECT_EQ(one(atom, {"ATOM  "sv, int64_t{12}, " CA "sv, " "sv, "ALA"sv, "A"sv, int64_t{7}, " "sv, 11.104, -6.134,
                         100.5, 1.0, 23.25, int64_t{1}, "PROT"sv, int64_t{-1}}),
              "ATOM     12  CA   ALAA   7      11.104  -6.134 100.500  1.00 23.25      1PROT -1");
    // Every field overflowing or truncated at once.
    EXPECT_EQ(one(atom, {"HETATM"sv, int64_t{123456}, "O"sv, " "sv, "HOH"sv, "W"sv, int64_t{12345}, " "sv, -1234.5678,
                         0.0005, -0.0005, 999.999, -10.0, int64_t{12}, "LONGER"sv, int64_t{1000}}),
              "HETATM*****    O  HOHW****    ********   0.001  -0.001******-10.00      *LONG***");
    EXPECT_EQ(one("(1x,a,f10.3)", {"Energy"sv, -1234.5675}), " Energy -1234.568");
    EXPECT_EQ(one("(a)", {"as is, any length"sv}), "as is, any length");
    EXPECT_EQ(one("(i12)", {int64_t{-123456789}}), "  -123456789");
    EXPECT_EQ(one("(e20.14)", {-1.0 / 3.0}), "-.33333333333333E+00");
    EXPECT_EQ(one("(e20.14)", {6.02214076e23}), "0.60221407600000E+24");
    EXPECT_EQ(one("(2x,a,i5,')      = ',e20.14)", {"abc"sv, int64_t{5}, 1.5}), "  abc    5)      = 0.15000000000000E+01");
    EXPECT_EQ(format_write("((6(1x,e12.6)))", {1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0, 8.0}),
              (Records{" 0.100000E+01 0.200000E+01 0.300000E+01 0.400000E+01 0.500000E+01 0.600000E+01",
                       " 0.700000E+01 0.800000E+01"}));
}

TEST(FormatWrite, RealFieldsAsGfortranWritesThem) {
    EXPECT_EQ(one("(f4.3)", {0.5}), ".500");  // the optional zero goes when the field is full
    EXPECT_EQ(one("(f5.3)", {-0.5}), "-.500");
    EXPECT_EQ(one("(f6.3)", {-0.0}), "-0.000");
    EXPECT_EQ(one("(f8.3)", {-1e-4}), "  -0.000");  // negative values keep their sign when rounded to zero
    EXPECT_EQ(one("(f3.0)", {2.5}), " 2.");         // exact ties go to even
    EXPECT_EQ(one("(f3.0)", {3.5}), " 4.");
    EXPECT_EQ(one("(f5.2)", {0.125}), " 0.12");
    EXPECT_EQ(one("(f5.1)", {0.35}), "  0.3");  // 0.35 is really 0.34999999999999997...
    EXPECT_EQ(one("(f12.9)", {0.1f}), " 0.100000001");  // REAL items keep their exact binary value
    EXPECT_EQ(one("(f2.0)", {0.3}), "0.");
    EXPECT_EQ(one("(f0.3)", {-0.5}), "-.500");
    EXPECT_EQ(one("(e12.6)", {0.1}), "0.100000E+00");
    EXPECT_EQ(one("(e12.6)", {1e99}), "0.100000+100");  // a three-digit exponent drops the E
    EXPECT_EQ(one("(e11.6)", {0.1}), ".100000E+00");
    EXPECT_EQ(one("(e10.3)", {-0.0}), "-0.000E+00");
    EXPECT_EQ(one("(e12.3e4)", {2.5e20}), " 0.250E+0021");
    EXPECT_EQ(one("(d12.4)", {1.5}), "  0.1500D+01");
    EXPECT_EQ(one("(es12.4)", {2.5}), "  2.5000E+00");
    EXPECT_EQ(one("(1X,2pe12.4,1pf8.2,-1pe12.4,0pe12.4)", {1.5f, 2.5f, 3.5f, 4.5f}),
              "   15.000E-01   25.00  0.0350E+02  0.4500E+01");
    EXPECT_EQ(one("(1x,sp,i4,f6.2,ss,i4,s,i4)", {int64_t{1}, 2.0, int64_t{3}, int64_t{4}}), "   +1 +2.00   3   4");
}

TEST(FormatWrite, GSwitchesBetweenFAndE) {
    EXPECT_EQ(one("(g15.6)", {2.5}), "    2.50000    ");
    EXPECT_EQ(one("(g15.6)", {0.0}), "    0.00000    ");
    EXPECT_EQ(one("(g15.6)", {2.5e10}), "   0.250000E+11");
    EXPECT_EQ(one("(g15.6)", {0.09999999}), "   0.100000    ");
    EXPECT_EQ(one("(g15.6)", {999999.5}), "   0.100000E+07");
    EXPECT_EQ(one("(g12.5)", {1e-2}), " 0.10000E-01");
    EXPECT_EQ(one("(g10.3)", {-1e10}), "-0.100E+11");
    EXPECT_EQ(one("(g10.3e1)", {1.5}), "   1.50   ");
    EXPECT_EQ(one("(1x,1pg12.4,1pg12.4)", {1.5f, 2.5e10f}), "    1.500      2.5000E+10");  // P only acts on the E layout
    // The run-time compares with 1 - 0.5e-5 computed in double, which
    // equals this value, so it takes the one-digit layout and rounds up.
    EXPECT_EQ(one("(g12.5)", {0.99999499999999997}), "  1.0000    ");
    EXPECT_EQ(one("(g12.5)", {0.999994}), " 0.99999    ");
    EXPECT_EQ(one("(g5.2)", {1.5}), "*****");  // the F layout overflows: the whole field is starred
    // Integers, logicals and characters take I, L and A editing.
    EXPECT_EQ(one("(g5.2,g5.2,g5.2)", {int64_t{42}, true, "ab"sv}), "   42    T   ab");
}

TEST(FormatWrite, IntegersCharactersLogicals) {
    EXPECT_EQ(one("(i5)", {int64_t{123456}}), "*****");
    EXPECT_EQ(one("(i4)", {int64_t{-1234}}), "****");
    EXPECT_EQ(one("(i5.3)", {int64_t{-7}}), " -007");
    EXPECT_EQ(one("(i5.0)", {int64_t{0}}), "     ");
    EXPECT_EQ(one("(i0)", {int64_t{-42}}), "-42");
    EXPECT_EQ(one("(i20)", {std::numeric_limits<int64_t>::min()}), "-9223372036854775808");
    EXPECT_EQ(one("(a3,'|',a8,'|',a)", {"abcdef"sv, "abcdef"sv, "abcdef"sv}), "abc|  abcdef|abcdef");
    EXPECT_EQ(one("(l1,l3)", {true, false}), "T  F");
}

TEST(FormatWrite, NonFiniteValues) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(one("(f10.3,f2.0,f3.0)", {nan, nan, nan}), "       NaN**NaN");
    EXPECT_EQ(one("(f10.3,f7.3,f3.3,f2.3)", {inf, inf, inf, inf}), "  Infinity    InfInf**");
    EXPECT_EQ(one("(f9.3,f8.3,f4.3,f3.3)", {-inf, -inf, -inf, -inf}), "-Infinity    -Inf-Inf***");
    EXPECT_EQ(one("(sp,f9.3,f8.3,f3.3)", {inf, inf, inf}), "+Infinity    +InfInf");
    EXPECT_EQ(one("(e12.3,g12.3)", {-inf, nan}), "   -Infinity         NaN");
}

TEST(FormatWrite, FormatControl) {
    // Literals up to the first data descriptor without an item, then stop.
    EXPECT_EQ(format_write("(i5,'abc',i3,'def')", {int64_t{1}}), Records{"    1abc"});
    EXPECT_EQ(format_write("('a',/,'b',i2)", {}), (Records{"a", "b"}));
    EXPECT_EQ(format_write("(i5)", {}), Records{""});
    EXPECT_EQ(format_write("(/)", {}), (Records{"", ""}));
    EXPECT_EQ(format_write("(i2/)", {int64_t{5}, int64_t{6}}), (Records{" 5", "", " 6", ""}));
    EXPECT_EQ(format_write("('a',//,'b',i2)", {int64_t{5}}), (Records{"a", "", "b 5"}));
    EXPECT_EQ(format_write("(2(i2,:,'z'))", {int64_t{5}}), Records{" 5"});
    // Reversion: a new record, back to the last top-level group with its repeat count.
    std::vector<fortio::OutItem> twelve;
    for (int64_t i = 1; i <= 12; ++i) twelve.emplace_back(i);
    EXPECT_EQ(format_write("(1x,i3,2(1x,i2,'a'),i4)", twelve),
              (Records{"   1  2a  3a   4", "  5a  6a   7", "  8a  9a  10", " 11a 12a"}));
    EXPECT_EQ(format_write("(1x,'x',(i2,'y'),'z',(i3))", {int64_t{1}, int64_t{2}, int64_t{3}}),
              (Records{" x 1yz  2", "  3"}));
    EXPECT_EQ(format_write("(1x,'x',3(i2))", {int64_t{1}, int64_t{2}, int64_t{3}, int64_t{4}}),
              (Records{" x 1 2 3", " 4"}));
    // Tabs overwrite; trailing X writes nothing, unless something follows.
    EXPECT_EQ(one("(1x,i5,t3,'ab')", {int64_t{12345}}), " 1ab45");
    EXPECT_EQ(one("(1x,i5,tl3,'ab',tr2,'c')", {int64_t{12345}}), " 12ab5 c");
    EXPECT_EQ(one("(1x,i5,t20)", {int64_t{12345}}), " 12345");
    EXPECT_EQ(one("(1x,i5,10x,'')", {int64_t{12345}}), " 12345          ");
}

TEST(FormatWrite, FormatSyntax) {
    EXPECT_EQ(one("(1x,'it''s',\"say \"\"hi\"\"\")", {}), " it'ssay \"hi\"");
    EXPECT_EQ(one("( 2 I 5 , F 8 . 3 )", {int64_t{1}, int64_t{2}, 3.5}), "    1    2   3.500");
    EXPECT_EQ(format_write("(1X,A,'x'I2'y'/)", {"q"sv, int64_t{3}}), (Records{" qx 3y", ""}));  // commas optional around literals and /
    EXPECT_EQ(one("(5hHello,i2)", {int64_t{7}}), "Hello 7");
    EXPECT_EQ(one("(3(2(i1)))", {int64_t{1}, int64_t{2}, int64_t{3}, int64_t{4}, int64_t{5}, int64_t{6}}), "123456");
}

TEST(FormatWrite, ProgrammingErrorsThrow) {
    for (const char* bad : {"i5", "(i5", "(i5))", "(f8)", "(q5)", "('abc)", "(0i5)", "(i5.6)", "(l)", "(a0)",
                            "(e0.3)", "(f8.)", "(3)", "(+2x)", "(t0)", "(e12.3e0)", "(5habc)"}) {
        EXPECT_THROW(format_write(bad, {int64_t{1}}), FormatError) << bad;
    }
    std::string deep = std::string(40, '(') + "i2" + std::string(40, ')');
    EXPECT_THROW(format_write(deep, {int64_t{1}}), FormatError);
    // Items that do not fit the descriptor.
    EXPECT_THROW(format_write("(f8.3)", {int64_t{1}}), FormatError);
    EXPECT_THROW(format_write("(i5)", {1.0}), FormatError);
    EXPECT_THROW(format_write("(a)", {int64_t{1}}), FormatError);
    EXPECT_THROW(format_write("(l1)", {int64_t{1}}), FormatError);
    EXPECT_THROW(format_write("(i5)", {true}), FormatError);
    // Items but no data descriptor to take them.
    EXPECT_THROW(format_write("('abc')", {int64_t{1}}), FormatError);
    // gfortran stops at run time on these too.
    EXPECT_THROW(format_write("(e12.0)", {1.0}), FormatError);
    EXPECT_THROW(format_write("(g15.0)", {1.0}), FormatError);
    // gfortran's EN output keeps d+1 rounded digits and pads with zeros, or
    // cuts digits off (EN24.11 of the REAL 9.99999997e-7 gives
    // 999.99999747500E-09, the exact value being 999.999997475242...E-09),
    // so EN is accepted for input only.
    EXPECT_THROW(format_write("(en12.3)", {1.0}), FormatError);
    try {
        format_write("(i5,f8.3)", {int64_t{1}, int64_t{2}});
        FAIL();
    } catch (const FormatError& e) {
        EXPECT_NE(std::string(e.what()).find("item 2"), std::string::npos) << e.what();
    }
}

TEST(FormatWrite, ManyFormatsStayCorrectThroughTheCache) {
    // More distinct formats than the cache holds, revisited.
    for (int round = 0; round < 3; ++round)
        for (int w = 1; w <= 40; ++w)
            EXPECT_EQ(one("(i" + std::to_string(w) + ")", {int64_t{7}}), std::string(static_cast<std::size_t>(w - 1), ' ') + "7");
}

// ---------------------------------------------------------------------------
// Input

TEST(FormatRead, NumericFields) {
    int i = -1;
    int64_t k = -1;
    double x = -1;
    float y = -1;
    EXPECT_EQ(format_read_record("(i12)", "         123", {&i}).status, ReadStatus::ok);
    EXPECT_EQ(i, 123);
    EXPECT_EQ(format_read_record("(i5)", " 1 2 3", {&i}).status, ReadStatus::ok);  // blanks ignored
    EXPECT_EQ(i, 12);
    EXPECT_EQ(format_read_record("(bz,i3)", "1 2", {&i}).status, ReadStatus::ok);  // or read as zeros
    EXPECT_EQ(i, 102);
    EXPECT_EQ(format_read_record("(i2,i2)", "  12", {&i, &k}).status, ReadStatus::ok);
    EXPECT_EQ(i, 0);  // an all-blank field is zero
    EXPECT_EQ(k, 12);
    EXPECT_EQ(format_read_record("(g15.0)", "1.5e-3", {&x}).status, ReadStatus::ok);
    EXPECT_EQ(x, 0.0015);
    EXPECT_EQ(format_read_record("(f10.3)", "12345", {&x}).status, ReadStatus::ok);  // implied point
    EXPECT_EQ(x, 12.345);
    EXPECT_EQ(format_read_record("(f10.3)", "12345e2", {&x}).status, ReadStatus::ok);
    EXPECT_EQ(x, 1234.5);
    EXPECT_EQ(format_read_record("(f10.3)", "1.5+3", {&x}).status, ReadStatus::ok);
    EXPECT_EQ(x, 1500.0);
    EXPECT_EQ(format_read_record("(e10.3)", "1.5D-3", {&x}).status, ReadStatus::ok);
    EXPECT_EQ(x, 1.5e-3);
    EXPECT_EQ(format_read_record("(f10.2)", "1.5 e3 2", {&x}).status, ReadStatus::ok);
    EXPECT_EQ(x, 1.5e32);
    EXPECT_EQ(format_read_record("(f8.3)", "  -0", {&x}).status, ReadStatus::ok);
    EXPECT_TRUE(x == 0 && std::signbit(x));
    // REAL items are rounded once, from the decimal text.
    EXPECT_EQ(format_read_record("(f30.0)", "1.000000059604644775390625", {&y}).status, ReadStatus::ok);
    EXPECT_EQ(y, 1.0f);  // halfway to the next float: ties to even
    EXPECT_EQ(format_read_record("(f30.0)", "1.000000059604644775390626", {&y}).status, ReadStatus::ok);
    EXPECT_EQ(y, std::nextafter(1.0f, 2.0f));
    // Special values and underflow.
    EXPECT_EQ(format_read_record("(f10.0,f10.0)", "      -inf       nan", {&x, &y}).status, ReadStatus::ok);
    EXPECT_TRUE(std::isinf(x) && x < 0 && std::isnan(y));
    EXPECT_EQ(format_read_record("(e10.0)", "1e-400", {&x}).status, ReadStatus::ok);
    EXPECT_EQ(x, 0.0);
}

TEST(FormatRead, CharacterAndLogicalFields) {
    std::string c = "zzzz";
    EXPECT_EQ(format_read_record("(a6)", "abcdefgh", {Chars{&c, 4}}).status, ReadStatus::ok);
    EXPECT_EQ(c, "cdef");  // wider field: its rightmost characters
    EXPECT_EQ(format_read_record("(a2)", "abcdefgh", {Chars{&c, 4}}).status, ReadStatus::ok);
    EXPECT_EQ(c, "ab  ");  // narrower: left-justified, blank-padded
    EXPECT_EQ(format_read_record("(a)", "abcdefgh", {Chars{&c, 4}}).status, ReadStatus::ok);
    EXPECT_EQ(c, "abcd");
    EXPECT_EQ(format_read_record("(a6)", "abc", {Chars{&c, 4}}).status, ReadStatus::ok);
    EXPECT_EQ(c, "c   ");  // the field is padded with blanks past the record's end
    bool l = false;
    for (const char* t : {".TRUE.", "  t", "tx", ".t"}) {
        l = false;
        EXPECT_EQ(format_read_record("(l6)", t, {&l}).status, ReadStatus::ok) << t;
        EXPECT_TRUE(l) << t;
    }
    EXPECT_EQ(format_read_record("(l6)", " .f", {&l}).status, ReadStatus::ok);
    EXPECT_FALSE(l);
    EXPECT_EQ(format_read_record("(l6)", "x", {&l}).status, ReadStatus::error);
    EXPECT_EQ(format_read_record("(l6)", "   ", {&l}).status, ReadStatus::error);
}

TEST(FormatRead, BadFieldsAreErrors) {
    int i = 7;
    int64_t k = 7;
    double x = 7;
    float y = 7;
    auto r = format_read_record("(i5)", "  abc", {&i});
    EXPECT_EQ(r.status, ReadStatus::error);
    EXPECT_NE(r.message.find("abc"), std::string::npos) << r.message;
    EXPECT_NE(r.message.find("I5"), std::string::npos) << r.message;
    EXPECT_EQ(i, 7);
    EXPECT_EQ(format_read_record("(f5.0)", "1.2.3", {&x}).status, ReadStatus::error);
    EXPECT_EQ(format_read_record("(i10)", "1.5", {&i}).status, ReadStatus::error);
    EXPECT_EQ(format_read_record("(i5)", "-", {&i}).status, ReadStatus::error);
    EXPECT_EQ(format_read_record("(f5.0)", "1.5x", {&x}).status, ReadStatus::error);
    EXPECT_EQ(format_read_record("(i5,i5)", "1,2", {&i, &k}).status, ReadStatus::error);
    // Out of range: an error rather than a wrapped or infinite value.
    EXPECT_EQ(format_read_record("(i12)", "  2147483648", {&i}).status, ReadStatus::error);
    EXPECT_EQ(format_read_record("(i12)", " -2147483648", {&i}).status, ReadStatus::ok);
    EXPECT_EQ(i, INT32_MIN);
    EXPECT_EQ(format_read_record("(i12)", "  2147483648", {&k}).status, ReadStatus::ok);
    EXPECT_EQ(k, 2147483648);
    EXPECT_EQ(format_read_record("(i20)", " 9223372036854775808", {&k}).status, ReadStatus::error);
    EXPECT_EQ(format_read_record("(i20)", "-9223372036854775808", {&k}).status, ReadStatus::ok);
    EXPECT_EQ(k, std::numeric_limits<int64_t>::min());
    // gfortran gives Infinity for these.
    EXPECT_EQ(format_read_record("(e10.0)", "1e39", {&y}).status, ReadStatus::error);
    EXPECT_EQ(format_read_record("(e10.0)", "1e400", {&x}).status, ReadStatus::error);
    // gfortran reads each of these as a number (0, -0.0 or an exponent of
    // zero); nobody writes a number that way, so here they are errors.
    for (const char* t : {"+", "-", ".", "-.", "e5", "E21", "-d18", "--1", "1e+", "1-", "1.5d"})
        EXPECT_EQ(format_read_record("(f8.3)", t, {&x}).status, ReadStatus::error) << t;
}

TEST(FormatRead, RecordsAndControl) {
    int a = 0, b = 0, c = 0, d = 0, e = 0;
    Lines two{{"   12", "   34"}};
    EXPECT_EQ(format_read("(i5/i5)", two.source(), {&a, &b}).status, ReadStatus::ok);
    EXPECT_EQ(a, 12);
    EXPECT_EQ(b, 34);
    // Reversion reads a new record.
    Lines rev{{"  1  2", "  3  4", "  5"}};
    EXPECT_EQ(format_read("(2i3)", rev.source(), {&a, &b, &c, &d, &e}).status, ReadStatus::ok);
    EXPECT_EQ(std::vector<int>({a, b, c, d, e}), std::vector<int>({1, 2, 3, 4, 5}));
    EXPECT_EQ(rev.next, 3u);
    // Positioning.
    EXPECT_EQ(format_read_record("(2x,i2,t1,i2,tr2,i1)", "123456", {&a, &b, &c}).status, ReadStatus::ok);
    EXPECT_EQ(std::vector<int>({a, b, c}), std::vector<int>({34, 12, 5}));
    // Fields past the end of a short record read as blanks.
    double x = 5;
    EXPECT_EQ(format_read_record("(i5,f10.2)", "   12", {&a, &x}).status, ReadStatus::ok);
    EXPECT_EQ(x, 0.0);
    // Scale factor on input applies only without an exponent.
    EXPECT_EQ(format_read_record("(1p,f10.3,e10.3)", "  1.5       1.5e1", {&x, &x}).status, ReadStatus::ok);
    EXPECT_EQ(x, 15.0);
    // End of file: at the start, at a '/', at reversion.
    Lines none{{}};
    EXPECT_EQ(format_read("(i5)", none.source(), {&a}).status, ReadStatus::eof);
    Lines short1{{"    1"}};
    EXPECT_EQ(format_read("(i5/i5)", short1.source(), {&a, &b}).status, ReadStatus::eof);
    Lines short2{{"    1"}};
    EXPECT_EQ(format_read("(i5)", short2.source(), {&a, &b}).status, ReadStatus::eof);
    // An empty list still consumes a record.
    Lines skip{{"skipped", "    9"}};
    EXPECT_EQ(format_read("(a)", skip.source(), {}).status, ReadStatus::ok);
    EXPECT_EQ(format_read("(i5)", skip.source(), {&a}).status, ReadStatus::ok);
    EXPECT_EQ(a, 9);
}

TEST(FormatRead, ProgrammingErrorsThrow) {
    int i = 0;
    double x = 0;
    bool l = false;
    std::string s;
    EXPECT_THROW(format_read_record("(f8.3)", "1", {&i}), FormatError);
    EXPECT_THROW(format_read_record("(i5)", "1", {&x}), FormatError);
    EXPECT_THROW(format_read_record("(a5)", "1", {&l}), FormatError);
    EXPECT_THROW(format_read_record("(i5)", "1", {Chars{&s, 5}}), FormatError);
    EXPECT_THROW(format_read_record("('x',i5)", "1", {&i}), FormatError);  // literals are output only
    EXPECT_THROW(format_read_record("(i0)", "1", {&i}), FormatError);
}

}  // namespace
