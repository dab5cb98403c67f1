# OpenGL for Emscripten builds: the compiler links its own GL emulation (and
# GLFW) when the program asks for it at link time, so the targets the rooms
# link against are empty. Found first because the web build puts this
# folder at the front of CMAKE_MODULE_PATH.
set(OpenGL_FOUND TRUE)
set(OPENGL_FOUND TRUE)
set(OPENGL_GLU_FOUND TRUE)
foreach(target GL GLU)
  if(NOT TARGET OpenGL::${target})
    add_library(OpenGL::${target} INTERFACE IMPORTED)
  endif()
endforeach()
