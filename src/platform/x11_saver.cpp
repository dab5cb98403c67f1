// The XScreenSaver hack's window over Xlib and GLX (x11_saver.h).
//
// A window given by the host keeps its visual: the context is made for it
// (glXCreateContext on the visual's XVisualInfo), which is what XScreenSaver
// expects of a GL hack, since the daemon has already chosen a GL visual for
// the window ("GL:" in its programs list). Its size is followed through
// ConfigureNotify, for which the saver selects StructureNotifyMask on the
// window: another client's selection does not disturb the owner's.
#include "platform/x11_saver.h"

#include <GL/gl.h>
#include <GL/glx.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <pthread.h>
#include <unistd.h>
#include <time.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kOwnWidth = 640;
constexpr int kOwnHeight = 480;

// Xlib reports protocol errors through one handler per process. The saver
// has one window, so the handler only needs to know that one.
unsigned long WatchedWindow = 0;
bool WindowLost = false;
bool AnyError = false;

int OnXError(Display* /*display*/, XErrorEvent* Event) {
    AnyError = true;
    // BadWindow, BadDrawable, BadMatch for the watched window: it was
    // destroyed between two frames (the preview closed), which ends the
    // saver as quietly as its DestroyNotify does.
    if (Event->resourceid == WatchedWindow &&
        (Event->error_code == BadWindow || Event->error_code == BadDrawable || Event->error_code == BadMatch))
        WindowLost = true;
    return 0;
}

using TSwapIntervalExt = void (*)(Display*, GLXDrawable, int);
using TSwapIntervalInt = int (*)(int);

bool HasExtension(const char* List, const char* Name) {
    const std::size_t length = std::strlen(Name);
    for (const char* at = List; at != nullptr && (at = std::strstr(at, Name)) != nullptr; at += length) {
        const bool starts = at == List || at[-1] == ' ';
        const bool ends = at[length] == ' ' || at[length] == '\0';
        if (starts && ends) return true;
    }
    return false;
}

} // namespace

bool ParseWindowId(const char* Text, std::uint32_t& Out) {
    if (Text == nullptr || *Text < '0' || *Text > '9') return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(Text, &end, 0);
    if (errno != 0 || *end != '\0' || value == 0 || value > 0xFFFFFFFFull) return false;
    Out = static_cast<std::uint32_t>(value);
    return true;
}

TX11SaverWindow::~TX11SaverWindow() { Close(); }

bool TX11SaverWindow::Fail(const char* Reason) {
    std::snprintf(Error_, sizeof Error_, "%s", Reason);
    Close();
    return false;
}

bool TX11SaverWindow::Open(TSaverTarget Target, std::uint32_t Id) {
    Close();
    Error_[0] = '\0';
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) return Fail("cannot open the display (is DISPLAY set?)");
    Display_ = display;
    XSetErrorHandler(OnXError);
    int errorBase = 0, eventBase = 0;
    if (!glXQueryExtension(display, &errorBase, &eventBase)) return Fail("the display has no GLX");

    switch (Target) {
    case TSaverTarget::Root: {
        std::uint32_t window = static_cast<std::uint32_t>(RootWindow(display, DefaultScreen(display)));
        const char* given = std::getenv("XSCREENSAVER_WINDOW");
        if (given != nullptr && *given != '\0' && !ParseWindowId(given, window)) {
            std::snprintf(Error_, sizeof Error_, "XSCREENSAVER_WINDOW '%.40s' is not a window id", given);
            Close();
            return false;
        }
        return TakeWindow(window);
    }
    case TSaverTarget::WindowId:
        return TakeWindow(Id);
    case TSaverTarget::OwnWindow:
        return MakeOwnWindow();
    }
    return Fail("unknown target");
}

