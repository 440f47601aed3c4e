// List-directed WRITE and READ, with expected records and values taken from
// gfortran runs.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "fortio/format.hpp"

namespace {

using fortio::Chars;
using fortio::list_read;
using fortio::list_write;
using fortio::ReadStatus;
using Records = std::vector<std::string>;
using std::int64_t;
using namespace std::string_view_literals;

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

TEST(ListWrite, Numbers) {
    EXPECT_EQ(list_write({int64_t{1}}), Records{"           1"});
    EXPECT_EQ(list_write({int64_t{INT32_MIN}}), Records{" -2147483648"});
    EXPECT_EQ(list_write({int64_t{123456789012}}), Records{"         123456789012"});  // INTEGER*8
    EXPECT_EQ(list_write({0.1f}), Records{"  0.100000001    "});
    EXPECT_EQ(list_write({0.1}), Records{"  0.10000000000000001     "});
    EXPECT_EQ(list_write({1.0f, 2.0f}), Records{"   1.00000000       2.00000000    "});
    EXPECT_EQ(list_write({0.0f, -0.0f}), Records{"   0.00000000      -0.00000000    "});
    EXPECT_EQ(list_write({0.0, -0.0}), Records{"   0.0000000000000000       -0.0000000000000000     "});
    EXPECT_EQ(list_write({1e10f, 1e9f, 1e8f, 1e7f, 1e-1f, 1e-2f}),
              Records{"   1.00000000E+10   1.00000000E+09   100000000.       10000000.0      0.100000001       "
                      "9.99999978E-03"});
    EXPECT_EQ(list_write({1e16, 1e15, 1e-1, 1e-2, 1e300, 1e-300}),
              Records{"   10000000000000000.        1000000000000000.0       0.10000000000000001        "
                      "1.0000000000000000E-002   1.0000000000000001E+300   1.0000000000000000E-300"});
    EXPECT_EQ(list_write({1e-40f, 5e-324}), Records{"   9.99994610E-41   4.9406564584124654E-324"});
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(list_write({inf, -inf, std::numeric_limits<float>::infinity(), std::nanf("")}),
              Records{"                  Infinity                 -Infinity         Infinity              NaN"});
}

TEST(ListWrite, SeparatorsAndRecords) {
    EXPECT_EQ(list_write({"abc"sv, "def"sv}), Records{" abcdef"});  // no blank between character items
    EXPECT_EQ(list_write({int64_t{1}, "abc"sv, int64_t{2}}), Records{"           1 abc           2"});
    EXPECT_EQ(list_write({"abc"sv, int64_t{1}}), Records{" abc           1"});
    EXPECT_EQ(list_write({true, false, int64_t{1}, true, "x"sv, true}), Records{" T F           1 T x T"});
    EXPECT_EQ(list_write({1.5f, "x"sv, 2.5}), Records{"   1.50000000     x   2.5000000000000000     "});
    EXPECT_EQ(list_write({}), Records{""});
    EXPECT_EQ(list_write({""sv}), Records{" "});
    EXPECT_EQ(list_write({""sv, int64_t{1}}), Records{"            1"});
    // gfortran 12 writes one record per statement however long it gets,
    // to standard output and to files alike; it does not split at 80.
    std::vector<fortio::OutItem> many;
    for (int64_t i = 1; i <= 20; ++i) many.emplace_back(i);
    Records r = list_write(many);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].size(), 240u);
}

TEST(ListRead, IntegersWithNullsRepeatsAndSlash) {
    struct Case {
        std::vector<std::string> records;
        std::vector<int> want;
    };
    // From a gfortran run; -1 marks an item left unchanged.
    const std::vector<Case> cases = {
        {{"1 2 3"}, {1, 2, 3}},
        {{"3*5"}, {5, 5, 5}},
        {{"2*,7"}, {-1, -1, 7}},
        {{"1,,3"}, {1, -1, 3}},
        {{"1/"}, {1, -1, -1}},
        {{"4", "5 6"}, {4, 5, 6}},
        {{", 8 9"}, {-1, 8, 9}},
        {{"1,", "2,3"}, {1, 2, 3}},  // a comma ending a record is no null value
        {{"1 2 3 4"}, {1, 2, 3}},
        {{"1 2 +3"}, {1, 2, 3}},
        {{" 1 2 3,,,"}, {1, 2, 3}},
        {{"7 8 9 /"}, {7, 8, 9}},
        {{"1 2, 3 4"}, {1, 2, 3}},
        {{"1 2 2*"}, {1, 2, -1}},
        {{"1 2 3*"}, {1, 2, -1}},
        {{"", "  ", "1\t2 3"}, {1, 2, 3}},
    };
    for (const Case& c : cases) {
        Lines in{c.records};
        int v[3] = {-1, -1, -1};
        auto r = list_read(in.source(), {&v[0], &v[1], &v[2]});
        EXPECT_EQ(r.status, ReadStatus::ok) << c.records[0] << ": " << r.message;
        EXPECT_EQ(std::vector<int>(v, v + 3), c.want) << c.records[0];
    }
}

