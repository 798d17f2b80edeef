#include "tests/test_support.h"

#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

void InScratchFolder::SetUp() {
    char name[] = "/tmp/phaze-test-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    folder = name;
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    previous = cwd;
    ASSERT_EQ(chdir(folder.c_str()), 0);
}

void InScratchFolder::TearDown() {
    if (chdir(previous.c_str()) != 0) perror("chdir");
    const std::string command = "chmod -R u+w '" + folder + "' 2>/dev/null; rm -rf '" + folder + "'";
    if (system(command.c_str()) != 0) perror("rm");
}

void write_file(const std::string &path, const std::string &bytes) {
    FILE *file = fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr) << path;
    fwrite(bytes.data(), 1, bytes.size(), file);
    fclose(file);
}

std::string read_file(const std::string &path) {
    std::string bytes;
    FILE *file = fopen(path.c_str(), "rb");
    if (file == NULL) return bytes;
    char buffer[1 << 16];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, file)) > 0) bytes.append(buffer, got);
    fclose(file);
    return bytes;
}

bool file_exists(const std::string &path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

std::vector<double> read_phase_text(const std::string &path) {
    std::vector<double> values;
    FILE *file = fopen(path.c_str(), "rb");
    if (file == NULL) return values;
    double value;
    while (fscanf(file, "%lf", &value) == 1) values.push_back(value);
    fclose(file);
    return values;
}

run_result run_in(const std::string &folder, const std::string &command) {
    const std::string line = "cd '" + folder + "' && (" + command + ") </dev/null 2>&1";
    run_result result{-1, ""};
    FILE *pipe = popen(line.c_str(), "r");
    if (pipe == NULL) return result;
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, got);
    const int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    // A sanitized child's finding fails the test that ran it.
    EXPECT_EQ(result.output.find("Sanitizer"), std::string::npos) << result.output;
    EXPECT_EQ(result.output.find("runtime error:"), std::string::npos) << result.output;
    return result;
}
