// What the XScreenSaver hack needs of the system: its window (an X11 window
// and a GLX context on it, with none of the demo's window seam, platform.h,
// in between), the signals that end it, a clock and a pause.
//
// A screen saver draws where its host tells it to: the host made the window,
// owns the keyboard and the pointer and decides when it ends. So this layer
// takes a window it is given (the daemon's, a preview's, or the root
// window) as it is: it draws with that window's own visual, follows its size
// and never maps, moves, grabs or changes anything of it. Only for trying
// the saver does it make a window of its own.
#pragma once

#include <cstdint>

// Where the saver draws.
enum class TSaverTarget {
    Root,       // $XSCREENSAVER_WINDOW when set (the daemon's window), else the screen's root window
    WindowId,   // a window made by someone else (the settings' preview), by its id
    OwnWindow,  // a new top-level window of the saver's own, 640 x 480
};

// What happened since the last Poll.
struct TSaverEvents {
    bool Resized = false;  // Width() and Height() changed
    bool Ended = false;    // the window is gone, or its own window was asked to close
};

class TX11SaverWindow {
public:
    TX11SaverWindow() = default;
    ~TX11SaverWindow();
    TX11SaverWindow(const TX11SaverWindow&) = delete;
    TX11SaverWindow& operator=(const TX11SaverWindow&) = delete;

    // Opens the display ($DISPLAY), finds the target window (Id is read for
    // WindowId only), makes a GLX context for the window's visual and makes
    // it current. False, with Error() saying why and nothing left open, when
    // the display, the window or a GL visual is not there or
    // $XSCREENSAVER_WINDOW is not a window id.
    bool Open(TSaverTarget Target, std::uint32_t Id);
    // Releases the context and, for its own window, the window; closes the
    // display. Safe to call twice.
    void Close();
    const char* Error() const { return Error_; }

    std::int32_t Width() const { return Width_; }
    std::int32_t Height() const { return Height_; }

    // Takes every queued event without waiting: size changes of the window,
    // its destruction, a close request to its own window. X errors about the
    // window (it was destroyed between two frames) count as its end too.
    TSaverEvents Poll();

    // Asks for buffer swaps to wait for the display's refresh (Interval 1) or
    // not (0) through GLX_EXT_swap_control, GLX_MESA_swap_control or
    // GLX_SGI_swap_control, the first the implementation offers. False when
    // none of them took it.
    bool SetSwapInterval(int Interval);

    // Shows the frame: a buffer swap, or a flush for a single-buffered visual.
    void Present();

private:
    bool Fail(const char* Reason);
    bool TakeWindow(unsigned long Window);
    bool MakeOwnWindow();
    void ReadSize();

    void* Display_ = nullptr;      // Display*
    unsigned long Window_ = 0;     // Window
    unsigned long Colormap_ = 0;   // the own window's colormap
    void* Context_ = nullptr;      // GLXContext
    unsigned long DeleteAtom_ = 0; // WM_DELETE_WINDOW, own window only
    bool Own_ = false;
    bool DoubleBuffered_ = false;
    std::int32_t Width_ = 0;
    std::int32_t Height_ = 0;
    char Error_[160] = {};
};

// A window id as XScreenSaver writes one (--window-id, $XSCREENSAVER_WINDOW):
// the whole text decimal or 0x-prefixed hexadecimal, 1 to 2^32 - 1.
bool ParseWindowId(const char* Text, std::uint32_t& Out);

// The daemon ends a hack with SIGTERM (and a terminal with SIGINT). After
// WatchEndSignals, either one only sets a flag, which EndRequested reads;
// the frame loop checks it and ends the program itself. Both stay blocked
// in the calling thread until UnblockEndSignals: threads started in between
// inherit that mask (worker threads, the GL driver's), so the signals reach
// only the thread that pauses between frames and cut its pause short.
void WatchEndSignals();
void UnblockEndSignals();
bool EndRequested();

// Microseconds on a clock that only goes forward (CLOCK_MONOTONIC).
std::int64_t MonotonicMicroseconds();
// Sleeps until the monotonic clock reads Deadline (microseconds), or an end
// signal arrives.
void PauseUntil(std::int64_t Deadline);
