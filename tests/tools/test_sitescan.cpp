// sitescan: the threshold, the header, the site block and its failures.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "sitescan.hpp"

using namespace sitescan;

namespace {

struct Result {
    int status;
    std::string out, err;
};

Result scan(std::vector<std::string> args, const std::string& input) {
    std::istringstream in(input);
    std::ostringstream out, err;
    int status = run(args, in, out, err);
    return {status, out.str(), err.str()};
}

// A listing as the programs that write it lay it out: text before the
// header, the header, two column-title lines, one line per site.
std::string listing(const std::vector<std::string>& sites) {
    char header[32];
    std::snprintf(header, sizeof header, "## of sites:%5zu\n", sites.size());
    std::string s = "potential at reaction sites\n\n";
    s += header;
    s += "#  site     x       y      phi     dphi\n#\n";
    for (const std::string& l : sites) s += l + "\n";
    return s;
}

}  // namespace

TEST(SitescanValues, ThresholdCountAndSiteLines) {
    float t = 0;
    EXPECT_TRUE(read_threshold("0.5", t) && t == 0.5f);
    EXPECT_TRUE(read_threshold(" 1.5d-1 ", t) && t == 0.15f);
    EXPECT_TRUE(read_threshold("3", t) && t == 3.0f);
    for (const char* bad : {"", "   ", "abc", "0.5x", "0.5 0.6", "nan", "1e99", "--1"})
        EXPECT_FALSE(read_threshold(bad, t)) << bad;

    long n = -1;
    EXPECT_TRUE(read_count("## of sites:   12", n) && n == 12);
    EXPECT_TRUE(read_count("## of sites:7    trailing words", n) && n == 7);
    EXPECT_TRUE(read_count("## of sites:    0", n) && n == 0);
    for (const char* bad : {"## of sites:", "## of sites:     ", "## of sites:   -3",
                            "## of sites: 1 2", "## of sites: abc", "## of sites:123456"})
        EXPECT_FALSE(read_count(bad, n)) << bad;

    SiteLine s;
    EXPECT_TRUE(read_site("   7  1.0 2.0 -0.25 4.0", s));
    EXPECT_EQ(s.number, 7);
    EXPECT_EQ(s.values[2], -0.25f);
    EXPECT_TRUE(read_site("8,1.0, 2.0 ,3.0,4.0, extra", s) && s.number == 8 && s.values[3] == 4.0f);
    EXPECT_TRUE(read_site("9 4*0.5", s) && s.values[0] == 0.5f && s.values[3] == 0.5f);
    for (const char* bad : {"", "1 2 3 4", "1 2 3 4 /", "1.5 2 3 4 5", "1 2 x 4 5", "1,,3 4 5 6",
                            "1 2* 3 4 5", "1 2 3 1e99 5"})
        EXPECT_FALSE(read_site(bad, s)) << bad;
}

TEST(SitescanRun, PicksTheFirstSiteStrictlyWithinTheThreshold) {
    // Equal magnitude does not qualify; a negative value qualifies by its
    // magnitude; later qualifying sites are not reported.
    const std::string in = listing({"1 0 0 0.5 9", "2 0 0 -0.5 9", "3 0 0 -0.49 9", "4 0 0 0.1 9"});
    Result r = scan({"0.5"}, in);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "           3\n");
    EXPECT_EQ(r.err, "");
    // The number printed is the site number of the line.
    EXPECT_EQ(scan({"1"}, listing({"17 0 0 0.5 9"})).out, "          17\n");
    // Nothing qualifies: no output, status 0.
    r = scan({"0.1"}, in);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
}

TEST(SitescanRun, QuietEnds) {
    // A site count of 0: the block is empty; lines after it are not sites.
    Result r = scan({"10"}, listing({}) + "1 0 0 0 0\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    // No header at all.
    r = scan({"10"}, "1 0 0 0 0\n2 0 0 0 0\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out + r.err, "");
    // Only the first header is used: the second block is never read.
    r = scan({"0.5"}, listing({"1 0 0 5 0"}) + listing({"2 0 0 0 0"}));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    // Only the first 12 columns identify the header.
    r = scan({"0.5"}, "## of sites  1\n\n\n1 0 0 0 0\n");
    EXPECT_EQ(r.out, "");
}

TEST(SitescanRun, BadArgumentsGiveUsage) {
    for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
             {}, {"abc"}, {""}, {"0.5", "listing.txt"}}) {
        Result r = scan(args, listing({"1 0 0 0 0"}));
        EXPECT_EQ(r.status, usage_status);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find("usage: sitescan THRESHOLD < listing"), std::string::npos);
    }
}

TEST(SitescanRun, MalformedListingsFail) {
    struct Case {
        std::string input, message;
    };
    const std::vector<Case> cases = {
        {listing({"1 0 0 5 0", "2 0 0 0"}),
         " FATAL: sitescan(004) site 2 of 2, line 7: expected a site number and four values: "
         "2 0 0 0\n"},
        {listing({"1 0 0 5 0", "2 0 x 0 0"}),
         " FATAL: sitescan(004) site 2 of 2, line 7: expected a site number and four values: "
         "2 0 x 0 0\n"},
        {"## of sites:    3\n\n\n1 0 0 5 0\n",
         " FATAL: sitescan(003) end of input inside the site block: site 2 of 3 is missing\n"},
        {"## of sites:    3\n\n",
         " FATAL: sitescan(003) end of input inside the site block: the header on line 1 "
         "announces 3 sites\n"},
        {"x\n## of sites: many\n", " FATAL: sitescan(002) no site count in columns 13-17 of "
                                   "line 2: ## of sites: many\n"},
    };
    for (const Case& c : cases) {
        Result r = scan({"0.5"}, c.input);
        EXPECT_EQ(r.status, input_status) << c.input;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.message);
    }
    // A blank line in the block holds no value: the site is on the next line.
    EXPECT_EQ(scan({"0.5"}, "## of sites:    1\n\n\n\n   \n4 0 0 0 0\n").out, "           4\n");
}
