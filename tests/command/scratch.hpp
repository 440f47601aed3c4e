// A test fixture that runs each test in a fresh folder of its own under the
// temporary directory, removed afterwards, so that tests writing files
// (structures, grid files) never meet each other's files.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

namespace kova::test {

class ScratchFolder : public ::testing::Test {
protected:
    explicit ScratchFolder(std::string prefix) : prefix_(std::move(prefix)) {}
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir = std::filesystem::temp_directory_path() /
              (prefix_ + std::to_string(::getpid()) + "_" + info->name());
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        old = std::filesystem::current_path();
        std::filesystem::current_path(dir);
    }
    void TearDown() override {
        std::filesystem::current_path(old);
        std::filesystem::remove_all(dir);
    }
    std::filesystem::path dir, old;

private:
    std::string prefix_;
};

}  // namespace kova::test
