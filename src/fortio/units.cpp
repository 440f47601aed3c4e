#include "fortio/units.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace fortio {

struct UnitTable::Unit {
    std::string path;
    Form form = Form::formatted;
    bool scratch = false;
    std::fstream file;     // for units opened on files
    std::istream* in = nullptr;   // the stream reads come from
    std::ostream* out = nullptr;  // the stream writes go to
};

UnitTable::UnitTable(std::istream& in, std::ostream& out, std::ostream& err)
    : in_(in), out_(out), err_(err) {
    auto u5 = std::make_unique<Unit>();
    u5->in = &in_;
    units_[stdin_unit] = std::move(u5);
    auto u6 = std::make_unique<Unit>();
    u6->out = &out_;
    units_[stdout_unit] = std::move(u6);
    auto u0 = std::make_unique<Unit>();
    u0->out = &err_;
    units_[stderr_unit] = std::move(u0);
}

UnitTable::~UnitTable() {
    for (auto& [n, u] : units_) {
        if (u->file.is_open()) u->file.close();
        if (u->scratch) std::remove(u->path.c_str());
    }
}

UnitTable::Unit* UnitTable::find(int unit) const {
    auto it = units_.find(unit);
    return it == units_.end() ? nullptr : it->second.get();
}

static bool exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

static bool is_directory(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool UnitTable::open(int unit, const std::string& path, OpenStatus status, Form form,
                     std::string* why) {
    auto fail = [&](const char* reason) {
        if (why) *why = reason;
        return false;
    };
    if (unit == stdin_unit || unit == stdout_unit || unit == stderr_unit)
        return fail("unit is reserved for the standard streams");
    if (unit < 0) return fail("negative unit number");
    close(unit);

    auto u = std::make_unique<Unit>();
    u->form = form;
    std::ios::openmode binary = form == Form::unformatted ? std::ios::binary : std::ios::openmode{};
    if (status == OpenStatus::scratch) {
        char tmpl[] = "/tmp/kova_scratch_XXXXXX";
        int fd = ::mkstemp(tmpl);
        if (fd < 0) return fail("cannot create a scratch file");
        ::close(fd);
        u->path = tmpl;
        u->scratch = true;
        u->file.open(u->path, std::ios::in | std::ios::out | std::ios::trunc | binary);
    } else {
        if (path.empty()) return fail("empty file name");
        if (is_directory(path)) return fail("is a directory");
        bool present = exists(path);
        if (status == OpenStatus::old_file && !present) return fail("file does not exist");
        if (status == OpenStatus::new_file && present) return fail("file already exists");
        u->path = path;
        if (present) {
            u->file.open(path, std::ios::in | std::ios::out | binary);
            if (!u->file.is_open()) u->file.open(path, std::ios::in | binary);  // read-only file
        } else {
            u->file.open(path, std::ios::in | std::ios::out | std::ios::trunc | binary);
        }
    }
    if (!u->file.is_open()) return fail("cannot open the file");
    u->in = &u->file;
    u->out = &u->file;
    units_[unit] = std::move(u);
    return true;
}

void UnitTable::close(int unit) {
    if (unit == stdin_unit || unit == stdout_unit || unit == stderr_unit) return;
    auto it = units_.find(unit);
    if (it == units_.end()) return;
    Unit& u = *it->second;
    if (u.file.is_open()) u.file.close();
    if (u.scratch) std::remove(u.path.c_str());
    units_.erase(it);
}

bool UnitTable::is_open(int unit) const { return find(unit) != nullptr; }

bool UnitTable::rewind(int unit) {
    Unit* u = find(unit);
    if (!u) return false;
    if (!u->file.is_open()) return true;  // the standard streams cannot be rewound
    u->file.clear();
    u->file.seekg(0);
    u->file.seekp(0);
    return true;
}

bool UnitTable::is_formatted(int unit) const {
    Unit* u = find(unit);
    return u && u->form == Form::formatted;
}

std::string UnitTable::name(int unit) const {
    Unit* u = find(unit);
    return u ? u->path : std::string();
}

UnitTable::Unit& UnitTable::writable(int unit) {
    Unit* u = find(unit);
    if (!u) {
        // Writing to a unit never opened goes to fort.N, as in Fortran.
        std::string p = "fort." + std::to_string(unit);
        if (!open(unit, p, OpenStatus::unknown, Form::formatted)) {
            // Fall back to the message stream rather than losing the text.
            return *units_[stderr_unit];
        }
        u = find(unit);
    }
    return *u;
}

void UnitTable::write(int unit, std::string_view record) {
    Unit& u = writable(unit);
    if (!u.out) return;
    u.out->write(record.data(), static_cast<std::streamsize>(record.size()));
    u.out->put('\n');
}

void UnitTable::write(int unit, const std::vector<std::string>& records) {
    for (const auto& r : records) write(unit, r);
}

void UnitTable::write_noadvance(int unit, std::string_view text) {
    Unit& u = writable(unit);
    if (!u.out) return;
    u.out->write(text.data(), static_cast<std::streamsize>(text.size()));
}

IoStatus UnitTable::read(int unit, std::string& record) {
    Unit* u = find(unit);
    if (!u || !u->in) return IoStatus::error;
    std::istream& is = *u->in;
    if (!std::getline(is, record)) {
        if (is.eof()) {
            is.clear(std::ios::eofbit);
            return IoStatus::eof;
        }
        return IoStatus::error;
    }
    if (!record.empty() && record.back() == '\r') record.pop_back();
    return IoStatus::ok;
}

IoStatus UnitTable::write_unformatted(int unit, std::span<const std::byte> data) {
    Unit& u = writable(unit);
    if (!u.out) return IoStatus::error;
    if (data.size() > 0x7fffffffu) return IoStatus::error;
    std::uint32_t n = static_cast<std::uint32_t>(data.size());
    unsigned char marker[4] = {static_cast<unsigned char>(n), static_cast<unsigned char>(n >> 8),
                               static_cast<unsigned char>(n >> 16), static_cast<unsigned char>(n >> 24)};
    u.out->write(reinterpret_cast<const char*>(marker), 4);
    u.out->write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(n));
    u.out->write(reinterpret_cast<const char*>(marker), 4);
    return *u.out ? IoStatus::ok : IoStatus::error;
}

