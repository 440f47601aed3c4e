// Grid maps in the OpenDX layout: the file the write command makes, read by
// a minimal reader of the test's own; focusing from a potential read back
// from it, against the native binary file; damaged headers refused.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "../command/harness.hpp"
#include "../command/scratch.hpp"
#include "command/mainloop.hpp"
#include "elec/elec.hpp"
#include "elec/grid.hpp"

namespace kova {
namespace {

class Dx : public test::ScratchFolder {
protected:
    Dx() : ScratchFolder("kova_dx_") {}
    test::Session& run(const std::string& deck) {
        s = std::make_unique<test::Session>(deck);
        status = run_kova(s->k);
        return *s;
    }
    std::unique_ptr<test::Session> s;
    int status = -1;
};

// What a viewer needs from a DX file, read without any of the program's code.
struct DxFile {
    int n[3] = {0, 0, 0};
    double origin[3] = {0, 0, 0};
    double delta[3][3] = {};
    long items = -1;
    int per_line_max = 0;
    std::vector<double> v;
};

DxFile read_dx(const std::string& name) {
    DxFile d;
    std::ifstream in(name);
    std::string line;
    int deltas = 0;
    bool data = false;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream w(line);
        std::string first;
        w >> first;
        if (data && (std::isdigit(static_cast<unsigned char>(first[0])) || first[0] == '-')) {
            std::istringstream all(line);
            double x;
            int count = 0;
            while (all >> x) d.v.push_back(x), ++count;
            d.per_line_max = std::max(d.per_line_max, count);
            continue;
        }
        data = false;
        if (first == "origin") w >> d.origin[0] >> d.origin[1] >> d.origin[2];
        if (first == "delta" && deltas < 3) w >> d.delta[deltas][0] >> d.delta[deltas][1] >> d.delta[deltas][2], ++deltas;
        if (first == "object") {
            std::string word;
            std::vector<std::string> ws;
            while (w >> word) ws.push_back(word);
            if (ws.size() >= 7 && ws[2] == "gridpositions") d.n[0] = std::stoi(ws[4]), d.n[1] = std::stoi(ws[5]), d.n[2] = std::stoi(ws[6]);
            for (size_t i = 0; i + 1 < ws.size(); ++i)
                if (ws[i] == "items") d.items = std::stol(ws[i + 1]);
            data = line.find("data follows") != std::string::npos;
        }
    }
    return d;
}

// A positive charge off the grid centre (a neutral atom balances the centre
// of geometry at the origin), its potential written in both layouts.
const char* const pair_pqr =
    "REMARK a charge of +1 and a neutral partner\n"
    "ATOM      1  NA  ION     1       4.000  -2.000   1.000  1.0000 2.0000\n"
    "ATOM      2  X   DUM     2      -4.000   2.000  -1.000  0.0000 2.0000\n"
    "END\n";

TEST_F(Dx, PotentialFileReadByAnIndependentReader) {
    std::ofstream("pair.pqr") << pair_pqr;
    run("read mol 1 pqr file pair.pqr end\n"
        "elec mol1 cent grid 1.0 dime 25 27 29 calc end\n"
        "write phi dx file phi.dx end\nwrite epsc dx end\nstop\n");
    ASSERT_EQ(status, 0) << s->messages();
    const GridStore& g = s->k.mess;
    const DxFile d = read_dx("phi.dx");
    EXPECT_EQ(d.n[0], 25);
    EXPECT_EQ(d.n[1], 27);
    EXPECT_EQ(d.n[2], 29);
    EXPECT_EQ(d.items, 25L * 27 * 29);
    ASSERT_EQ(d.v.size(), size_t(d.items));
    EXPECT_EQ(d.per_line_max, 3);
    // The origin is the first grid point (point i at xo + i h).
    EXPECT_NEAR(d.origin[0], g.xo + g.h, 1e-6);
    EXPECT_NEAR(d.origin[1], g.yo + g.h, 1e-6);
    EXPECT_NEAR(d.origin[2], g.zo + g.h, 1e-6);
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) EXPECT_EQ(d.delta[r][c], r == c ? 1.0 : 0.0);
    // The largest potential lies at the grid point nearest the charge.
    size_t best = 0;
    for (size_t l = 1; l < d.v.size(); ++l)
        if (d.v[l] > d.v[best]) best = l;
    const size_t i = best / (27 * 29), j = best / 29 % 27, kk = best % 29;  // z fastest
    EXPECT_NEAR(d.origin[0] + double(i) * d.delta[0][0], 4.0, 0.5);
    EXPECT_NEAR(d.origin[1] + double(j) * d.delta[1][1], -2.0, 0.5);
    EXPECT_NEAR(d.origin[2] + double(kk) * d.delta[2][2], 1.0, 0.5);
    // Values in kT/e: the stored potential over RT, point by point.
    const double rt = double(gasconst) * 300.0;
    for (size_t l = 0; l < d.v.size(); l += 97) {
        const size_t a = l / (27 * 29), b = l / 29 % 27, c = l % 29;
        const float stored = g.phi[1 + a + 25 * (b + 27 * c)];
        EXPECT_NEAR(d.v[l] * rt, stored, 1e-6 * std::fabs(stored) + 1e-9) << l;
    }
    EXPECT_GT(d.v[best], 1.0);  // a unit charge a few angstroms away: several kT/e
    // Another map under its own default name.
    const DxFile e = read_dx("epsc.dx");
    EXPECT_EQ(e.items, 25L * 27 * 29);
    EXPECT_EQ(e.v.size(), size_t(e.items));
}

