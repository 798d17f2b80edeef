// Result files written the safe way: each goes to a temporary file beside it and
// is renamed into place only when every file of the result is complete, so a
// failed or interrupted run never leaves a partial result, nor a new file beside
// an old one, nor destroys the result of an earlier run.
#pragma once

#include <string>

struct pending_file {
    std::string final_name, temporary;
};

// Temporaries are hidden files of this name beside their results, the X's
// made unique.
#define TEMPORARY_PATTERN ".phaze-XXXXXX"

// Makes the temporary file for final_name (with the permissions of a new file)
// and has it removed should SIGINT, SIGTERM, SIGHUP or SIGQUIT end the process.
// 0, or an errno value.
int begin_result(const char *final_name, pending_file *file);

// Renames every temporary into place, all or none: when one cannot be, those
// already renamed are put back as they were. 0, or an errno value with
// *failed_name the file that could not be replaced.
int commit_results(pending_file *files, int count, const char **failed_name);

// Removes the temporaries of a result that will not be completed.
void abandon_results(pending_file *files, int count);
