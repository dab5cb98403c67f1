#include "tool_run.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

TScratchDir::TScratchDir() {
    std::string pattern = testing::TempDir() + "sorvel2-tool-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "cannot make a scratch directory";
    Path_ = pattern;
}

TScratchDir::~TScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(Path_, ignored);
}

void TScratchDir::Write(const std::string& Name, const std::string& Bytes) const {
    std::ofstream(File(Name), std::ios::binary) << Bytes;
}

std::string TScratchDir::Read(const std::string& Name) const {
    std::ifstream in(File(Name), std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

TToolRun RunTool(const TScratchDir& Dir, const std::vector<std::string>& Args, unsigned long long StackLimit) {
    const std::string outPath = Dir.Path() + "/.stdout", errPath = Dir.Path() + "/.stderr";
    std::vector<char*> argv;
    std::string program = SORVEL2_TOOL_PATH;
    argv.push_back(program.data());
    std::vector<std::string> copies(Args);
    for (std::string& a : copies) argv.push_back(a.data());
    argv.push_back(nullptr);

    const pid_t pid = fork();
    if (pid == 0) {
        const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0 || err < 0 || chdir(Dir.Path().c_str()) != 0) _exit(127);
        dup2(out, 1);
        dup2(err, 2);
        if (StackLimit != 0) {
            const rlimit limit{StackLimit, StackLimit};
            if (setrlimit(RLIMIT_STACK, &limit) != 0) _exit(126);
        }
        execv(argv[0], argv.data());
        _exit(127);
    }
    TToolRun run;
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) return run;
    if (WIFEXITED(status)) run.Exit = WEXITSTATUS(status);
    run.Out = Dir.Read(".stdout");
    run.Err = Dir.Read(".stderr");
    std::remove(outPath.c_str());
    std::remove(errPath.c_str());
    return run;
}

double JsonNumber(const std::string& Json, const std::string& Key) {
    // The first "Key": followed by a number (no <regex>: it alone made this
    // file one of the slowest of the build to compile).
    const std::string key = "\"" + Key + "\": ";
    for (std::size_t at = Json.find(key); at != std::string::npos; at = Json.find(key, at + 1)) {
        std::size_t from = at + key.size(), end = from + (from < Json.size() && Json[from] == '-');
        while (end < Json.size() && (std::isdigit(static_cast<unsigned char>(Json[end])) || Json[end] == '.')) ++end;
        if (end > from + (Json[from] == '-')) return std::strtod(Json.substr(from, end - from).c_str(), nullptr);
    }
    return std::nan("");
}

std::string JsonObject(const std::string& Json, const std::string& Name) {
    const std::size_t at = Json.find("\"" + Name + "\": {");
    if (at == std::string::npos) return "";
    return Json.substr(at, Json.find('}', at) - at + 1);
}
