# Window, context, loop and display backends of the platform seam.
#
# sorvel2_platform_<backend> provides every call of platform.h that
# posix_files.cpp does not (on Windows: links the system libraries that do).
# The program links the one chosen by SORVEL2_BACKEND; the tests of the
# window and loop code always link the fake one. Object libraries, so that
# their calls resolve wherever they sit on the link line (the runtime's
# MessageBoxA comes after them).

find_package(OpenGL REQUIRED)

if(SORVEL2_BACKEND STREQUAL "win32")
  message(STATUS "sorvel2: platform backend win32 (user32, gdi32, opengl32, glu32)")
  add_library(sorvel2_platform_win32 OBJECT win32_platform.cpp)
  sorvel2_target_defaults(sorvel2_platform_win32)
  target_link_libraries(sorvel2_platform_win32 PUBLIC sorvel2_platform_files opengl32 glu32 gdi32 user32)
  add_library(sorvel2_platform ALIAS sorvel2_platform_win32)
elseif(SORVEL2_BACKEND STREQUAL "sdl")
  message(STATUS "sorvel2: platform backend sdl (SDL2, Mesa OpenGL and GLU, xcb)")
  find_package(SDL2 REQUIRED)
  add_library(sorvel2_platform_sdl OBJECT sdl_platform.cpp window_layer.cpp)
  sorvel2_target_defaults(sorvel2_platform_sdl)
  # xcb: message boxes take the keyboard focus where no window manager gives it.
  find_package(X11 REQUIRED COMPONENTS xcb)
  find_package(Threads REQUIRED)
  target_link_libraries(sorvel2_platform_sdl PUBLIC sorvel2_platform_files SDL2::SDL2 OpenGL::GL OpenGL::GLU
                                                    X11::xcb Threads::Threads)
  add_library(sorvel2_platform ALIAS sorvel2_platform_sdl)
elseif(SORVEL2_BACKEND STREQUAL "web")
  # Emscripten only: GLFW and the legacy GL emulation are its own libraries
  # (no download); web_gl.cpp and web_glu.cpp fill the emulation's gaps.
  message(STATUS "sorvel2: platform backend web (Emscripten's GLFW and GL emulation over WebGL 1)")
  add_library(sorvel2_platform_web OBJECT web_platform.cpp window_layer.cpp web_gl.cpp web_glu.cpp)
  sorvel2_target_defaults(sorvel2_platform_web)
  target_link_libraries(sorvel2_platform_web PUBLIC sorvel2_platform_files)
  # The run-time error report's code location needs the offset converter;
  # the program allocates only at set-up, so the small allocator will do;
  # grids larger than the shipped one need the memory to grow; the exit
  # code reaches the page only when the runtime exits. A factory
  # (Sorvel2(module)) rather than a global Module, so that the page can
  # start the program again as a new instance with its own runtime.
  target_link_options(sorvel2_platform_web PUBLIC -sUSE_GLFW=3 -sLEGACY_GL_EMULATION=1 -sUSE_OFFSET_CONVERTER=1
                      -sMALLOC=emmalloc
                      -sALLOW_MEMORY_GROWTH=1 -sEXIT_RUNTIME=1 -sENVIRONMENT=web -sMODULARIZE=1
                      -sEXPORT_NAME=Sorvel2 "-sEXPORTED_RUNTIME_METHODS=['FS']")
  add_library(sorvel2_platform ALIAS sorvel2_platform_web)
else()
  message(FATAL_ERROR "sorvel2: unknown SORVEL2_BACKEND '${SORVEL2_BACKEND}' (win32, sdl or web)")
endif()

# The recording backend for tests (not on Windows: there the real API is
# platform.h).
if(NOT WIN32)
  add_library(sorvel2_platform_fake OBJECT fake_platform.cpp)
  sorvel2_target_defaults(sorvel2_platform_fake)
  target_link_libraries(sorvel2_platform_fake PUBLIC sorvel2_platform_files)
endif()
