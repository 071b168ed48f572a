#pragma once
// Runs the built route-calculator binary and captures what it prints, for end-to-end tests.

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "graph_fixtures.hpp"

namespace route_calculator::testing {

struct RunResult {
    int status = -1;
    std::string out;
    std::string err;
};

inline std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream buf;
    buf << in.rdbuf();
    return buf.str();
}

inline void write_file(const std::filesystem::path& path, const std::string& text) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary);
    out << text;
}

// Runs `ROUTE_CALCULATOR_BIN args...` in `cwd` with NO_COLOR=1, ROUTE_CALCULATOR_LOG unset
// unless given in `env`, and no standard input.
inline RunResult run_tool(const std::vector<std::string>& args, const std::map<std::string, std::string>& env = {},
                          const std::filesystem::path& cwd = {}) {
    auto dir = std::filesystem::temp_directory_path() / ("rc-run-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    auto out_path = dir / "stdout", err_path = dir / "stderr";
    pid_t pid = ::fork();
    if (pid == 0) {
        int in = ::open("/dev/null", O_RDONLY);
        int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(err, 2);
        if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) ::_exit(127);
        ::unsetenv("ROUTE_CALCULATOR_LOG");
        ::setenv("NO_COLOR", "1", 1);
        for (const auto& [k, v] : env) ::setenv(k.c_str(), v.c_str(), 1);
        std::vector<char*> argv;
        std::string bin = ROUTE_CALCULATOR_BIN;
        argv.push_back(bin.data());
        std::vector<std::string> copy = args;
        for (auto& a : copy) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(bin.c_str(), argv.data());
        ::_exit(127);
    }
    int wstatus = 0;
    ::waitpid(pid, &wstatus, 0);
    RunResult r;
    r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    r.out = read_file(out_path);
    r.err = read_file(err_path);
    std::filesystem::remove_all(dir);
    return r;
}

// Temporary directories come from the shared test support.
using quorvel_routing::testing::TempDir;

}  // namespace route_calculator::testing
