// hbmatch: donor and acceptor classes, structure reading and the two pair
// sweeps.
#include "hbmatch.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <numbers>
#include <ostream>
#include <sstream>

namespace hbmatch {

namespace {

// Columns of an ATOM record that the program uses.
constexpr std::size_t record_columns = 69;

struct Pattern {
    std::string_view text;  // compared from column 14, blanks included
};

// Donors: backbone nitrogen and the side-chain N and O that carry a hydrogen.
// A two-letter residue stem (CY, HI) matches every residue name beginning
// with it (CYS, CYX, HIS, HID, HIE, ...).
constexpr Pattern donor_patterns[] = {
    {"N   "},    {"SG  CY"},  {"NE2 HI"},  {"ND1 HI"},  {"NZ  LYS"},
    {"ND2 ASN"}, {"NE2 GLN"}, {"NH1 ARG"}, {"NZ  ARG"}, {"NH2 ARG"},
    {"OG  SER"}, {"OH  TYR"}, {"NE1 TRP"},
};

// Acceptors: backbone oxygen and the side-chain O, N and S with a lone pair.
constexpr Pattern acceptor_patterns[] = {
    {"O   "},    {"SG  CY"},  {"OD1 ASP"}, {"OD2 ASP"}, {"OE1 GLU"},
    {"OE2 GLU"}, {"ND1 HI"},  {"SD  MET"}, {"OD1 ASN"}, {"OE1 GLN"},
    {"OG  SER"}, {"OG1 THR"}, {"OH  TYR"},
};

// Text beyond the end of the record counts as blanks.
bool matches(std::string_view text, std::string_view pattern) {
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        char c = i < text.size() ? text[i] : ' ';
        if (c != pattern[i]) return false;
    }
    return true;
}

std::string why(int err) {
    return err != 0 ? std::strerror(err) : "cannot be opened";
}

// Places a record in exactly record_columns columns: shorter records are
// padded with blanks, as a formatted read pads them; longer ones are cut.
std::string fixed_columns(std::string line) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    line.resize(record_columns, ' ');
    return line;
}

struct AtomRecord {
    std::string text;  // record_columns columns
    double x, y, z;
};

void open_output(std::ofstream& f, const std::filesystem::path& path, const std::string& name) {
    errno = 0;
    f.open(path, std::ios::out | std::ios::trunc);
    if (!f) throw Failure(" FATAL: hbmatch(003) cannot open " + name + ": " + why(errno));
}

// Pair-file line: the atom's 30 record columns, x, y, z and its value, with
// layout (A30,3F8.3,F6.2).
std::string rxna_line(const Site& s) {
    std::string card = s.card;
    card.resize(30, ' ');
    return card + fmt_f(s.x, 8, 3) + fmt_f(s.y, 8, 3) + fmt_f(s.z, 8, 3) + fmt_f(s.value, 6, 2);
}

// Listing line, layout (I5,3F8.3,F6.2,2X,F7.3,2X,I5,3F8.3,F6.2): the
// structure-1 atom, the negated distance, the structure-2 atom.
std::string pair_line(const Site& a, double d, const Site& b) {
    auto atom = [](const Site& s) {
        return fmt_i(s.ordinal, 5) + fmt_f(s.x, 8, 3) + fmt_f(s.y, 8, 3) + fmt_f(s.z, 8, 3) +
               fmt_f(s.value, 6, 2);
    };
    return atom(a) + "  " + fmt_f(-d, 7, 3) + "  " + atom(b);
}

struct Sweep {
    long found = 0;
    long tested = 0;
};

// Every atom of list1 against every atom of list2, in list order; a pair
// whose distance is not greater than the cutoff is written to the listing
// and to the two pair files.
Sweep sweep(const std::vector<Site>& list1, const std::vector<Site>& list2, double cutoff,
            std::ostream& f99, std::ostream& f1, std::ostream& f2) {
    Sweep s;
    const double cut2 = cutoff * cutoff;
    for (const Site& a : list1) {
        for (const Site& b : list2) {
            ++s.tested;
            double dx = a.x - b.x, dy = a.y - b.y, dz = a.z - b.z;
            double d2 = dx * dx + dy * dy + dz * dz;
            if (d2 > cut2 + tie_slack) continue;
            ++s.found;
            f99 << pair_line(a, std::sqrt(d2), b) << '\n';
            f1 << rxna_line(a) << '\n';
            f2 << rxna_line(b) << '\n';
        }
    }
    return s;
}

}  // namespace