IoStatus UnitTable::read_unformatted(int unit, std::vector<std::byte>& data) {
    Unit* u = find(unit);
    if (!u || !u->in) return IoStatus::error;
    std::istream& is = *u->in;
    unsigned char head[4];
    if (!is.read(reinterpret_cast<char*>(head), 4)) {
        bool clean_end = is.gcount() == 0;
        is.clear(std::ios::eofbit);
        return clean_end ? IoStatus::eof : IoStatus::error;
    }
    std::uint32_t n = head[0] | (head[1] << 8) | (head[2] << 16) | (std::uint32_t(head[3]) << 24);
    if (n > 0x7fffffffu) return IoStatus::error;
    // Refuse a length marker that runs past the end of a file before allocating for it.
    if (u->file.is_open()) {
        auto here = u->file.tellg();
        u->file.seekg(0, std::ios::end);
        auto end = u->file.tellg();
        u->file.seekg(here);
        if (here < 0 || end < 0 || static_cast<std::uint64_t>(end - here) < std::uint64_t(n) + 4)
            return IoStatus::error;
    }
    data.resize(n);
    if (n && !is.read(reinterpret_cast<char*>(data.data()), n)) return IoStatus::error;
    unsigned char tail[4];
    if (!is.read(reinterpret_cast<char*>(tail), 4)) return IoStatus::error;
    if (std::memcmp(head, tail, 4) != 0) return IoStatus::error;
    return IoStatus::ok;
}

void UnitTable::flush() {
    for (auto& [n, u] : units_)
        if (u->out) u->out->flush();
}

}  // namespace fortio
