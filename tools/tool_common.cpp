#include "tool_common.h"

#include "app/options.h"
#include "scene/field.h"
#include "scene/state.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>

bool WantsHelp(int Argc, char** Argv) {
    for (int a = 0; a < Argc; ++a)
        if (std::strcmp(Argv[a], "--help") == 0 || std::strcmp(Argv[a], "-h") == 0) return true;
    return false;
}

bool TCommandLine::Fail(const std::string& Reason) const {
    std::fprintf(stderr, "sorvel2-tool %s: %s (see sorvel2-tool %s --help)\n", Command_, Reason.c_str(), Command_);
    return false;
}

bool TCommandLine::Parse(int Argc, char** Argv) {
    for (int a = 0; a < Argc; ++a) {
        const std::string arg = Argv[a];
        const TFlagRule* rule = nullptr;
        std::string name;
        std::size_t eq = std::string::npos;
        if (arg.size() == 2 && arg[0] == '-' && arg[1] != '-') {
            for (const TFlagRule& s : Rules_)
                if (s.Short == arg[1]) rule = &s;
            if (rule == nullptr) return Fail("unknown option '" + arg + "'");
            name = rule->Name;
        } else if (arg.size() > 2 && arg.compare(0, 2, "--") == 0) {
            eq = arg.find('=');
            name = arg.substr(2, eq == std::string::npos ? std::string::npos : eq - 2);
            for (const TFlagRule& s : Rules_)
                if (name == s.Name) rule = &s;
            if (rule == nullptr) return Fail("unknown option '--" + name + "'");
        } else {
            return Fail(arg.empty() || arg[0] != '-' ? "unexpected argument '" + arg + "'"
                                                     : "unknown option '" + arg + "'");
        }
        if (Has(rule->Name)) return Fail("option '--" + name + "' given twice");
        std::string value;
        if (rule->TakesValue) {
            if (eq != std::string::npos) {
                value = arg.substr(eq + 1);
            } else if (a + 1 < Argc) {
                value = Argv[++a];
            } else {
                return Fail("option '" + arg + "' needs a value");
            }
            if (value.empty()) return Fail("option '--" + name + "' needs a value");
        } else if (eq != std::string::npos) {
            return Fail("option '--" + name + "' takes no value");
        }
        Given_.emplace_back(name, value);
    }
    return true;
}

bool TCommandLine::Has(const char* Name) const { return Value(Name) != nullptr; }

const char* TCommandLine::Value(const char* Name) const {
    for (const auto& [name, value] : Given_)
        if (name == Name) return value.c_str();
    return nullptr;
}

bool TCommandLine::Int(const char* Name, std::int64_t Min, std::int64_t Max, std::int32_t& Out) const {
    const char* text = Value(Name);
    if (text == nullptr) return true;
    const char* end = text + std::strlen(text);
    std::int64_t v = 0;
    const auto [stop, err] = std::from_chars(text, end, v);
    if (err != std::errc() || stop != end)
        return Fail("--" + std::string(Name) + " wants a whole number, not '" + text + "'");
    if (v < Min || v > Max)
        return Fail("--" + std::string(Name) + " must be from " + std::to_string(Min) + " to " + std::to_string(Max) +
                    ", not " + text);
    Out = static_cast<std::int32_t>(v);
    return true;
}

bool TCommandLine::Size(const char* Name, std::int32_t& Width, std::int32_t& Height) const {
    const char* text = Value(Name);
    if (text == nullptr) return true;
    const char* end = text + std::strlen(text);
    const char* x = std::find(text, end, 'x');
    std::int32_t w = 0, h = 0;
    const auto [wEnd, wErr] = std::from_chars(text, x, w);
    const auto [hEnd, hErr] = x == end ? std::from_chars_result{x, std::errc::invalid_argument}
                                       : std::from_chars(x + 1, end, h);
    if (wErr != std::errc() || wEnd != x || hErr != std::errc() || hEnd != end || w < 1 || h < 1 || w > 16384 ||
        h > 16384)
        return Fail("--" + std::string(Name) + " wants WxH, each 1 to 16384, not '" + text + "'");
    Width = w;
    Height = h;
    return true;
}

bool ResolveSettings(const TCommandLine& Line, TToolSettings& Out) {
    TToolSettings s;
    if (!Line.Has("grid") || !Line.Has("balls")) {
        ReadOptions();  // ends the process on the demo's errors
        s = {ScreenWidth, ScreenHeight, BallCount, GridSize, true};
    }
    // Flags are checked here and refused plainly; values from the file go to
    // the engine as they are and fail there as in the demo.
    if (!Line.Int("grid", 1, INT32_MAX, s.Grid) || !Line.Int("balls", 0, INT32_MAX, s.Balls)) return false;
    Out = s;
    return true;
}

bool ResolveFieldRoute(const TCommandLine& Line, TFieldRoute& Out) {
    const char* text = Line.Value("field");
    if (text == nullptr || std::strcmp(text, "sparse") == 0) {
        Out = TFieldRoute::Sparse;
    } else if (std::strcmp(text, "dense") == 0) {
        Out = TFieldRoute::Dense;
    } else {
        return Line.Fail(std::string("--field wants sparse or dense, not '") + text + "'");
    }
    return true;
}

TSceneFrame::TSceneFrame(std::int32_t GridSize_, std::int32_t BallCount_) {
    // In the demo's set-up order: the balls, then the grid.
    BallCount = BallCount_;
    GridSize = GridSize_;
    Balls.Create(BallCount);
    Grid_ = NewSceneGrid(GridSize);
}

TSceneFrame::~TSceneFrame() {
    delete Grid_;
    Balls.Release();
}

void SetFrameTime(std::int32_t Ms) {
    ElapsedMs = Ms;
    SceneTime = SceneTimeAt(ElapsedMs);
    MoveBalls(Balls.Data(), BallCount, SceneTime);
}

std::FILE* OpenOutput(const char* Command, const char* Path, bool Binary) {
    if (std::strcmp(Path, "-") == 0) return stdout;
    std::FILE* f = std::fopen(Path, Binary ? "wb" : "w");
    if (f == nullptr) std::fprintf(stderr, "sorvel2-tool %s: cannot write '%s': %s\n", Command, Path, std::strerror(errno));
    return f;
}

bool CloseOutput(const char* Command, const char* Path, std::FILE* File) {
    const bool failed = std::ferror(File) != 0;
    const int closed = File == stdout ? std::fflush(File) : std::fclose(File);
    if (failed || closed != 0) {
        std::fprintf(stderr, "sorvel2-tool %s: writing '%s' failed: %s\n", Command, Path,
                     errno != 0 ? std::strerror(errno) : "I/O error");
        return false;
    }
    return true;
}
