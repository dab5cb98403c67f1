#include "app/scr_rules.h"

#include <cstdlib>
#include <limits>

namespace {

// The letter of "/x", "-x", "/x:..." or "-x:..." in lower case, or 0 for
// anything that is not a switch. Tail gets what follows the letter.
char SwitchLetter(const char* Argument, const char*& Tail) {
    if ((Argument[0] != '/' && Argument[0] != '-') || Argument[1] == '\0') return 0;
    const char letter = Argument[1];
    Tail = Argument + 2;
    if (letter >= 'A' && letter <= 'Z') return static_cast<char>(letter - 'A' + 'a');
    return letter;
}

// A window handle as Windows writes it on the command line: decimal digits,
// not 0, no overflow of a pointer-sized value.
bool ParseHandle(const char* Text, std::uintptr_t& Out) {
    if (*Text == '\0') return false;
    std::uintptr_t value = 0;
    constexpr std::uintptr_t kMax = std::numeric_limits<std::uintptr_t>::max();
    for (const char* c = Text; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9') return false;
        const auto digit = static_cast<std::uintptr_t>(*c - '0');
        if (value > (kMax - digit) / 10) return false;
        value = value * 10 + digit;
    }
    if (value == 0) return false;
    Out = value;
    return true;
}

TScrCommand Refuse(const char* Argument, TScrProblem Problem) { return {TScrAction::Unknown, 0, Argument, Problem}; }

} // namespace

TScrCommand ParseScrCommand(int Count, const char* const* Arguments) {
    if (Count <= 0) return {TScrAction::Configure, 0, nullptr, TScrProblem::None};
    const char* tail = nullptr;
    switch (SwitchLetter(Arguments[0], tail)) {
    case 's':
        if (*tail != '\0') return Refuse(Arguments[0], TScrProblem::UnknownArgument);
        if (Count > 1) return Refuse(Arguments[1], TScrProblem::ExtraArgument);
        return {TScrAction::Run, 0, nullptr, TScrProblem::None};
    case 'p': {
        // "/p:HWND" in one argument, or "/p" and the handle as the next one.
        std::uintptr_t window = 0;
        int next = 1;
        if (*tail == ':') {
            if (!ParseHandle(tail + 1, window)) return Refuse(Arguments[0], TScrProblem::BadWindow);
        } else if (*tail != '\0') {
            return Refuse(Arguments[0], TScrProblem::UnknownArgument);
        } else if (Count < 2) {
            return Refuse(Arguments[0], TScrProblem::NoWindow);
        } else if (!ParseHandle(Arguments[next++], window)) {
            return Refuse(Arguments[1], TScrProblem::BadWindow);
        }
        if (Count > next) return Refuse(Arguments[next], TScrProblem::ExtraArgument);
        return {TScrAction::Preview, window, nullptr, TScrProblem::None};
    }
    case 'c': {
        std::uintptr_t window = 0;
        if (*tail == ':') {
            if (!ParseHandle(tail + 1, window)) return Refuse(Arguments[0], TScrProblem::BadWindow);
        } else if (*tail != '\0') {
            return Refuse(Arguments[0], TScrProblem::UnknownArgument);
        }
        if (Count > 1) return Refuse(Arguments[1], TScrProblem::ExtraArgument);
        return {TScrAction::Configure, window, nullptr, TScrProblem::None};
    }
    default:
        return Refuse(Arguments[0], TScrProblem::UnknownArgument);
    }
}

bool PointerMovedAway(std::int32_t StartX, std::int32_t StartY, std::int32_t X, std::int32_t Y) {
    // In 64 bits: screen coordinates far apart must not overflow.
    const std::int64_t dx = static_cast<std::int64_t>(X) - StartX;
    const std::int64_t dy = static_cast<std::int64_t>(Y) - StartY;
    return std::llabs(dx) > kScrPointerSlack || std::llabs(dy) > kScrPointerSlack;
}

std::int64_t TFramePacer::Wait(std::int64_t Now) const {
    if (Trusted || Period <= 0 || First || Now >= Next) return 0;
    return Next - Now;
}

void TFramePacer::Started(std::int64_t Now) {
    if (Trusted) {
        if (Probed < kScrProbeFrames) {
            if (Probed == 0) ProbeStart = Now;
            ++Probed;
            return;
        }
        if (Probed > kScrProbeFrames) return;  // decided: the swap waits
        // The frame after the timed ones: kScrProbeFrames whole periods
        // since the first started.
        ++Probed;
        if (Now - ProbeStart >= kScrFastestRefreshMicroseconds * kScrProbeFrames) return;
        Trusted = false;
    }
    if (Period <= 0) return;
    if (First || Now - Next >= Period) {
        Next = Now + Period;
    } else {
        Next += Period;
    }
    First = false;
}
