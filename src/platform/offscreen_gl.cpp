// Off-screen OpenGL over EGL: no window, no display server, no GPU.
//
// Functions this file must provide: the members of TOffscreenGL.
//
// The display is Mesa's software device (EGL_PLATFORM_DEVICE_EXT with the
// device that has EGL_MESA_device_software), or, where that is missing,
// Mesa's surfaceless platform. Either way the context is desktop OpenGL in
// the compatibility profile, so the 1.1 immediate mode and GLU work, and it
// draws into a pbuffer surface of the requested size.
//
// NOTE: OSMesa is not used: libOSMesa brings its own GL entry points, which
// clash with libGL and libGLU in one process. libGL dispatches through
// libglvnd to whatever EGL made current.
#include "platform/offscreen_gl.h"

#include "platform/gl_heap.h"

#include <EGL/egl.h>
#include <EGL/eglext.h>
#include <GL/gl.h>

#include <cstring>
#include <vector>

namespace {

// The one EGL display of the process. It is initialised on first use and
// never terminated: a second initialisation costs more than a context, and
// Mesa keeps driver state until the process ends either way.
struct TDisplay {
    EGLDisplay Handle = EGL_NO_DISPLAY;
    const char* Error = "";
};

bool HasExtension(const char* List, const char* Name) {
    if (List == nullptr) return false;
    const std::size_t n = std::strlen(Name);
    for (const char* p = List; (p = std::strstr(p, Name)) != nullptr; p += n) {
        if ((p == List || p[-1] == ' ') && (p[n] == ' ' || p[n] == '\0')) return true;
    }
    return false;
}

// The software device of the device platform, or EGL_NO_DISPLAY.
EGLDisplay SoftwareDeviceDisplay(PFNEGLGETPLATFORMDISPLAYEXTPROC GetPlatformDisplay) {
    auto queryDevices = reinterpret_cast<PFNEGLQUERYDEVICESEXTPROC>(eglGetProcAddress("eglQueryDevicesEXT"));
    auto queryDeviceString =
        reinterpret_cast<PFNEGLQUERYDEVICESTRINGEXTPROC>(eglGetProcAddress("eglQueryDeviceStringEXT"));
    if (queryDevices == nullptr || queryDeviceString == nullptr) return EGL_NO_DISPLAY;
    EGLDeviceEXT devices[16];
    EGLint count = 0;
    if (!queryDevices(16, devices, &count)) return EGL_NO_DISPLAY;
    for (EGLint i = 0; i < count; ++i) {
        if (HasExtension(queryDeviceString(devices[i], EGL_EXTENSIONS), "EGL_MESA_device_software")) {
            return GetPlatformDisplay(EGL_PLATFORM_DEVICE_EXT, devices[i], nullptr);
        }
    }
    return EGL_NO_DISPLAY;
}

TDisplay OpenDisplay() {
    const char* clientExtensions = eglQueryString(EGL_NO_DISPLAY, EGL_EXTENSIONS);
    auto getPlatformDisplay =
        reinterpret_cast<PFNEGLGETPLATFORMDISPLAYEXTPROC>(eglGetProcAddress("eglGetPlatformDisplayEXT"));
    if (getPlatformDisplay == nullptr || !HasExtension(clientExtensions, "EGL_EXT_platform_base")) {
        return {EGL_NO_DISPLAY, "EGL has no platform displays (EGL_EXT_platform_base)"};
    }
    EGLint major = 0, minor = 0;
    if (HasExtension(clientExtensions, "EGL_EXT_platform_device")) {
        EGLDisplay display = SoftwareDeviceDisplay(getPlatformDisplay);
        if (display != EGL_NO_DISPLAY && eglInitialize(display, &major, &minor)) return {display, ""};
    }
    if (HasExtension(clientExtensions, "EGL_MESA_platform_surfaceless")) {
        EGLDisplay display = getPlatformDisplay(EGL_PLATFORM_SURFACELESS_MESA, EGL_DEFAULT_DISPLAY, nullptr);
        if (display != EGL_NO_DISPLAY && eglInitialize(display, &major, &minor)) return {display, ""};
    }
    return {EGL_NO_DISPLAY, "no EGL display: neither Mesa's software device nor its surfaceless platform"};
}

const TDisplay& Display() {
    static const TDisplay display = OpenDisplay();
    return display;
}

EGLContext CreateContext(EGLDisplay Display, EGLConfig Config) {
    static const EGLint kCompatibility[] = {EGL_CONTEXT_OPENGL_PROFILE_MASK,
                                            EGL_CONTEXT_OPENGL_COMPATIBILITY_PROFILE_BIT, EGL_NONE};
    EGLContext context = eglCreateContext(Display, Config, EGL_NO_CONTEXT, kCompatibility);
    // Without EGL_KHR_create_context the profile cannot be named; Mesa's
    // default context is the compatibility one.
    if (context == EGL_NO_CONTEXT) context = eglCreateContext(Display, Config, EGL_NO_CONTEXT, nullptr);
    return context;
}

struct TImpl {
    EGLDisplay Display = EGL_NO_DISPLAY;
    EGLSurface Surface = EGL_NO_SURFACE;
    EGLContext Context = EGL_NO_CONTEXT;
    std::vector<std::uint8_t> Row; // one row of RGB, for turning the image upside down
};

} // namespace

