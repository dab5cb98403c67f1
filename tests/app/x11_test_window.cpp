// x11_test_window X Y WIDTH HEIGHT [KIND]: a window made for a screen saver
// to draw into, as XScreenSaver's daemon or its settings' preview makes one:
// a mapped top-level window of the screen's default visual, black, at X,Y.
// KIND makes one a GL saver cannot use: input-only, an InputOnly window
// (nothing can be drawn in it); no-depth-buffer, a window of a TrueColor
// visual that has OpenGL but no depth buffer (exit 3 when there is none).
// Prints its id (decimal) on a line of stdout, then takes commands from
// stdin, one a line, and answers each with "ok" once the server has done it:
//   resize W H   the window's new size
//   destroy      the window goes away (the helper stays until stdin ends)
//   grab         grabs the keyboard and the pointer and lets them go again:
//                "ok" when both could be had, that is when no other client
//                holds them, else "grabbed by another client"
// Ends at the end of stdin. Exit 2 when the display cannot be opened.
#include <GL/glx.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
    const bool inputOnly = argc == 6 && std::strcmp(argv[5], "input-only") == 0;
    const bool noDepth = argc == 6 && std::strcmp(argv[5], "no-depth-buffer") == 0;
    if (argc != 5 && !inputOnly && !noDepth) {
        std::fprintf(stderr, "usage: %s X Y WIDTH HEIGHT [input-only | no-depth-buffer]\n", argv[0]);
        return 2;
    }
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) {
        std::fprintf(stderr, "%s: cannot open the display\n", argv[0]);
        return 2;
    }
    const int screen = DefaultScreen(display);
    XSetWindowAttributes set{};
    set.background_pixel = BlackPixel(display, screen);
    // No window manager here: the window stays where it is put.
    set.override_redirect = True;
    // An InputOnly window takes no background (BadMatch).
    unsigned long mask = inputOnly ? CWOverrideRedirect : CWBackPixel | CWOverrideRedirect;
    int depth = inputOnly ? 0 : CopyFromParent;
    Visual* visual = CopyFromParent;
    if (noDepth) {
        XVisualInfo wanted{};
        wanted.screen = screen;
        wanted.depth = DefaultDepth(display, screen);
        wanted.c_class = TrueColor;
        int count = 0;
        XVisualInfo* found = XGetVisualInfo(display, VisualScreenMask | VisualDepthMask | VisualClassMask, &wanted,
                                            &count);
        for (int i = 0; i < count && visual == CopyFromParent; ++i) {
            int useGl = 0, depthBits = 0;
            glXGetConfig(display, &found[i], GLX_USE_GL, &useGl);
            glXGetConfig(display, &found[i], GLX_DEPTH_SIZE, &depthBits);
            if (useGl && depthBits == 0) {
                visual = found[i].visual;
                depth = found[i].depth;
            }
        }
        if (found != nullptr) XFree(found);
        if (visual == CopyFromParent) {
            std::fprintf(stderr, "%s: no TrueColor visual with OpenGL and no depth buffer\n", argv[0]);
            return 3;
        }
        // A visual other than the root's needs a colormap and a border of its own.
        set.colormap = XCreateColormap(display, RootWindow(display, screen), visual, AllocNone);
        set.border_pixel = 0;
        mask |= CWColormap | CWBorderPixel;
    }
    const Window window = XCreateWindow(
        display, RootWindow(display, screen), std::atoi(argv[1]), std::atoi(argv[2]),
        static_cast<unsigned>(std::atoi(argv[3])), static_cast<unsigned>(std::atoi(argv[4])), 0, depth,
        inputOnly ? InputOnly : InputOutput, visual, mask, &set);
    XStoreName(display, window, "sorvel2 saver test window");
    XMapWindow(display, window);
    XSync(display, False);
    std::printf("%lu\n", window);
    std::fflush(stdout);

    char line[128];
    while (std::fgets(line, sizeof line, stdin) != nullptr) {
        unsigned width = 0, height = 0;
        if (std::sscanf(line, "resize %u %u", &width, &height) == 2) {
            XResizeWindow(display, window, width, height);
        } else if (std::strncmp(line, "destroy", 7) == 0) {
            XDestroyWindow(display, window);
        } else if (std::strncmp(line, "grab", 4) == 0) {
            const int keyboard = XGrabKeyboard(display, window, False, GrabModeAsync, GrabModeAsync, CurrentTime);
            const int pointer = XGrabPointer(display, window, False, ButtonPressMask, GrabModeAsync, GrabModeAsync,
                                             None, None, CurrentTime);
            XUngrabKeyboard(display, CurrentTime);
            XUngrabPointer(display, CurrentTime);
            XSync(display, False);
            if (keyboard != GrabSuccess || pointer != GrabSuccess) {
                std::printf("grabbed by another client\n");
                std::fflush(stdout);
                continue;
            }
        } else {
            std::printf("unknown command\n");
            std::fflush(stdout);
            continue;
        }
        XSync(display, False);
        std::printf("ok\n");
        std::fflush(stdout);
    }
    XCloseDisplay(display);
    return 0;
}