ListLine& ListLine::operator<<(std::string_view text) {
    if (line_.empty() || after_number_) line_ += ' ';
    line_ += text;
    after_number_ = false;
    return *this;
}

ListLine& ListLine::operator<<(long v) {
    line_ += list_int(v);
    after_number_ = true;
    return *this;
}

ListLine& ListLine::operator<<(double v) {
    line_ += list_double(v);
    after_number_ = true;
    return *this;
}

DonorAcceptor chdaca(std::string_view from_col14) {
    DonorAcceptor da;
    for (const Pattern& p : donor_patterns)
        if (matches(from_col14, p.text)) da.donor = true;
    for (const Pattern& p : acceptor_patterns)
        if (matches(from_col14, p.text)) da.acceptor = true;
    return da;
}

Structure mkpar(const std::filesystem::path& file, const std::string& shown_name,
                std::ostream& out, std::ostream& err) {
    std::error_code ec;
    if (std::filesystem::is_directory(file, ec))
        throw Failure(" FATAL: mkpar(001) cannot open " + shown_name + ": " + why(EISDIR));
    errno = 0;
    std::ifstream in(file);
    if (!in) throw Failure(" FATAL: mkpar(001) cannot open " + shown_name + ": " + why(errno));

    // First pass: the ATOM records, their coordinates and the centre.
    std::vector<AtomRecord> atoms;
    double sx = 0, sy = 0, sz = 0;
    std::string line;
    long lineno = 0;
    while (std::getline(in, line)) {
        ++lineno;
        std::string rec = fixed_columns(std::move(line));
        if (rec.compare(0, 4, "ATOM") != 0) continue;
        if (static_cast<long>(atoms.size()) >= maxatm)
            throw Failure(" FATAL: mkpar(004) " + shown_name + " holds more than " +
                          std::to_string(maxatm) + " ATOM records");
        AtomRecord a{rec, 0, 0, 0};
        // Coordinates in columns 31-54, layout (3F8.3).
        if (!read_f(std::string_view(rec).substr(30, 8), 3, a.x) ||
            !read_f(std::string_view(rec).substr(38, 8), 3, a.y) ||
            !read_f(std::string_view(rec).substr(46, 8), 3, a.z))
            throw Failure(" FATAL: mkpar(002) unreadable coordinates in line " +
                          std::to_string(lineno) + " of " + shown_name + ": " +
                          rec.substr(0, 54));
        sx += a.x;
        sy += a.y;
        sz += a.z;
        atoms.push_back(std::move(a));
    }
    if (in.bad())
        throw Failure(" FATAL: mkpar(005) read error in " + shown_name + " after line " +
                      std::to_string(lineno));

    Structure s;
    s.natoms = static_cast<long>(atoms.size());
    double cx = 0, cy = 0, cz = 0;
    if (s.natoms > 0) {
        cx = sx / s.natoms;
        cy = sy / s.natoms;
        cz = sz / s.natoms;
        out << fmt_i(s.natoms, 5) << "   atoms read, center:" << fmt_f(cx, 8, 3)
            << fmt_f(cy, 8, 3) << fmt_f(cz, 8, 3) << '\n';
    } else {
        // No atoms, no centre: the count line ends where the centre would start.
        out << fmt_i(0, 5) << "   atoms read, center:" << '\n';
        err << " WARNING: mkpar(003) " << shown_name
            << " holds no ATOM records; it has no centre and no donors or acceptors\n";
    }

    // Second pass: ordinals, distances from the centre, classes.
    const double area = 0.0;  // no surface model here: the exposed area is zero
    const double value = std::sqrt(area / (2.0 * std::numbers::pi));
    double max2 = 0;
    long ordinal = 0;
    for (const AtomRecord& a : atoms) {
        ++ordinal;
        double dx = a.x - cx, dy = a.y - cy, dz = a.z - cz;
        max2 = std::max(max2, dx * dx + dy * dy + dz * dz);
        DonorAcceptor da = chdaca(std::string_view(a.text).substr(13));
        Site site{ordinal, a.text.substr(0, 30), a.x, a.y, a.z, value};
        if (da.donor) {
            s.donors.push_back(site);
            out << "DONOR" << a.text.substr(5) << '\n';
        }
        if (da.acceptor) {
            s.acceptors.push_back(site);
            out << "ACCEP" << a.text.substr(5) << '\n';
        }
    }
    s.maxdist = std::sqrt(max2);
    out << "max dist of atom in prot fr center =" << fmt_f(s.maxdist, 8, 3) << '\n';
    out << (ListLine() << static_cast<long>(s.donors.size()) << "  donors").str() << '\n';
    out << (ListLine() << static_cast<long>(s.acceptors.size()) << "  acceptors").str() << '\n';
    return s;
}

