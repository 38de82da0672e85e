// A fresh folder per test. The helpers use the standard library so that they share no faults
// with the file code under test.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace qel_test {

namespace fs = std::filesystem;
using Names = std::vector<std::string>;

class QelTestFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = ::testing::TempDir() + "/qel_test_XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    root_ = fs::path(tmpl).lexically_normal().string();
    cwd_ = fs::current_path();
  }
  void TearDown() override {
    fs::current_path(cwd_);
    fs::remove_all(root_);
  }

  std::string P(const std::string& rel) const { return root_ + "/" + rel; }
  void Put(const std::string& rel, const std::string& content = "") const {
    fs::create_directories(fs::path(P(rel)).parent_path());
    std::ofstream(P(rel), std::ios::binary) << content;
  }
  std::string Slurp(const std::string& rel) const {
    std::stringstream s;
    s << std::ifstream(P(rel), std::ios::binary).rdbuf();
    return s.str();
  }
  bool Has(const std::string& rel) const { return fs::exists(fs::symlink_status(P(rel))); }
  Names Dir(const std::string& rel) const {
    Names names;
    for (const auto& e : fs::directory_iterator(P(rel))) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }

  std::string root_;
  fs::path cwd_;
};

}  // namespace qel_test
