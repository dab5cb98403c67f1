// SDL2 backend: the window, context, loop and display calls of platform.h
// over SDL2, with Mesa's OpenGL and GLU, for Linux.
//
// Functions this file must provide (platform.h, Section 1, all but the file
// calls and those window_layer.cpp provides): GetTickCount, MessageBoxA,
// CreateWindowExA, ShowWindow, SetForegroundWindow, SetFocus, ShowCursor,
// DestroyWindow, PostQuitMessage, ChangeDisplaySettingsA, PeekMessageA,
// SetPixelFormat, SwapBuffers, wglCreateContext, wglMakeCurrent,
// wglDeleteContext.
//
// How the Win32 ideas map onto SDL:
//  * One window. HWND and HDC are both the SDL_Window; HGLRC is the
//    SDL_GLContext.
//  * Display modes: a mode change is granted (DISP_CHANGE_SUCCESSFUL) only
//    when the display offers exactly that size and depth; the switch itself
//    happens when the window is made, as an SDL full-screen window, and
//    ChangeDisplaySettingsA(NULL, 0) leaves full screen again. Any other
//    size answers DISP_CHANGE_BADMODE and the window is a borderless one of
//    the requested size in the current mode. With no real display (video
//    fails to start, or only SDL's offscreen or dummy driver is there) the
//    answer is DISP_CHANGE_FAILED: a full-screen program must not run
//    invisibly.
//  * Messages: SDL events become WM_KEYDOWN (wParam a virtual-key code,
//    VK_ESCAPE for Escape), WM_CLOSE (a close request of the window, or
//    SDL_QUIT) and WM_SIZE (the new client size). No character messages.
//    They go through the layer's own queue, where PostQuitMessage puts
//    WM_QUIT behind everything that arrived before it.
//  * MessageBoxA writes "Caption: text" to stderr, then shows SDL's modal
//    box, which takes the keyboard focus while it is up (as a Win32 box
//    does; where no thread can be had for that, it goes up without), so
//    Return closes it. Automated runs set SORVEL2_NO_MESSAGE_BOX=1
//    to keep the stderr line and skip the box window, so that nothing waits
//    for a click.
#include "platform/platform.h"

#include "platform/gl_heap.h"
#include "platform/window_layer.h"

#include <SDL.h>
#include <xcb/xcb.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <thread>

#include <pthread.h>
#include <sched.h>

