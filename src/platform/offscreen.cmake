# The off-screen OpenGL context (offscreen_gl.h): EGL over Mesa's software
# renderer, for the tool's render command and for tests that draw.
if(WIN32)
  message(STATUS "sorvel2: no off-screen OpenGL context on Windows (it needs EGL)")
  return()
endif()
find_package(OpenGL REQUIRED COMPONENTS EGL)
add_library(sorvel2_offscreen_gl STATIC offscreen_gl.cpp)
sorvel2_target_defaults(sorvel2_offscreen_gl)
target_link_libraries(sorvel2_offscreen_gl PUBLIC OpenGL::GL OpenGL::GLU OpenGL::EGL)
