// Helpers shared by the test suites: scratch folders, small files, child runs.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "shared/frameset.h"

// A fresh folder under /tmp; the test runs inside it.
class InScratchFolder : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    std::string folder, previous;
};

void write_file(const std::string &path, const std::string &bytes);
std::vector<double> read_phase_text(const std::string &path);

struct run_result {
    int status;
    std::string output;
};
// Runs a shell command line in folder with no standard input; a sanitizer
// report in its output fails the test.
run_result run_in(const std::string &folder, const std::string &command);
