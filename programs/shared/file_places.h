// Where a file name lies once the file system has resolved it, so that two
// spellings of one file (a1, ./a1, a link to its folder) compare equal; and
// whether a result would replace one of the frames it is made from.
#pragma once

#include <string>
#include <vector>

// The entry a rename onto path would replace: its folder resolved (., ..,
// links), its own name as it is. A folder that does not exist yet stays as it
// is spelled.
std::string name_place(const std::string &path);

// The index in inputs of a frame that writing one of results would destroy (a
// result named as the frame, or as the file a link of the frame's name points
// to), with the result's index in *result; -1 where none would.
int replaced_input(const std::vector<std::string> &results, const std::vector<std::string> &inputs,
                   int *result);