bool TX11SaverWindow::TakeWindow(unsigned long Window) {
    Display* display = static_cast<Display*>(Display_);
    WatchedWindow = Window;
    WindowLost = false;
    AnyError = false;
    XWindowAttributes attributes{};
    const Status found = XGetWindowAttributes(display, Window, &attributes);
    XSync(display, False);
    if (found == 0 || AnyError) {
        std::snprintf(Error_, sizeof Error_, "there is no window 0x%lx", Window);
        Close();
        return false;
    }
    // NOTE: an InputOnly window reports its parent's visual, which may well
    // have OpenGL: only its class tells that nothing can be drawn in it (the
    // context is made, then every draw fails, and the saver would end as if
    // the window had gone).
    if (attributes.c_class == InputOnly) {
        std::snprintf(Error_, sizeof Error_, "window 0x%lx is InputOnly: nothing can be drawn in it", Window);
        Close();
        return false;
    }
    XVisualInfo wanted{};
    wanted.visualid = XVisualIDFromVisual(attributes.visual);
    wanted.screen = XScreenNumberOfScreen(attributes.screen);
    int count = 0;
    XVisualInfo* visual = XGetVisualInfo(display, VisualIDMask | VisualScreenMask, &wanted, &count);
    if (visual == nullptr) return Fail("the window's visual is unknown");
    int useGl = 0, rgba = 0, doubleBuffer = 0, depth = 0;
    glXGetConfig(display, visual, GLX_USE_GL, &useGl);
    glXGetConfig(display, visual, GLX_RGBA, &rgba);
    glXGetConfig(display, visual, GLX_DOUBLEBUFFER, &doubleBuffer);
    glXGetConfig(display, visual, GLX_DEPTH_SIZE, &depth);
    if (!useGl || !rgba || depth == 0) {
        XFree(visual);
        std::snprintf(Error_, sizeof Error_,
                      "window 0x%lx has a visual (0x%lx) without OpenGL, RGBA or a depth buffer; "
                      "XScreenSaver lists GL hacks with \"GL:\" to get one",
                      Window, wanted.visualid);
        Close();
        return false;
    }
    Context_ = glXCreateContext(display, visual, nullptr, True);
    XFree(visual);
    if (Context_ == nullptr) return Fail("no GLX context for the window's visual");
    Window_ = Window;
    DoubleBuffered_ = doubleBuffer != 0;
    XSelectInput(display, Window, StructureNotifyMask);
    if (!glXMakeCurrent(display, Window, static_cast<GLXContext>(Context_))) return Fail("glXMakeCurrent failed");
    Width_ = attributes.width;
    Height_ = attributes.height;
    return true;
}

bool TX11SaverWindow::MakeOwnWindow() {
    Display* display = static_cast<Display*>(Display_);
    const int screen = DefaultScreen(display);
    int wanted[] = {GLX_RGBA, GLX_DOUBLEBUFFER, GLX_RED_SIZE, 1, GLX_GREEN_SIZE, 1, GLX_BLUE_SIZE, 1,
                    GLX_DEPTH_SIZE, 16, None};
    XVisualInfo* visual = glXChooseVisual(display, screen, wanted);
    if (visual == nullptr) return Fail("no double-buffered RGBA visual with a depth buffer");
    const Window root = RootWindow(display, screen);
    Colormap_ = XCreateColormap(display, root, visual->visual, AllocNone);
    XSetWindowAttributes set{};
    set.colormap = Colormap_;
    set.background_pixel = BlackPixel(display, screen);
    set.border_pixel = 0;
    set.event_mask = StructureNotifyMask;
    const Window window = XCreateWindow(display, root, 0, 0, kOwnWidth, kOwnHeight, 0, visual->depth, InputOutput,
                                        visual->visual, CWColormap | CWBackPixel | CWBorderPixel | CWEventMask, &set);
    Window_ = window;
    Own_ = true;
    WatchedWindow = window;
    WindowLost = false;
    XStoreName(display, window, "sorvel2");
    // Window managers (and tests) find a window's process by this.
    const long pid = static_cast<long>(getpid());
    XChangeProperty(display, window, XInternAtom(display, "_NET_WM_PID", False), XA_CARDINAL, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(&pid), 1);
    Atom deleteAtom = XInternAtom(display, "WM_DELETE_WINDOW", False);
    DeleteAtom_ = deleteAtom;
    XSetWMProtocols(display, window, &deleteAtom, 1);
    Context_ = glXCreateContext(display, visual, nullptr, True);
    XFree(visual);
    if (Context_ == nullptr) return Fail("no GLX context");
    DoubleBuffered_ = true;
    XMapWindow(display, window);
    if (!glXMakeCurrent(display, window, static_cast<GLXContext>(Context_))) return Fail("glXMakeCurrent failed");
    Width_ = kOwnWidth;
    Height_ = kOwnHeight;
    return true;
}

