// Analysis of the unit trajectory records written by Brownian-dynamics runs:
// internal coordinates, radius of gyration, correlation functions and
// diffusion constants of a unit (traj), the reaction criteria re-evaluated
// along a record with reaction counting and the rate constant, or distances
// from a point (rxns), and the concatenation of record files (add).
//
// A record file holds records of four numbers in the layout
// "(1x,f12.3,3(2x,f8.3))": a trajectory header (-1.0, run, trajectory, 0.0),
// then for each recorded step one record (time, x, y, z) per subunit of the
// unit in subunit order, and an end record (-999.0, nrun, ntraj, 0.0).
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "kova_config.hpp"  // maxcor: time points of a correlation function

namespace fortio {
class UnitTable;
}

namespace kova {

struct Kova;

inline constexpr int maxanu = 5;     // units analysed by one command
inline constexpr int maxanl = 40;    // bonds, angles, dihedrals or vectors of a unit
inline constexpr int maxdbn = 360;   // bins of a dihedral distribution
inline constexpr int maxadd = 10;    // files concatenated by add
inline constexpr int nrama = 36;     // 10-degree bins of the histograms kept for write rama

// One record of a trajectory file.
struct TrjRecord {
    double a = 0;  // time (or the header and end marks), kept in double so that long times add exactly
    float x = 0, y = 0, z = 0;
};

// Parses one record in the record layout: four numbers in the columns of
// "(1x,f12.3,3(2x,f8.3))", each finite, nothing else on the record. False
// for anything else (a field of asterisks, text, a cut record).
bool trjrec(std::string_view rec, TrjRecord& r);

// One record file read whole: per frame its time and the positions of the
// nsub subunits, flat; the trajectories as runs of frames.
struct TrjData {
    struct Traj {
        int run = 0, traj = 0;
        size_t first = 0, nframe = 0;  // frames first .. first + nframe - 1
    };
    int nsub = 0;
    std::vector<Traj> trajs;
    std::vector<float> t;    // t[f]
    std::vector<float> xyz;  // subunit s (0-based) of frame f at 3 (f nsub + s)
    int endrun = 0, endtraj = 0;  // the end record's counts
    const float* pos(size_t f, int s) const { return &xyz[3 * (f * size_t(nsub) + size_t(s))]; }
};

// Where a record file is wrong: the record number (1-based) and why.
struct TrjError {
    long record = 0;
    std::string why;
};

// Reads the records from next (false at the end of the file) for a unit of
// nsub subunits. Records before the first header are skipped. False, with e
// set, for a record that does not parse, a header without whole positive
// run and trajectory numbers, a frame cut short or mixing times, time going
// back or standing still from one frame to the next within a trajectory,
// records after the end record, or a file without its end record.
// The records of the files, one after another: data records of each file
// after the first have the last time of the file before added to their
// times; one end record closes the whole, counting the largest run and
// trajectory numbers of the headers.
std::vector<std::string> trjcat(const std::vector<std::vector<std::string>>& files);

bool trjload_lines(const std::vector<std::string>& lines, int nsub, TrjData& d, TrjError& e);
bool trjload_unit(fortio::UnitTable& u, int unit, int nsub, TrjData& d, TrjError& e);

// Internal-coordinate and diffusion analysis of one unit (traj).
struct TrajSettings {
    int unit = 0;
    std::string file;  // blank: the unit's record file
    int centre = 1;    // the unit's centre subunit, within the unit
    int step = 1;      // every step-th recorded frame
    float dtim = 0;    // or frames at least dtim ps apart
    std::vector<std::array<int, 2>> bonds, vectors;  // subunit numbers within the unit
    std::vector<std::array<int, 3>> angles;
    std::vector<int> dihes;  // dihedral d: subunits d .. d+3 of the unit
    std::vector<int> dcc, drt;
    float bin = 10;    // width of the dihedral distributions, degrees
    bool bin_listed = false;  // list the distributions
    float rtim = 0;    // maximum correlation time (0: maxcor - 1 intervals)
    bool rgyr = false, tdc = false, rdc = false, rrt = false, leng = false, lrt = false, wtra = false;
    // Conformational states of each listed dihedral, in the order of dihes
    // (type): m equal sectors of 360/m degrees, the first centred on 180
    // (trans), the others following at -360/m steps; 0 or 1 leaves the
    // dihedral unclassified.
    std::vector<int> types;
    // Orientation lifetimes of each vector (lft): the time it takes to turn
    // past 90 degrees from the direction it had when the last lifetime began.
    bool lft = false;
};

// How a dihedral divided into m conformational states spends its time:
// per state the analysed frames, the visits, the time it is left from
// (frame intervals starting in it) and the exits; the mean lifetime of a
// state is its time over its exits.
struct DiheStates {
    int dihe = 0, m = 0;
    std::vector<long> frames, visits, exits;
    std::vector<double> time;
    long transitions = 0;
    double ttot = 0;  // time of all frame intervals
};

// Sector (0-based) of dihedral x, degrees, among m states; state j is
// centred on 180 - j 360/m.
int dihestate(double x, int m);

// Completed orientation lifetimes of one vector (run, trajectory, the time
// the lifetime began, its length) and the lifetimes cut short by the end of
// a trajectory.
struct VecLifetimes {
    struct Life {
        int run = 0, traj = 0;
        double start = 0, life = 0;
    };
    std::vector<Life> lives;
    long unfinished = 0;
};

// Mean and standard deviation of a set of values.
struct MeanSd {
    double mean = 0, sd = 0;
    long n = 0;
};

// A correlation function at lags 0 .. ncor-1 (in analysed frames): mean and
// standard deviation over all time origins of all trajectories.
struct Corr {
    std::vector<MeanSd> c;
};

// Least-squares line through ln C(t) (corfit): slope g, relaxation time
// -1/g, intercept, goodness g sqrt(var t / var ln C), points used.
struct CorFit {
    int npts = 0;
    double tau = 0, icpt = 0, dev = 0;
    bool ok = false;
};
CorFit corfit(const std::vector<double>& t, const std::vector<double>& c);

// A dihedral histogram kept for write rama/trama: dihedrals d1 and d2 of
// unit, 36 bins each of 10 degrees from -180 (36 counts when d1 == d2,
// else 36 x 36, first angle outer); norm is the number of frames counted.
struct RamaHist {
    int unit = 0, d1 = 0, d2 = 0;
    std::vector<long> count;
    long norm = 0;
};

// Values of one trajectory, or over all (trajectory index -1).
struct TrajValues {
    int run = 0, traj = 0;
    long frames = 0;
    std::vector<MeanSd> bond, angle, dihe, vec;  // angles and dihedrals in degrees
    MeanSd rgyr, rgb;                            // rgyr, and rgyr**2 / mean bond**2
    double tdcmin = 0, tdcmax = 0;               // A**2/ps
    std::vector<double> rdcmin, rdcmax;          // per vector, 1/ps
    std::vector<double> dccmin, dccmax;          // per dcc dihedral, 1/ps
};

struct TrajResults {
    double dt = 0;  // time between analysed frames (of the first pair)
    int ncor = 0;
    std::vector<TrajValues> per;  // one per trajectory
    TrajValues all;               // over all frames
    MeanSd tdcmin, tdcmax;        // over trajectories
    std::vector<MeanSd> rdcmin, rdcmax, dccmin, dccmax;
    std::vector<Corr> reor, vlen, dcor;  // per vector; per dcc dihedral
    // Cross-correlation <cos(phi_next(t) - phi(0))> of each dcc dihedral with
    // the next one listed.
    std::vector<Corr> dcross;
    std::vector<double> cosend;          // per vector: mean cosine between the first and last frame
    std::vector<std::vector<size_t>> sel;  // the frames analysed, per trajectory
    // Dihedral distributions (width bin) per listed dihedral.
    std::vector<std::vector<long>> dist;
    // The histograms for write rama: each listed dihedral alone, then each
    // two consecutive listed dihedrals.
    std::vector<RamaHist> rama;
    std::vector<DiheStates> states;     // per dihedral with a type of 2 or more
    std::vector<VecLifetimes> lifetimes;  // per vector, with lft
};

// The analysis of d for settings s (pure: no I/O). The frames analysed are
// every s.step-th one of each trajectory, or with s.dtim those at least dtim
// apart.
TrajResults anltrj(const TrjData& d, const TrajSettings& s);


// What the analysis keeps for later commands.
struct AnalStore {
    std::vector<RamaHist> rama;
};

// Dihedral angle (degrees, -180 .. 180) of the four points a, b, c, d.
double dihedral(const float* a, const float* b, const float* c, const float* d);

// Reaction counting along a record (rxns).
struct RxnsSettings {
    int unit = 1;
    std::string file;
    bool react = false;  // defrxn given: the reaction analysis
    bool dist = false;   // the distance analysis from point
    std::array<float, 3> point{};
    float dfc = 0;
    bool moni = false, drsite = false, sumd = false;
};

// One reaction of a trajectory (with moni): its start and complete exit
// times (exit < 0: still going at the end of the trajectory).
struct RxnEvent {
    float start = 0, exit = -1;
};

struct RxnsTraj {
    int run = 0, traj = 0;
    bool reactive = false;
    float time = 0;  // first reaction, or the last frame's time
    std::array<float, 3> pos{};  // centre subunit at that time
    std::vector<RxnEvent> events;
};

struct RxnsResults {
    std::vector<RxnsTraj> trajs;
    int nrun = 0, ntraj = 0;  // runs found, largest number of trajectories of a run
    std::vector<int> nrxn;     // reactive trajectories per run (0-based)
    MeanSd trxn, tnon;         // reaction and non-reaction times
    std::vector<std::array<double, 3>> avgpos;  // per subunit of the unit, at reaction
};

// Re-evaluates the reaction criteria of k.rxn along d (unit n of the
// subunit table). Other subunits stay where the subunit table has them.
// With moni, a reaction is complete when the criteria with each distance
// enlarged by k.rxn.xdist are no longer met, and a new reaction counts only
// after more than k.rxn.tmin ps without one. With trace, each frame's
// tested criteria are printed (drsite).
RxnsResults rxnclc(Kova& k, const TrjData& d, int n, bool moni, bool drsite);

// The command (anal traj|rxns|add ... end).
void anldrv(Kova& k);
void trjdrv(Kova& k);
void rxndrv(Kova& k);
void trjadd(Kova& k);

// Opens file on unit (status old) and reads it for a unit of nsub
// subunits; on failure prints the messages (head: the routine's problem
// line) naming the file and the record and returns false after kvabort.
bool trjopen(Kova& k, int unit, const std::string& file, int nsub, std::string_view head, TrjData& d);

}  // namespace kova
