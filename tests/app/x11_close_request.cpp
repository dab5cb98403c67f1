// x11_close_request PID: asks the top-level window of process PID to close,
// as a window manager's close button does (a WM_DELETE_WINDOW client
// message). Exit 0 when the request was sent, 1 when no such window exists.
#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <cstdio>
#include <cstdlib>

namespace {

// The _NET_WM_PID of a window, or 0.
unsigned long WindowPid(Display* display, Window window, Atom pidAtom) {
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    unsigned long pid = 0;
    if (XGetWindowProperty(display, window, pidAtom, 0, 1, False, XA_CARDINAL, &type, &format, &count, &after, &data) ==
            Success &&
        data != nullptr && count == 1 && format == 32)
        pid = *reinterpret_cast<unsigned long*>(data);
    if (data != nullptr) XFree(data);
    return pid;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s PID\n", argv[0]);
        return 2;
    }
    const unsigned long pid = std::strtoul(argv[1], nullptr, 10);
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) {
        std::fprintf(stderr, "%s: cannot open the display\n", argv[0]);
        return 2;
    }
    const Atom pidAtom = XInternAtom(display, "_NET_WM_PID", False);
    const Atom protocols = XInternAtom(display, "WM_PROTOCOLS", False);
    const Atom deleteWindow = XInternAtom(display, "WM_DELETE_WINDOW", False);
    Window root = 0, parent = 0, *children = nullptr;
    unsigned int count = 0;
    int sent = 0;
    if (XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count) != 0) {
        for (unsigned int i = 0; i < count; ++i) {
            if (WindowPid(display, children[i], pidAtom) != pid) continue;
            XEvent event{};
            event.xclient.type = ClientMessage;
            event.xclient.window = children[i];
            event.xclient.message_type = protocols;
            event.xclient.format = 32;
            event.xclient.data.l[0] = static_cast<long>(deleteWindow);
            event.xclient.data.l[1] = CurrentTime;
            XSendEvent(display, children[i], False, NoEventMask, &event);
            ++sent;
        }
        if (children != nullptr) XFree(children);
    }
    XSync(display, False);
    XCloseDisplay(display);
    return sent > 0 ? 0 : 1;
}
