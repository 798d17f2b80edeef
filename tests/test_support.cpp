#include "tests/test_support.h"

#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

void InScratchFolder::SetUp() {
    char name[] = "/tmp/phaze-test-XXXXXX", cwd[4096];
    ASSERT_NE(mkdtemp(name), nullptr);
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    folder = name, previous = cwd;
    ASSERT_EQ(chdir(name), 0);
}

void InScratchFolder::TearDown() {
    if (chdir(previous.c_str()) != 0 || system(("rm -rf '" + folder + "'").c_str()) != 0)
        perror("cleaning up");
}

void write_file(const std::string &path, const std::string &bytes) {
    FILE *file = fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr) << path;
    fwrite(bytes.data(), 1, bytes.size(), file);
    fclose(file);
}

std::vector<double> read_phase_text(const std::string &path) {
    std::vector<double> values;
    FILE *file = fopen(path.c_str(), "rb");
    double value;
    while (file != NULL && fscanf(file, "%lf", &value) == 1) values.push_back(value);
    if (file != NULL) fclose(file);
    return values;
}

run_result run_in(const std::string &folder, const std::string &command) {
    const std::string line = "cd '" + folder + "' && (" + command + ") </dev/null 2>&1";
    run_result result{-1, ""};
    FILE *pipe = popen(line.c_str(), "r");
    char buffer[4096];
    size_t got;
    while (pipe != NULL && (got = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        result.output.append(buffer, got);
    const int status = pipe != NULL ? pclose(pipe) : -1;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    EXPECT_EQ(result.output.find("Sanitizer"), std::string::npos) << result.output;
    EXPECT_EQ(result.output.find("runtime error:"), std::string::npos) << result.output;
    return result;
}