namespace {

// What only SDL needs; the window itself is the window layer's.
struct TLayer {
    bool VideoUp = false;
    bool ModePending = false;  // an exact mode was granted; the window takes it
    SDL_DisplayMode Mode{};
    int CursorCount = 0;
};

TLayer Layer;

SDL_Window* AsWindow(HWND Window) { return reinterpret_cast<SDL_Window*>(Window); }
SDL_Window* AsWindow(HDC Dc) { return reinterpret_cast<SDL_Window*>(Dc); }
SDL_Window* TheWindow() { return static_cast<SDL_Window*>(LayerWindow()); }

// Starts SDL's video once; false when there is no real display to show on.
bool StartVideo() {
    if (Layer.VideoUp) return true;
    SDL_SetHint(SDL_HINT_QUIT_ON_LAST_WINDOW_CLOSE, "0");
    SDL_SetHint(SDL_HINT_VIDEO_MINIMIZE_ON_FOCUS_LOSS, "0");
    if (SDL_InitSubSystem(SDL_INIT_VIDEO) != 0) return false;
    const char* driver = SDL_GetCurrentVideoDriver();
    // NOTE: with no display SDL 2.26 falls back to its offscreen driver and
    // "succeeds"; for a full-screen program that is no display at all.
    if (driver == nullptr || std::strcmp(driver, "offscreen") == 0 || std::strcmp(driver, "dummy") == 0) {
        SDL_QuitSubSystem(SDL_INIT_VIDEO);
        return false;
    }
    Layer.VideoUp = true;
    // Leaves full screen and restores the mode also when the process ends
    // without CloseRenderWindow (a failed texture, a run-time error).
    std::atexit(SDL_Quit);
    return true;
}

// Bytes per pixel of a Win32 depth: 32 bits is 8 bits per channel in four bytes.
bool DepthMatches(Uint32 Format, DWORD Bits) {
    if (Bits == 32) return SDL_BYTESPERPIXEL(Format) == 4;
    return SDL_BITSPERPIXEL(Format) == Bits;
}

// Virtual-key code of an SDL key: letters and digits as their upper-case
// characters, a few named keys, 0 for the rest.
WPARAM VirtualKey(SDL_Keycode Key) {
    if (Key == SDLK_ESCAPE) return VK_ESCAPE;
    if (Key >= SDLK_a && Key <= SDLK_z) return static_cast<WPARAM>('A' + (Key - SDLK_a));
    if (Key >= SDLK_0 && Key <= SDLK_9) return static_cast<WPARAM>('0' + (Key - SDLK_0));
    if (Key == SDLK_SPACE) return 0x20;
    if (Key == SDLK_RETURN) return 0x0D;
    if (Key == SDLK_TAB) return 0x09;
    return 0;
}

void Translate(const SDL_Event& Event) {
    switch (Event.type) {
    case SDL_KEYDOWN:
        PostLayerMessage(WM_KEYDOWN, VirtualKey(Event.key.keysym.sym),
                         Event.key.repeat ? LPARAM{1} | LPARAM{1} << 30 : LPARAM{1});
        break;
    case SDL_QUIT:
        PostLayerMessage(WM_CLOSE, 0, 0);
        break;
    case SDL_WINDOWEVENT:
        if (Event.window.event == SDL_WINDOWEVENT_CLOSE) {
            PostLayerMessage(WM_CLOSE, 0, 0);
        } else if (Event.window.event == SDL_WINDOWEVENT_SIZE_CHANGED) {
            const LPARAM w = Event.window.data1 & 0xFFFF;
            const LPARAM h = Event.window.data2 & 0xFFFF;
            PostLayerMessage(WM_SIZE, 0, w | h << 16);
        }
        break;
    default:
        break;
    }
}

void Pump() {
    if (!Layer.VideoUp) return;
    SDL_Event event;
    while (SDL_PollEvent(&event) != 0) Translate(event);
}

// Gives a message box the keyboard focus for as long as it lives: made just
// before the box is shown, with the box's caption; stops when destroyed.
//
// NOTE: with no window manager nothing moves the focus to a new window. A box
// shown over the render window leaves the focus on it (the program gave it
// the focus), and before there is one the focus follows the pointer, so
// Return would not reach the box: only a click would close it. SDL shows the
// box in a call that returns only when it closes (on X11 from a child
// process), so a helper thread watches for it instead, on an X connection of
// its own: a mapped top-level window named like the caption, which it gives
// the focus whenever the focus is elsewhere, as long as the box is up. With
// a window manager the box sits inside the manager's frame, is not found
// among the top-level windows, and the manager focuses it as usual. With no
// X display the thread finds nothing and ends.
//
// The helper is a convenience: when the system gives no thread (a process
// limit, memory exhausted) the box goes up without it. So it is started
// with pthread_create, which reports a failure, rather than std::thread,
// which throws one; and nothing of it goes through operator new, since the
// box may be the report of exhausted memory itself, and operator new would
// call that report again from inside it.
class TBoxFocus {
public:
    explicit TBoxFocus(const char* Caption) : Caption_(Caption) {
        // Without the fork handlers below the helper is not safe to run.
        static const bool forkSafe =
            pthread_atfork([] { XMutex().lock(); }, [] { XMutex().unlock(); }, [] { XMutex().unlock(); }) == 0;
        if (!forkSafe) return;
        // NOTE: a stack of its own size, not the process default, which
        // follows the stack limit (ulimit -s) and can be far more than the
        // address space allows; a few X requests need little.
        pthread_attr_t attributes;
        if (pthread_attr_init(&attributes) != 0) return;
        pthread_attr_setstacksize(&attributes, kStackBytes);
        Running_ = pthread_create(&Thread_, &attributes, &TBoxFocus::Start, this) == 0;
        pthread_attr_destroy(&attributes);
        // NOTE: SDL forks the box's process as soon as it is called. Waiting
        // here until the thread runs our code keeps the thread's own start-up
        // (which may allocate) from racing that fork.
        while (Running_ && !Started_) sched_yield();
    }
    ~TBoxFocus() {
        if (!Running_) return;
        Stop_ = true;
        pthread_join(Thread_, nullptr);
    }
    TBoxFocus(const TBoxFocus&) = delete;
    TBoxFocus& operator=(const TBoxFocus&) = delete;

private:
    static constexpr std::size_t kStackBytes = 256 * 1024;

    static void* Start(void* Self) {
        static_cast<TBoxFocus*>(Self)->Run();
        return nullptr;
    }

