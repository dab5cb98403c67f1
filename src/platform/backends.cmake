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
  add_library(sorvel2_platform_sdl OBJECT sdl_platform.cpp)
  sorvel2_target_defaults(sorvel2_platform_sdl)
  # xcb: message boxes take the keyboard focus where no window manager gives it.
  find_package(X11 REQUIRED COMPONENTS xcb)
  find_package(Threads REQUIRED)
  target_link_libraries(sorvel2_platform_sdl PUBLIC sorvel2_platform_files SDL2::SDL2 OpenGL::GL OpenGL::GLU
                                                    X11::xcb Threads::Threads)
  add_library(sorvel2_platform ALIAS sorvel2_platform_sdl)
else()
  message(FATAL_ERROR "sorvel2: unknown SORVEL2_BACKEND '${SORVEL2_BACKEND}' (win32 or sdl)")
endif()

# The recording backend for tests (not on Windows: there the real API is
# platform.h).
if(NOT WIN32)
  add_library(sorvel2_platform_fake OBJECT fake_platform.cpp)
  sorvel2_target_defaults(sorvel2_platform_fake)
  target_link_libraries(sorvel2_platform_fake PUBLIC sorvel2_platform_files)
endif()
