// The unit table: file status rules, scratch files, rewind, and unformatted
// sequential records byte for byte.
#include <gtest/gtest.h>

#include <cstddef>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "fortio/units.hpp"

using namespace fortio;
namespace fs = std::filesystem;

namespace {

class Units : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("units_test_" + std::to_string(::getpid()));
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
    std::string path(const char* n) const { return (dir / n).string(); }
    static std::string slurp(const std::string& p) {
        std::ifstream f(p, std::ios::binary);
        return {std::istreambuf_iterator<char>(f), {}};
    }
    fs::path dir;
    std::istringstream in{"line one\r\nline two\n"};
    std::ostringstream out, err;
    UnitTable units{in, out, err};
};

std::vector<std::byte> bytes(std::string_view s) {
    std::vector<std::byte> v;
    for (char c : s) v.push_back(static_cast<std::byte>(c));
    return v;
}

}  // namespace

TEST_F(Units, StandardStreams) {
    std::string r;
    EXPECT_EQ(units.read(5, r), IoStatus::ok);
    EXPECT_EQ(r, "line one");  // a carriage return before the line feed is dropped
    EXPECT_EQ(units.read(5, r), IoStatus::ok);
    EXPECT_EQ(units.read(5, r), IoStatus::eof);
    EXPECT_EQ(units.read(5, r), IoStatus::eof);
    units.write_noadvance(6, "Main > ");
    units.write(6, " stop");
    EXPECT_EQ(out.str(), "Main >  stop\n");
    units.close(6);  // the standard units stay attached
    units.write(6, "x");
    EXPECT_EQ(out.str(), "Main >  stop\nx\n");
    EXPECT_FALSE(units.open(5, path("a"), OpenStatus::unknown, Form::formatted));
}

TEST_F(Units, StatusNewOldAndMissingFiles) {
    std::string why;
    EXPECT_FALSE(units.open(20, path("none"), OpenStatus::old_file, Form::formatted, &why));
    EXPECT_EQ(why, "file does not exist");
    ASSERT_TRUE(units.open(20, path("f"), OpenStatus::new_file, Form::formatted));
    units.write(20, "first");
    units.close(20);
    EXPECT_FALSE(units.open(21, path("f"), OpenStatus::new_file, Form::formatted, &why));
    EXPECT_EQ(slurp(path("f")), "first\n");  // never overwritten
    EXPECT_FALSE(units.open(21, dir.string(), OpenStatus::old_file, Form::formatted, &why));
    ASSERT_TRUE(units.open(21, path("f"), OpenStatus::old_file, Form::formatted));
    std::string r;
    EXPECT_EQ(units.read(21, r), IoStatus::ok);
    EXPECT_EQ(r, "first");
    EXPECT_EQ(units.read(21, r), IoStatus::eof);
    EXPECT_TRUE(units.rewind(21));
    EXPECT_EQ(units.read(21, r), IoStatus::ok);
    EXPECT_TRUE(units.is_formatted(21));
    EXPECT_EQ(units.read(22, r), IoStatus::error);  // not open
}

TEST_F(Units, ScratchFilesAreReadBackAndDeleted) {
    ASSERT_TRUE(units.open(61, "", OpenStatus::scratch, Form::formatted));
    std::string name = units.name(61);
    units.write(61, "if ");
    units.write(61, "body");
    units.rewind(61);
    std::string r;
    EXPECT_EQ(units.read(61, r), IoStatus::ok);
    EXPECT_EQ(r, "if ");
    EXPECT_EQ(units.read(61, r), IoStatus::ok);
    EXPECT_EQ(r, "body");
    EXPECT_EQ(units.read(61, r), IoStatus::eof);
    EXPECT_TRUE(fs::exists(name));
    units.close(61);
    EXPECT_FALSE(fs::exists(name));
}

TEST_F(Units, UnformattedRecordsHaveLittleEndianMarkers) {
    ASSERT_TRUE(units.open(30, path("u.bin"), OpenStatus::new_file, Form::unformatted));
    EXPECT_FALSE(units.is_formatted(30));
    std::vector<std::byte> big(300, std::byte{7});
    EXPECT_EQ(units.write_unformatted(30, bytes("abc")), IoStatus::ok);
    EXPECT_EQ(units.write_unformatted(30, big), IoStatus::ok);
    EXPECT_EQ(units.write_unformatted(30, {}), IoStatus::ok);
    units.close(30);
    std::string raw = slurp(path("u.bin"));
    ASSERT_EQ(raw.size(), 4 + 3 + 4 + 4 + 300 + 4 + 8u);
    EXPECT_EQ(raw.substr(0, 11), std::string("\x03\0\0\0abc\x03\0\0\0", 11));
    EXPECT_EQ(raw.substr(11, 4), std::string("\x2c\x01\0\0", 4));

    ASSERT_TRUE(units.open(30, path("u.bin"), OpenStatus::old_file, Form::unformatted));
    std::vector<std::byte> rec;
    EXPECT_EQ(units.read_unformatted(30, rec), IoStatus::ok);
    EXPECT_EQ(rec, bytes("abc"));
    EXPECT_EQ(units.read_unformatted(30, rec), IoStatus::ok);
    EXPECT_EQ(rec, big);
    EXPECT_EQ(units.read_unformatted(30, rec), IoStatus::ok);
    EXPECT_TRUE(rec.empty());
    EXPECT_EQ(units.read_unformatted(30, rec), IoStatus::eof);
}

TEST_F(Units, CorruptUnformattedFilesAreErrorsNotCrashes) {
    auto write_raw = [&](const char* n, std::string content) {
        std::ofstream(path(n), std::ios::binary) << content;
    };
    std::vector<std::byte> rec;
    // A length marker far beyond the end of the file.
    write_raw("huge", std::string("\xff\xff\xff\x7f" "abc", 7));
    ASSERT_TRUE(units.open(31, path("huge"), OpenStatus::old_file, Form::unformatted));
    EXPECT_EQ(units.read_unformatted(31, rec), IoStatus::error);
    // Trailing marker disagreeing with the leading one.
    write_raw("mismatch", std::string("\x02\0\0\0ab\x03\0\0\0", 10));
    ASSERT_TRUE(units.open(32, path("mismatch"), OpenStatus::old_file, Form::unformatted));
    EXPECT_EQ(units.read_unformatted(32, rec), IoStatus::error);
    // A file cut inside the first marker.
    write_raw("short", std::string("\x02\0", 2));
    ASSERT_TRUE(units.open(33, path("short"), OpenStatus::old_file, Form::unformatted));
    EXPECT_EQ(units.read_unformatted(33, rec), IoStatus::error);
}