    // NOTE: a fork copies only the forking thread. Had this thread been inside
    // the allocator (every X reply is allocated) at that moment, the child
    // that shows the box would inherit a lock nobody releases and hang, the
    // parent with it. So all the thread's X work runs under this mutex, and
    // a fork in this process first takes it (pthread_atfork above): the
    // thread is then asleep or waiting, never mid-call.
    static std::mutex& XMutex() {
        static std::mutex m;
        return m;
    }

    void Run() {
        Started_ = true;
        std::unique_lock lock(XMutex());
        int screenNumber = 0;
        xcb_connection_t* c = xcb_connect(nullptr, &screenNumber);
        if (xcb_connection_has_error(c) == 0) {
            xcb_screen_iterator_t screen = xcb_setup_roots_iterator(xcb_get_setup(c));
            for (int i = 0; i < screenNumber && screen.rem > 0; ++i) xcb_screen_next(&screen);
            while (!Stop_) {
                const xcb_window_t box = FindBox(c, screen.data->root, Caption_);
                if (box != XCB_WINDOW_NONE && FocusedWindow(c) != box) {
                    xcb_set_input_focus(c, XCB_INPUT_FOCUS_POINTER_ROOT, box, XCB_CURRENT_TIME);
                    xcb_flush(c);
                }
                lock.unlock();
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                lock.lock();
            }
        }
        xcb_disconnect(c);
    }

    // Replies that come with an error (a window gone meanwhile) are null and
    // skipped; the errors themselves are queued as events nobody reads.
    static xcb_window_t FindBox(xcb_connection_t* c, xcb_window_t Root, const char* Caption) {
        xcb_query_tree_reply_t* tree = xcb_query_tree_reply(c, xcb_query_tree(c, Root), nullptr);
        if (tree == nullptr) return XCB_WINDOW_NONE;
        const xcb_window_t* children = xcb_query_tree_children(tree);
        const std::size_t length = std::strlen(Caption);
        xcb_window_t box = XCB_WINDOW_NONE;
        // Topmost first: the newest box is stacked last.
        for (int i = xcb_query_tree_children_length(tree) - 1; i >= 0 && box == XCB_WINDOW_NONE; --i) {
            xcb_get_window_attributes_reply_t* attributes =
                xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, children[i]), nullptr);
            const bool viewable = attributes != nullptr && attributes->map_state == XCB_MAP_STATE_VIEWABLE;
            std::free(attributes);
            if (!viewable) continue;
            xcb_get_property_reply_t* name = xcb_get_property_reply(
                c, xcb_get_property(c, 0, children[i], XCB_ATOM_WM_NAME, XCB_GET_PROPERTY_TYPE_ANY, 0, 256), nullptr);
            if (name != nullptr && name->format == 8 &&
                static_cast<std::size_t>(xcb_get_property_value_length(name)) == length &&
                std::memcmp(xcb_get_property_value(name), Caption, length) == 0)
                box = children[i];
            std::free(name);
        }
        std::free(tree);
        return box;
    }

    static xcb_window_t FocusedWindow(xcb_connection_t* c) {
        xcb_get_input_focus_reply_t* focus = xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr);
        const xcb_window_t window = focus != nullptr ? focus->focus : xcb_window_t{XCB_WINDOW_NONE};
        std::free(focus);
        return window;
    }

    const char* Caption_;
    bool Running_ = false;
    std::atomic<bool> Started_{false};
    std::atomic<bool> Stop_{false};
    pthread_t Thread_{};
};

// The attributes the program's pixel format asks for.
void SetGLAttributes(bool DoubleBuffer, int ColourBits, int AlphaBits, int DepthBits, int StencilBits) {
    const int channel = ColourBits >= 24 ? 8 : ColourBits >= 15 ? 5 : 4;
    SDL_GL_SetAttribute(SDL_GL_DOUBLEBUFFER, DoubleBuffer ? 1 : 0);
    SDL_GL_SetAttribute(SDL_GL_RED_SIZE, channel);
    SDL_GL_SetAttribute(SDL_GL_GREEN_SIZE, channel);
    SDL_GL_SetAttribute(SDL_GL_BLUE_SIZE, channel);
    SDL_GL_SetAttribute(SDL_GL_ALPHA_SIZE, AlphaBits);
    SDL_GL_SetAttribute(SDL_GL_DEPTH_SIZE, DepthBits);
    SDL_GL_SetAttribute(SDL_GL_STENCIL_SIZE, StencilBits);
}

} // namespace

// ---------------------------------------------------------------------------
// kernel32
// ---------------------------------------------------------------------------
DWORD GetTickCount() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const unsigned long long ms =
        static_cast<unsigned long long>(now.tv_sec) * 1000ull + static_cast<unsigned long long>(now.tv_nsec) / 1000000ull;
    return static_cast<DWORD>(ms);
}