double read_cutoff(const std::filesystem::path& path) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec))
        throw Failure(" FATAL: hbmatch(001) cannot open da.distance: " + why(EISDIR));
    std::string content;
    bool exists = std::filesystem::exists(path, ec);
    if (exists) {
        errno = 0;
        std::ifstream in(path, std::ios::binary);
        if (!in) throw Failure(" FATAL: hbmatch(001) cannot open da.distance: " + why(errno));
        content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    double cutoff = 0;
    if (list_read_real(content, cutoff)) {
        if (!std::isfinite(cutoff) || cutoff < 0) {
            std::ostringstream v;
            v << cutoff;
            throw Failure(" FATAL: hbmatch(002) the cutoff in da.distance is not a distance: " +
                          v.str());
        }
        return cutoff;
    }
    // No number: use the default and say so in the file, after what it holds.
    errno = 0;
    std::ofstream note(path, std::ios::out | std::ios::app);
    if (!note) throw Failure(" FATAL: hbmatch(001) cannot open da.distance: " + why(errno));
    if (!content.empty() && content.back() != '\n') note << '\n';
    note << (ListLine() << default_cutoff).str() << '\n';
    note << (ListLine() << "could not find the number here, using default").str() << '\n';
    note.close();
    if (!note) throw Failure(" FATAL: hbmatch(004) cannot write da.distance");
    return default_cutoff;
}

int run(const std::filesystem::path& dir, std::ostream& out, std::ostream& err) {
    try {
        const double cutoff = read_cutoff(dir / "da.distance");

        Structure s1 = mkpar(dir / "1.pdb", "1.pdb", out, err);
        out << (ListLine() << "MOL 1 has" << static_cast<long>(s1.acceptors.size())
                           << "  acceptors and" << static_cast<long>(s1.donors.size())
                           << "  donors").str()
            << '\n';
        Structure s2 = mkpar(dir / "2.pdb", "2.pdb", out, err);
        out << (ListLine() << "MOL 2 has" << static_cast<long>(s2.acceptors.size())
                           << "  acceptors and" << static_cast<long>(s2.donors.size())
                           << "  donors").str()
            << '\n';

        std::ofstream f1, f2, f99;
        open_output(f1, dir / "1.rxna", "1.rxna");
        open_output(f2, dir / "2.rxna", "2.rxna");
        out << (ListLine() << "Searching within a cutoff" << cutoff).str() << '\n';
        // The listing goes to unit 99, which is never opened by name.
        open_output(f99, dir / "fort.99", "fort.99");

        // Acceptors of structure 1 with donors of structure 2.
        f99 << "#   accep 1 -  donor 2\n";
        Sweep ad = sweep(s1.acceptors, s2.donors, cutoff, f99, f1, f2);
        out << (ListLine() << ad.found << " out of possible" << ad.tested
                           << " acc-don pairs found").str()
            << '\n';

        // Donors of structure 1 with acceptors of structure 2.
        f99 << "#   donor 1 -  accep 2\n";
        Sweep da = sweep(s1.donors, s2.acceptors, cutoff, f99, f1, f2);
        out << (ListLine() << da.found << " out of possible" << da.tested
                           << " don-acc pairs found").str()
            << '\n';

        for (auto* f : {&f1, &f2, &f99}) f->close();
        if (!f1 || !f2 || !f99) throw Failure(" FATAL: hbmatch(004) cannot write the pair files");
        out.flush();
        if (!out) throw Failure(" FATAL: hbmatch(004) cannot write the listing");
        return 0;
    } catch (const Failure& f) {
        out.flush();
        err << f.what() << '\n';
        return 1;
    }
}

}  // namespace hbmatch