TEST_F(Dx, FocusingFromADxPotentialGivesTheEnergyOfTheBinaryFile) {
    const std::string mol = "read mol 1 qcard file '" + std::string(KOVA_TEST_SOURCE_DIR) +
                            "/data/pqr/barnase.qcrd' end\n";
    const std::string coarse = "elec mol1 cent grid 2.0 dime 33 33 33 bcfl 2 ions 50.0 calc end\n";
    const std::string fine = "elec mol1 cent grid 1.4 dime 41 41 41 bcfl 4 ions 50.0 calc end\n";
    run(mol + coarse + "write phi binary file phi.grd end\nwrite phi dx file phi.dx end\nstop\n");
    ASSERT_EQ(status, 0) << s->messages();
    double energy[2];
    std::vector<float> phi[2];
    for (int dx : {0, 1}) {
        run(mol + (dx ? "read grid dx file phi.dx end\n" : "read grid binary file phi.grd end\n") +
            "elec mol1 same grid ions 50.0 setu end\n" + fine + "stop\n");
        ASSERT_EQ(status, 0) << s->messages();
        ASSERT_EQ(s->k.mess.nx, 41);
        energy[dx] = nrgrho(s->k, s->k.mess.isel);
        phi[dx] = s->k.mess.phi;
    }
    // The binary file holds the potential in kcal/mol/e as single precision,
    // the DX file in kT/e to ten digits: the same to the last digit or so.
    EXPECT_NEAR(energy[1], energy[0], 1e-7 * std::fabs(energy[0]));
    float peak = 0, worst = 0;
    for (size_t l = 0; l < phi[0].size(); ++l) {
        peak = std::max(peak, std::fabs(phi[0][l]));
        worst = std::max(worst, std::fabs(phi[1][l] - phi[0][l]));
    }
    EXPECT_GT(peak, 0.0f);
    EXPECT_LE(worst, 1e-6f * peak);
    EXPECT_NE(s->listing().find("  Grid file format                                  :OpenDX"), std::string::npos);
}

TEST_F(Dx, DamagedFilesAreRefusedAndLeaveTheGridAsItWas) {
    std::ofstream("pair.pqr") << pair_pqr;
    run("read mol 1 pqr file pair.pqr end\nelec mol1 cent grid 4.0 dime 5 5 5 calc end\n"
        "write phi dx file good.dx end\nstop\n");
    ASSERT_EQ(status, 0) << s->messages();
    std::stringstream text;
    text << std::ifstream("good.dx").rdbuf();
    const std::string good = text.str();
    auto with = [&](const std::string& from, const std::string& to) {
        std::string t = good;
        const size_t at = t.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        return t.replace(at, from.size(), to);
    };
    const size_t data = good.find("data follows\n") + 13;
    const size_t tail = good.find("attribute");
    struct Case {
        std::string text, fault;
    } cases[] = {
        {with("items 125", "items 124"), "array of 124 items for a grid of 125 points"},
        {with("counts 5 5 5\norigin", "counts 5 5 0\norigin"), "grid dimensions 5, 5, 0"},
        {with("delta 0 4 0", "delta 0 2 0"), "grid spacing not the same"},
        {with("object 2 class gridconnections counts 5 5 5", "object 2 class gridconnections counts 5 5 6"),
         "gridconnections counts differ"},
        {good.substr(0, data + 40), "end of file after"},
        {good.substr(0, tail) + "1.0\n" + good.substr(tail), "more values than the 125 announced"},
        {good.substr(0, data) + "nan" + good.substr(good.find(' ', data)), "value 1 is not a finite number"},
        {good.substr(0, data) + "x" + good.substr(data), "unreadable value"},
    };
    for (const Case& c : cases) {
        std::ofstream("bad.dx") << c.text;
        run("read grid dx file good.dx end\nread grid dx file bad.dx end\nstop\n");
        SCOPED_TRACE(c.fault);
        const std::string out = s->messages();
        EXPECT_NE(out.find(" ERROR: inpdx(020) corrupt grid file: bad.dx"), std::string::npos) << out;
        EXPECT_NE(out.find(" ERROR: inpdx(020) " + c.fault), std::string::npos) << out;
        EXPECT_EQ(s->k.mess.nx, 5);  // the good file's grid stays
        EXPECT_NE(status, 0);
    }
}

}  // namespace
}  // namespace kova