// ---------------------------------------------------------------------------
// user32
// ---------------------------------------------------------------------------
int MessageBoxA(HWND /*hWnd*/, LPCSTR lpText, LPCSTR lpCaption, UINT uType) {
    const char* text = lpText != nullptr ? lpText : "";
    const char* caption = lpCaption != nullptr ? lpCaption : "";
    std::fprintf(stderr, "%s: %s\n", caption, text);
    std::fflush(stderr);
    const char* skip = std::getenv("SORVEL2_NO_MESSAGE_BOX");
    if (skip != nullptr && std::strcmp(skip, "1") == 0) return IDOK;
    // MB_OK alone asks for no icon: no type flag at all.
    const Uint32 flags = (uType & MB_ICONERROR) != 0 ? SDL_MESSAGEBOX_ERROR : 0;
    // NOTE: the box has no owner in the program's terms, but a box that
    // comes up while the full-screen window is still there (a texture or a
    // run-time error during set-up) would sit behind it with the cursor
    // hidden, and the program would look hung. So the window, if any, is
    // the box's parent for stacking, and the cursor shows while it is up.
    SDL_Window* above = TheWindow();
    if (above != nullptr) SDL_ShowCursor(SDL_ENABLE);
    // Modal: returns when the box is closed.
    {
        TBoxFocus focus(caption);
        SDL_ShowSimpleMessageBox(flags, caption, text, above);
    }
    if (above != nullptr) SDL_ShowCursor(Layer.CursorCount >= 0 ? SDL_ENABLE : SDL_DISABLE);
    return IDOK;
}

HWND CreateWindowExA(DWORD /*dwExStyle*/, LPCSTR /*lpClassName*/, LPCSTR lpWindowName, DWORD dwStyle, int X, int Y,
                     int nWidth, int nHeight, HWND /*hWndParent*/, HMENU /*hMenu*/, HINSTANCE /*hInstance*/,
                     LPVOID /*lpParam*/) {
    if (LayerWindow() != nullptr || !StartVideo()) return nullptr;
    // NOTE: on X11 SDL picks the window's visual when the window is made,
    // before any pixel format is set; make it with the attributes the
    // program's pixel format asks for (double buffer, 8 bits per channel,
    // 16-bit depth), so that SetPixelFormat only confirms them.
    SetGLAttributes(true, 32, 0, 16, 0);
    Uint32 flags = SDL_WINDOW_OPENGL | SDL_WINDOW_HIDDEN;
    if ((dwStyle & WS_POPUP) != 0) flags |= SDL_WINDOW_BORDERLESS;
    if (Layer.ModePending) flags |= SDL_WINDOW_FULLSCREEN;
    SDL_Window* window = SDL_CreateWindow(lpWindowName != nullptr ? lpWindowName : "", X, Y, nWidth, nHeight, flags);
    if (window == nullptr) return nullptr;
    if (Layer.ModePending) SDL_SetWindowDisplayMode(window, &Layer.Mode);
    SetLayerWindow(window);
    return reinterpret_cast<HWND>(window);
}

BOOL ShowWindow(HWND hWnd, int nCmdShow) {
    SDL_Window* window = AsWindow(hWnd);
    if (window == nullptr) return FALSE;
    const BOOL wasVisible = (SDL_GetWindowFlags(window) & SDL_WINDOW_SHOWN) != 0;
    if (nCmdShow == 0) {
        SDL_HideWindow(window);
    } else {
        SDL_ShowWindow(window);
    }
    return wasVisible;
}

BOOL SetForegroundWindow(HWND hWnd) {
    if (hWnd == nullptr) return FALSE;
    SDL_RaiseWindow(AsWindow(hWnd));
    return TRUE;
}

HWND SetFocus(HWND hWnd) {
    if (hWnd == nullptr) return nullptr;
    SDL_SetWindowInputFocus(AsWindow(hWnd));
    return nullptr;
}

int ShowCursor(BOOL bShow) {
    Layer.CursorCount += bShow ? 1 : -1;
    if (Layer.VideoUp) SDL_ShowCursor(Layer.CursorCount >= 0 ? SDL_ENABLE : SDL_DISABLE);
    return Layer.CursorCount;
}

BOOL DestroyWindow(HWND hWnd) {
    SDL_Window* window = AsWindow(hWnd);
    if (window == nullptr || window != LayerWindow()) return FALSE;
    SDL_DestroyWindow(window);
    SetLayerWindow(nullptr);
    return TRUE;
}

