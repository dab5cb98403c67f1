// x11_test_window X Y WIDTH HEIGHT: a window made for a screen saver to draw
// into, as XScreenSaver's daemon or its settings' preview makes one: a
// mapped top-level window of the screen's default visual, black, at X,Y.
// Prints its id (decimal) on a line of stdout, then takes commands from
// stdin, one a line, and answers each with "ok" once the server has done it:
//   resize W H   the window's new size
//   destroy      the window goes away (the helper stays until stdin ends)
//   grab         grabs the keyboard and the pointer and lets them go again:
//                "ok" when both could be had, that is when no other client
//                holds them, else "grabbed by another client"
// Ends at the end of stdin. Exit 2 when the display cannot be opened.
#include <X11/Xlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s X Y WIDTH HEIGHT\n", argv[0]);
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
    const Window window =
        XCreateWindow(display, RootWindow(display, screen), std::atoi(argv[1]), std::atoi(argv[2]),
                      static_cast<unsigned>(std::atoi(argv[3])), static_cast<unsigned>(std::atoi(argv[4])), 0,
                      CopyFromParent, InputOutput, CopyFromParent, CWBackPixel | CWOverrideRedirect, &set);
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
