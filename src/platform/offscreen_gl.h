// An OpenGL context with no window and no display, for tools and tests:
// Mesa's software renderer behind an off-screen surface of a fixed size.
#pragma once

#include <cstdint>

class TOffscreenGL {
public:
    TOffscreenGL() = default;
    TOffscreenGL(const TOffscreenGL&) = delete;
    TOffscreenGL& operator=(const TOffscreenGL&) = delete;
    ~TOffscreenGL();

    // Creates a context with an RGBA colour buffer of Width x Height and a
    // depth buffer of at least 16 bits, and makes it current on this thread.
    // Returns false (with a reason in Error()) when none can be made.
    bool Open(int Width, int Height);
    void Close();
    const char* Error() const { return Error_; }

    // Reads the colour buffer back as Width*Height*3 bytes of RGB, top row
    // first (as image files store it).
    void ReadPixels(std::uint8_t* Rgb) const;

    int Width() const { return Width_; }
    int Height() const { return Height_; }

private:
    void* Impl_ = nullptr;
    int Width_ = 0;
    int Height_ = 0;
    const char* Error_ = "";
};