void PostQuitMessage(int nExitCode) {
    // Events SDL already holds came first: queue them ahead of the quit.
    Pump();
    PostLayerMessage(WM_QUIT, static_cast<WPARAM>(nExitCode), 0);
}

LONG ChangeDisplaySettingsA(DEVMODEA* lpDevMode, DWORD /*dwFlags*/) {
    SDL_Window* window = TheWindow();
    if (lpDevMode == nullptr) {
        Layer.ModePending = false;
        if (window != nullptr && (SDL_GetWindowFlags(window) & SDL_WINDOW_FULLSCREEN) != 0)
            SDL_SetWindowFullscreen(window, 0);
        return DISP_CHANGE_SUCCESSFUL;
    }
    if (!StartVideo()) return DISP_CHANGE_FAILED;
    SDL_DisplayMode current{};
    if (SDL_GetDesktopDisplayMode(0, &current) != 0) return DISP_CHANGE_FAILED;
    const int width = (lpDevMode->dmFields & DM_PELSWIDTH) != 0 ? static_cast<int>(lpDevMode->dmPelsWidth) : current.w;
    const int height =
        (lpDevMode->dmFields & DM_PELSHEIGHT) != 0 ? static_cast<int>(lpDevMode->dmPelsHeight) : current.h;
    const bool anyDepth = (lpDevMode->dmFields & DM_BITSPERPEL) == 0;
    const int count = SDL_GetNumDisplayModes(0);
    for (int i = 0; i < count; ++i) {
        SDL_DisplayMode mode{};
        if (SDL_GetDisplayMode(0, i, &mode) != 0) continue;
        if (mode.w != width || mode.h != height) continue;
        if (!anyDepth && !DepthMatches(mode.format, lpDevMode->dmBitsPerPel)) continue;
        Layer.Mode = mode;
        Layer.ModePending = true;
        if (window != nullptr) {
            SDL_SetWindowDisplayMode(window, &Layer.Mode);
            SDL_SetWindowFullscreen(window, SDL_WINDOW_FULLSCREEN);
        }
        return DISP_CHANGE_SUCCESSFUL;
    }
    Layer.ModePending = false;
    return DISP_CHANGE_BADMODE;
}

BOOL PeekMessageA(MSG* lpMsg, HWND /*hWnd*/, UINT /*wMsgFilterMin*/, UINT /*wMsgFilterMax*/, UINT wRemoveMsg) {
    Pump();
    return TakeLayerMessage(lpMsg, wRemoveMsg);
}

// ---------------------------------------------------------------------------
// gdi32 and WGL
// ---------------------------------------------------------------------------
BOOL SetPixelFormat(HDC hdc, int format, const PIXELFORMATDESCRIPTOR* ppfd) {
    if (!ClaimPixelFormat(hdc, format, ppfd)) return FALSE;
    SetGLAttributes((ppfd->dwFlags & PFD_DOUBLEBUFFER) != 0, ppfd->cColorBits, ppfd->cAlphaBits, ppfd->cDepthBits,
                    ppfd->cStencilBits);
    return TRUE;
}

BOOL SwapBuffers(HDC hdc) {
    if (AsWindow(hdc) == nullptr) return FALSE;
    SDL_GL_SwapWindow(AsWindow(hdc));
    return TRUE;
}

HGLRC wglCreateContext(HDC hdc) {
    if (!HasPixelFormat(hdc)) return nullptr;
    SDL_Window* window = AsWindow(hdc);
    KeepRendererMemory();
    SDL_GLContext context = SDL_GL_CreateContext(window);
    if (context == nullptr) return nullptr;
    // A new WGL context is not current until wglMakeCurrent.
    SDL_GL_MakeCurrent(window, nullptr);
    return reinterpret_cast<HGLRC>(context);
}

BOOL wglMakeCurrent(HDC hdc, HGLRC hglrc) {
    if (hglrc == nullptr) return SDL_GL_MakeCurrent(AsWindow(hdc), nullptr) == 0 ? TRUE : FALSE;
    if (AsWindow(hdc) == nullptr) return FALSE;
    return SDL_GL_MakeCurrent(AsWindow(hdc), reinterpret_cast<SDL_GLContext>(hglrc)) == 0 ? TRUE : FALSE;
}

BOOL wglDeleteContext(HGLRC hglrc) {
    if (hglrc == nullptr) return FALSE;
    SDL_GL_DeleteContext(reinterpret_cast<SDL_GLContext>(hglrc));
    return TRUE;
}
