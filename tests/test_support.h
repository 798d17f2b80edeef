// Helpers shared by the test suites: scratch folders, small files, child runs.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

// A fresh folder under the system's temporary folder; the test runs inside it.
class InScratchFolder : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    std::string folder;

  private:
    std::string previous;
};

void write_file(const std::string &path, const std::string &bytes);
std::string read_file(const std::string &path);
bool file_exists(const std::string &path);
std::vector<double> read_phase_text(const std::string &path);

struct run_result {
    int status;
    std::string output;
};
// Runs a shell command line in folder with no standard input.
run_result run_in(const std::string &folder, const std::string &command);