TOffscreenGL::~TOffscreenGL() { Close(); }

bool TOffscreenGL::Open(int Width, int Height) {
    Close();
    if (Width < 1 || Height < 1) {
        Error_ = "the surface needs a width and height of at least 1";
        return false;
    }
    KeepRendererMemory();
    const TDisplay& display = Display();
    if (display.Handle == EGL_NO_DISPLAY) {
        Error_ = display.Error;
        return false;
    }
    if (!eglBindAPI(EGL_OPENGL_API)) {
        Error_ = "EGL cannot bind desktop OpenGL";
        return false;
    }

    // Prefer a 24-bit depth buffer, as a desktop pixel format has; accept 16.
    EGLConfig config = nullptr;
    EGLint found = 0;
    for (EGLint depth : {24, 16}) {
        const EGLint attributes[] = {EGL_SURFACE_TYPE, EGL_PBUFFER_BIT, EGL_RENDERABLE_TYPE, EGL_OPENGL_BIT,
                                     EGL_RED_SIZE, 8, EGL_GREEN_SIZE, 8, EGL_BLUE_SIZE, 8, EGL_ALPHA_SIZE, 8,
                                     EGL_DEPTH_SIZE, depth, EGL_SAMPLE_BUFFERS, 0, EGL_NONE};
        if (eglChooseConfig(display.Handle, attributes, &config, 1, &found) && found == 1) break;
    }
    if (found != 1) {
        Error_ = "no EGL configuration with RGBA8, a depth buffer and pbuffers for OpenGL";
        return false;
    }

    const EGLint size[] = {EGL_WIDTH, Width, EGL_HEIGHT, Height, EGL_NONE};
    EGLSurface surface = eglCreatePbufferSurface(display.Handle, config, size);
    if (surface == EGL_NO_SURFACE) {
        Error_ = "EGL cannot create a pbuffer surface of that size";
        return false;
    }
    EGLContext context = CreateContext(display.Handle, config);
    if (context == EGL_NO_CONTEXT) {
        eglDestroySurface(display.Handle, surface);
        Error_ = "EGL cannot create an OpenGL context";
        return false;
    }
    if (!eglMakeCurrent(display.Handle, surface, surface, context)) {
        eglDestroyContext(display.Handle, context);
        eglDestroySurface(display.Handle, surface);
        Error_ = "EGL cannot make the OpenGL context current";
        return false;
    }

    auto* impl = new TImpl{display.Handle, surface, context, {}};
    impl->Row.resize(static_cast<std::size_t>(Width) * 3);
    Impl_ = impl;
    Width_ = Width;
    Height_ = Height;
    Error_ = "";
    return true;
}

void TOffscreenGL::Close() {
    auto* impl = static_cast<TImpl*>(Impl_);
    if (impl == nullptr) return;
    if (eglGetCurrentContext() == impl->Context) {
        eglMakeCurrent(impl->Display, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
    }
    eglDestroyContext(impl->Display, impl->Context);
    eglDestroySurface(impl->Display, impl->Surface);
    delete impl;
    Impl_ = nullptr;
    Width_ = 0;
    Height_ = 0;
}

void TOffscreenGL::ReadPixels(std::uint8_t* Rgb) const {
    auto* impl = static_cast<TImpl*>(Impl_);
    if (impl == nullptr) return;
    GLint alignment = 4;
    glGetIntegerv(GL_PACK_ALIGNMENT, &alignment);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadPixels(0, 0, Width_, Height_, GL_RGB, GL_UNSIGNED_BYTE, Rgb);
    glPixelStorei(GL_PACK_ALIGNMENT, alignment);

    // OpenGL hands back the bottom row first; swap rows end for end.
    const std::size_t stride = static_cast<std::size_t>(Width_) * 3;
    std::uint8_t* row = impl->Row.data();
    for (int top = 0, bottom = Height_ - 1; top < bottom; ++top, --bottom) {
        std::uint8_t* a = Rgb + static_cast<std::size_t>(top) * stride;
        std::uint8_t* b = Rgb + static_cast<std::size_t>(bottom) * stride;
        std::memcpy(row, a, stride);
        std::memcpy(a, b, stride);
        std::memcpy(b, row, stride);
    }
}