void TX11SaverWindow::Close() {
    Display* display = static_cast<Display*>(Display_);
    if (display == nullptr) return;
    if (Context_ != nullptr) {
        glXMakeCurrent(display, None, nullptr);
        glXDestroyContext(display, static_cast<GLXContext>(Context_));
        Context_ = nullptr;
    }
    // A window that is not the saver's own stays as it is: only the
    // selection of its events ends, with the connection.
    if (Own_ && Window_ != 0 && !WindowLost) XDestroyWindow(display, Window_);
    if (Colormap_ != 0) XFreeColormap(display, Colormap_);
    XCloseDisplay(display);
    Display_ = nullptr;
    Window_ = 0;
    Colormap_ = 0;
    Own_ = false;
    WatchedWindow = 0;
}

TSaverEvents TX11SaverWindow::Poll() {
    TSaverEvents events;
    Display* display = static_cast<Display*>(Display_);
    if (display == nullptr) {
        events.Ended = true;
        return events;
    }
    while (XPending(display) > 0) {
        XEvent event;
        XNextEvent(display, &event);
        switch (event.type) {
        case ConfigureNotify:
            if (event.xconfigure.window == Window_ &&
                (event.xconfigure.width != Width_ || event.xconfigure.height != Height_)) {
                Width_ = event.xconfigure.width;
                Height_ = event.xconfigure.height;
                events.Resized = true;
            }
            break;
        case DestroyNotify:
            if (event.xdestroywindow.window == Window_) WindowLost = true;
            break;
        case ClientMessage:
            if (Own_ && static_cast<unsigned long>(event.xclient.data.l[0]) == DeleteAtom_) events.Ended = true;
            break;
        default:
            break;
        }
    }
    if (WindowLost) events.Ended = true;
    return events;
}

bool TX11SaverWindow::SetSwapInterval(int Interval) {
    Display* display = static_cast<Display*>(Display_);
    if (display == nullptr) return false;
    const char* list = glXQueryExtensionsString(display, DefaultScreen(display));
    auto address = [](const char* Name) { return glXGetProcAddressARB(reinterpret_cast<const GLubyte*>(Name)); };
    if (HasExtension(list, "GLX_EXT_swap_control")) {
        if (auto set = reinterpret_cast<TSwapIntervalExt>(address("glXSwapIntervalEXT"))) {
            set(display, Window_, Interval);
            return true;
        }
    }
    if (HasExtension(list, "GLX_MESA_swap_control")) {
        if (auto set = reinterpret_cast<TSwapIntervalInt>(address("glXSwapIntervalMESA")))
            return set(Interval) == 0;
    }
    // SGI's form refuses 0 (it cannot switch the wait off).
    if (Interval > 0 && HasExtension(list, "GLX_SGI_swap_control")) {
        if (auto set = reinterpret_cast<TSwapIntervalInt>(address("glXSwapIntervalSGI")))
            return set(Interval) == 0;
    }
    return false;
}

void TX11SaverWindow::Present() {
    Display* display = static_cast<Display*>(Display_);
    if (display == nullptr || WindowLost) return;
    if (DoubleBuffered_)
        glXSwapBuffers(display, Window_);
    else
        glFlush();
}

namespace {
volatile std::sig_atomic_t EndSignal = 0;
void OnEndSignal(int /*signal*/) { EndSignal = 1; }

sigset_t EndSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    return set;
}
} // namespace

void WatchEndSignals() {
    struct sigaction action {};
    action.sa_handler = OnEndSignal;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a pause between frames ends at once.
    action.sa_flags = 0;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    // NOTE: the grid's worker threads start during the set-up and inherit
    // this mask, so a signal is never taken by a worker, where it would
    // leave the main thread asleep for the rest of its pause.
    const sigset_t set = EndSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void UnblockEndSignals() {
    const sigset_t set = EndSignals();
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

bool EndRequested() { return EndSignal != 0; }

std::int64_t MonotonicMicroseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

void PauseUntil(std::int64_t Deadline) {
    timespec until{};
    until.tv_sec = static_cast<time_t>(Deadline / 1000000);
    until.tv_nsec = static_cast<long>(Deadline % 1000000) * 1000;
    // Interrupted by a signal: back to the loop, which looks at the flag.
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
}
