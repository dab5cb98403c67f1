// What every sorvel2-tool command shares: its command line, the settings it
// works on, and one frame of the demo's surface on the engine.
#pragma once

#include "grid/grid.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

// Exit codes of the tool's own failures. A run-time error report keeps the
// demo's numbers (2 for a missing options.txt, 106, 201, 203), so these stay
// clear of them.
inline constexpr int kExitFailed = 1;  // an output could not be written, no GL context
inline constexpr int kExitUsage = 64;  // a bad command line

// One option a command accepts: --Name, with a value when TakesValue
// ("--grid 40" or "--grid=40"), and -Short as another spelling when set
// ("-o FILE").
struct TFlagRule {
    const char* Name;
    bool TakesValue;
    char Short = 0;
};

// The options of one command, parsed from its arguments. Every failure
// prints "sorvel2-tool <command>: <reason>" on stderr and returns false; the
// caller then exits with kExitUsage.
class TCommandLine {
public:
    TCommandLine(const char* Command, std::span<const TFlagRule> Rules) : Command_(Command), Rules_(Rules) {}

    bool Parse(int Argc, char** Argv);
    bool Has(const char* Name) const;
    // The option's value, or nullptr when it was not given.
    const char* Value(const char* Name) const;
    // The option's value as a decimal integer in Min..Max; Out is left alone
    // when the option was not given.
    bool Int(const char* Name, std::int64_t Min, std::int64_t Max, std::int32_t& Out) const;
    // The option's value as an image size "WxH", each 1 to 16384; Width and
    // Height are left alone when the option was not given.
    bool Size(const char* Name, std::int32_t& Width, std::int32_t& Height) const;
    // Prints the failure in the command's words; always returns false.
    bool Fail(const std::string& Reason) const;
    const char* Command() const { return Command_; }

private:
    const char* Command_;
    std::span<const TFlagRule> Rules_;
    std::vector<std::pair<std::string, std::string>> Given_;
};

// True when the arguments ask for the command's help (--help or -h).
bool WantsHelp(int Argc, char** Argv);

// Settings of one run: the options file's values, with --grid and --balls
// laid over them. With both flags given the file is not read at all;
// otherwise ReadOptions() reads it exactly as the demo does (its errors end
// the process with the demo's exit codes).
struct TToolSettings {
    std::int32_t Width = 0;
    std::int32_t Height = 0;
    std::int32_t Balls = 0;
    std::int32_t Grid = 0;
    bool FromFile = false;
};
bool ResolveSettings(const TCommandLine& Line, TToolSettings& Out);

// The --field value: "sparse" (the demo's way, and the default) or "dense".
bool ResolveFieldRoute(const TCommandLine& Line, TFieldRoute& Out);
// What --field means, in the help of every command that takes it.
#define SORVEL2_FIELD_HELP                                                                  \
    "  --field F     how the grid gets its samples: sparse (the default, as the demo\n"    \
    "                does it: blocks of samples proven all inside or all outside,\n"       \
    "                exact values only where the triangles depend on them) or dense\n"     \
    "                (every sample); both give the same triangles, bit for bit\n"

// The frame's part before the triangles, as the demo's frame does it:
// ElapsedMs, SceneTime for it, the balls moved to their places at that time.
void SetFrameTime(std::int32_t ElapsedMs);

// The demo's scene without its window: the program state the set-up makes
// (BallCount, GridSize, Balls sized to BallCount) and a grid built as the
// demo builds its own, with EvaluateField as its field function. Counts the
// demo cannot use end the process with run-time error 201, as in the demo.
// InitScene needs a GL context, so this repeats its last two steps; the grid
// itself comes from the same NewSceneGrid.
class TSceneFrame {
public:
    TSceneFrame(std::int32_t GridSize, std::int32_t BallCount);
    ~TSceneFrame();
    TSceneFrame(const TSceneFrame&) = delete;
    TSceneFrame& operator=(const TSceneFrame&) = delete;

    TGrid& Grid() { return *Grid_; }

private:
    TGrid* Grid_;
};

// Opens Path for writing ("-" is stdout); on failure prints the reason and
// returns nullptr.
std::FILE* OpenOutput(const char* Command, const char* Path, bool Binary);
// Closes an output opened by OpenOutput; false (with the reason printed) when
// anything written to it was lost.
bool CloseOutput(const char* Command, const char* Path, std::FILE* File);