TEST(ListRead, Errors) {
    for (const char* bad : {"5 abc 1", "1.5 2 3", " 0*3 1 2 3", "1 2 -", "2147483648 1 1", "1 '2' 3", "1 2 3x"}) {
        Lines in{{bad}};
        int v[3] = {};
        auto r = list_read(in.source(), {&v[0], &v[1], &v[2]});
        EXPECT_EQ(r.status, ReadStatus::error) << bad;
        EXPECT_FALSE(r.message.empty());
    }
    for (const char* bad : {"1 2 abc", ". 1 1", "+ 1 1", "1e 1 1", "1.5e3x 1 1", "1e39 1 1"}) {
        Lines in{{bad}};
        float v[3] = {};
        EXPECT_EQ(list_read(in.source(), {&v[0], &v[1], &v[2]}).status, ReadStatus::error) << bad;
    }
    Lines none{{}};
    int i = 0;
    EXPECT_EQ(list_read(none.source(), {&i}).status, ReadStatus::eof);
    Lines few{{"1 2"}};
    int v[3] = {};
    EXPECT_EQ(list_read(few.source(), {&v[0], &v[1], &v[2]}).status, ReadStatus::eof);
}

TEST(ListRead, Reals) {
    Lines in{{"1.5 2 3", "1.5e3 1.5d3 1.5q3", "1+3 1.5-3 .5", "nan -inf 1e-400", "0.1 0.1 15"}};
    double x = 0, y = 0;
    float z = 0;
    auto next = [&] { return list_read(in.source(), {&x, &y, &z}).status; };
    ASSERT_EQ(next(), ReadStatus::ok);
    EXPECT_EQ(x, 1.5);
    EXPECT_EQ(z, 3.0f);
    ASSERT_EQ(next(), ReadStatus::ok);
    EXPECT_EQ(x, 1500.0);
    EXPECT_EQ(z, 1500.0f);
    ASSERT_EQ(next(), ReadStatus::ok);
    EXPECT_EQ(x, 1000.0);
    EXPECT_EQ(y, 1.5e-3);
    EXPECT_EQ(z, 0.5f);
    ASSERT_EQ(next(), ReadStatus::ok);
    EXPECT_TRUE(std::isnan(x));
    EXPECT_TRUE(std::isinf(y) && y < 0);
    EXPECT_EQ(z, 0.0f);
    ASSERT_EQ(next(), ReadStatus::ok);
    EXPECT_EQ(x, 0.1);
    EXPECT_EQ(y, 0.1);
    EXPECT_EQ(z, 15.0f);  // no implied decimal point in list-directed input
}

TEST(ListRead, CharactersAndLogicals) {
    struct Want {
        std::string c, d;
        bool l, m;
    };
    Lines in{{"abc T def F", "'it''s' .true. \"q\"\"x\" f", "abc,t,def,.false.", "ab/cd t x f",
              "'a b c' tru 'long string' f", "abcdefgh t 'x", "' t", "2*xy 2*t"}};
    const std::vector<Want> want = {{"abc   ", "def   ", true, false},  {"it's  ", "q\"x   ", true, false},
                                    {"abc   ", "def   ", true, false},  {"ab    ", "yyyyyy", false, false},
                                    {"a b c ", "long s", true, false},  {"abcdef", "x     ", true, true}};
    for (const Want& w : want) {
        std::string c = "zzzzzz", d = "yyyyyy";
        bool l = false, m = false;
        auto r = list_read(in.source(), {Chars{&c, 6}, &l, Chars{&d, 6}, &m});
        ASSERT_EQ(r.status, ReadStatus::ok) << r.message;
        EXPECT_EQ(c, w.c);
        EXPECT_EQ(d, w.d);
        EXPECT_EQ(l, w.l) << w.c;
        EXPECT_EQ(m, w.m) << w.c;
    }
    std::string c1, c2;
    bool l1 = false, l2 = false;
    ASSERT_EQ(list_read(in.source(), {Chars{&c1, 2}, Chars{&c2, 3}, &l1, &l2}).status, ReadStatus::ok);
    EXPECT_EQ(c1, "xy");
    EXPECT_EQ(c2, "xy ");
    EXPECT_TRUE(l1 && l2);
    Lines bad{{"abc x"}};
    std::string c;
    bool l = false;
    EXPECT_EQ(list_read(bad.source(), {Chars{&c, 3}, &l}).status, ReadStatus::error);
}

TEST(ListRead, RepeatedConstantFillsItemsOfAnyType) {
    // gfortran converts a repeated constant once, for the first item, and
    // then rejects it for an item of another type or kind ("Read kind 8
    // REAL where kind 4 is required"). Each item here takes r*c in its own
    // type, as the value would have been read on its own.
    Lines in{{"3*5"}};
    int i = 0;
    double x = 0;
    float y = 0;
    ASSERT_EQ(list_read(in.source(), {&i, &x, &y}).status, ReadStatus::ok);
    EXPECT_EQ(i, 5);
    EXPECT_EQ(x, 5.0);
    EXPECT_EQ(y, 5.0f);
}

}  // namespace
