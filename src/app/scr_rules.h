// The decisions of the Windows screen saver's shell (sorvel2.scr) that need
// no Windows call, so that they are tested on any system: what its command
// line asks for, when the pointer has moved far enough to end it, and when
// the next frame may start where no swap interval paces it.
#pragma once

#include <cstdint>

// What Windows asks of a screen saver:
//   /s (also -s, /S)             Run: full screen until input
//   /p HWND, /p:HWND             Preview: a live picture in that window
//   /c, /c:HWND, no argument     Configure: the settings dialog (owned by HWND)
// Letters in either case, "/" or "-" before them. Anything else is Unknown.
enum class TScrAction { Run, Preview, Configure, Unknown };

// Why a command line was refused.
enum class TScrProblem {
    None,
    UnknownArgument,  // not one of the switches above
    NoWindow,         // a /p with nothing after it
    BadWindow,        // a handle that is not decimal digits, is 0 or too large
    ExtraArgument,    // anything after a complete command
};

struct TScrCommand {
    TScrAction Action;
    // The window of /p and /c:HWND (a decimal handle, as Windows writes it);
    // 0 for /s, a plain /c and no argument.
    std::uintptr_t Window;
    // For Unknown: the argument that was not understood (one of Arguments;
    // for a /p with no handle after it, the /p itself). Null otherwise.
    const char* Refused;
    TScrProblem Problem;
};

// Reads the arguments after the program's name (Count of them). One
// command, nothing after it; a window handle must be decimal digits only,
// not 0, and fit a pointer.
TScrCommand ParseScrCommand(int Count, const char* const* Arguments);

// The pointer may wander this many pixels on either axis from where it was
// when the saver started (a desk that shakes, a mouse that jitters); one
// more ends it.
inline constexpr std::int32_t kScrPointerSlack = 4;

// True when (X, Y) lies more than kScrPointerSlack from (StartX, StartY) on
// either axis.
bool PointerMovedAway(std::int32_t StartX, std::int32_t StartY, std::int32_t X, std::int32_t Y);

// Frame pacing. Where the swap waits for the display's refresh the frames
// need no other pace; elsewhere a frame may start once Wait says 0, every
// Period microseconds. The start times keep a steady rhythm on average even
// when the system only wakes the program at coarse ticks (a late frame
// makes the next one's wait shorter); a frame late by a whole period or
// more restarts the rhythm, so that a slow frame is never followed by a
// burst. Times in microseconds on any steady clock.
//
// NOTE: a driver may accept swap interval 1 and not wait (Wine without
// GLX's swap control; a control panel set to "vertical sync off"). So the
// first kScrProbeFrames frames are timed: faster on average than 250 Hz,
// and the pacer keeps Period after all. (On the rare faster display a
// saver loses nothing by keeping to 60 frames a second.)
inline constexpr std::int32_t kScrProbeFrames = 60;
inline constexpr std::int64_t kScrFastestRefreshMicroseconds = 4000;

class TFramePacer {
public:
    TFramePacer(std::int64_t PeriodMicroseconds, bool SwapWaits) : Period(PeriodMicroseconds), Trusted(SwapWaits) {}
    // Microseconds left before the next frame may start at time Now; 0 when it may start now.
    std::int64_t Wait(std::int64_t Now) const;
    // A frame has started at time Now (after Wait said 0).
    void Started(std::int64_t Now);
    // True while the swap is trusted to pace the frames.
    bool SwapPaces() const { return Trusted; }

private:
    std::int64_t Period;
    bool Trusted;
    std::int32_t Probed = 0;  // frames timed so far while trusted
    std::int64_t ProbeStart = 0;
    std::int64_t Next = 0;
    bool First = true;
};
