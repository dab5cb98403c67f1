// Runs the real sorvel2-tool binary in a scratch directory of its own.
#pragma once

#include <string>
#include <vector>

struct TToolRun {
    int Exit = -1;     // exit code, or -1 when the process did not exit normally
    std::string Out;   // everything written to stdout
    std::string Err;   // everything written to stderr
};

// A fresh, empty directory under the test's temporary directory, removed
// with everything in it at the end of the test.
class TScratchDir {
public:
    TScratchDir();
    ~TScratchDir();
    TScratchDir(const TScratchDir&) = delete;
    TScratchDir& operator=(const TScratchDir&) = delete;

    const std::string& Path() const { return Path_; }
    std::string File(const std::string& Name) const { return Path_ + "/" + Name; }
    void Write(const std::string& Name, const std::string& Bytes) const;
    std::string Read(const std::string& Name) const;

private:
    std::string Path_;
};

// Runs "sorvel2-tool Args..." with Dir as its working directory; with a
// StackLimit (bytes), under that limit, as "ulimit -s" would set it.
TToolRun RunTool(const TScratchDir& Dir, const std::vector<std::string>& Args, unsigned long long StackLimit = 0);

// Readers of the one-line JSON object bench prints. JsonNumber: the number
// after "Key": (NaN when absent). JsonObject: the object after "Name": as
// text ("" when absent), to read its numbers with JsonNumber.
double JsonNumber(const std::string& Json, const std::string& Key);
std::string JsonObject(const std::string& Json, const std::string& Name);
