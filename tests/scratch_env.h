#pragma once

// Runs a test executable inside its own fresh folder, because every
// simulation step writes dump0.txt into the current directory. Include once
// per test executable.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

class ScratchDirEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    old_dir_ = std::filesystem::current_path();
    std::string pattern = (std::filesystem::temp_directory_path() / "boxsim-test-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr) << "cannot make a scratch folder";
    dir_ = pattern;
    std::filesystem::current_path(dir_);
  }
  void TearDown() override {
    std::filesystem::current_path(old_dir_);
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

 private:
  std::filesystem::path old_dir_;
  std::filesystem::path dir_;
};

inline ::testing::Environment* const kScratchDirEnvironment =
    ::testing::AddGlobalTestEnvironment(new ScratchDirEnvironment);
