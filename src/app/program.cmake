# The demo program sorvel2: the viewport code, the shell library and a tiny main.

find_package(OpenGL REQUIRED)

# ResizeView alone: the command-line tool renders without a window and reuses it.
add_library(sorvel2_view STATIC view.cpp)
sorvel2_target_defaults(sorvel2_view)
target_link_libraries(sorvel2_view PUBLIC OpenGL::GL OpenGL::GLU)

# Window, context, window procedure, frame loop and program body. It calls
# the platform seam, ResizeView, InitScene and RenderScene but links none of
# them: the program links the real ones (below); the tests link the fake
# backend and recorders in their place.
add_library(sorvel2_shell STATIC program_state.cpp window.cpp program.cpp)
sorvel2_target_defaults(sorvel2_shell)
target_link_libraries(sorvel2_shell PUBLIC sorvel2_options sorvel2_field sorvel2_runtime)

if(TARGET sorvel2_platform AND TARGET sorvel2_scene_gl AND TARGET sorvel2_texture_gl)
  # In a browser the page drives the frames (main_web.cpp).
  if(SORVEL2_BACKEND STREQUAL "web")
    add_executable(sorvel2 main_web.cpp)
  else()
    add_executable(sorvel2 main.cpp)
  endif()
  sorvel2_target_defaults(sorvel2)
  target_link_libraries(sorvel2 PRIVATE sorvel2_shell sorvel2_scene_gl sorvel2_view sorvel2_platform)
  # The demo binary sits at the top of the build folder: build/sorvel2.
  set_target_properties(sorvel2 PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR})
  # A page is downloaded whole, and Emscripten leaves the JavaScript of its
  # runtime and GL emulation with their long local names: minified, it is a
  # third smaller. The target keeps the browsers Emscripten builds for: no
  # newer syntax than the input's.
  if(SORVEL2_BACKEND STREQUAL "web")
    find_program(SORVEL2_ESBUILD esbuild)
    if(NOT SORVEL2_ESBUILD)
      message(FATAL_ERROR "sorvel2: the page's build needs esbuild (bash scripts/setup.sh web installs it)")
    endif()
    add_custom_command(TARGET sorvel2 POST_BUILD
                       COMMAND ${SORVEL2_ESBUILD} --minify --log-level=warning --target=chrome75,firefox68,safari14
                               --allow-overwrite ${PROJECT_BINARY_DIR}/sorvel2.js --outfile=${PROJECT_BINARY_DIR}/sorvel2.js
                       VERBATIM)
  endif()
  # On Windows a window program: no console of its own.
  if(WIN32)
    set_target_properties(sorvel2 PROPERTIES WIN32_EXECUTABLE ON)
  endif()
endif()

include(scr.cmake)
