// A fresh folder per test.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "support/scratch_folder.h"

namespace qel_test {

namespace fs = std::filesystem;
using Names = std::vector<std::string>;

class QelTestFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(folder_.path().empty());
    root_ = folder_.path();
    cwd_ = fs::current_path();
  }
  void TearDown() override { fs::current_path(cwd_); }

  std::string P(const std::string& rel) const { return folder_.At(rel); }
  void Put(const std::string& rel, const std::string& content = "") const {
    folder_.Put(rel, content);
  }
  std::string Slurp(const std::string& rel) const { return folder_.Read(rel); }
  bool Has(const std::string& rel) const { return fs::exists(fs::symlink_status(P(rel))); }
  Names Dir(const std::string& rel) const {
    const std::set<std::string> names = folder_.Names(rel);
    return Names(names.begin(), names.end());
  }

  scratch::Folder folder_;
  std::string root_;
  fs::path cwd_;
};

}  // namespace qel_test
