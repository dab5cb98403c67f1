# The Windows screen saver sorvel2.scr: the demo's frame in a saver shell of
# its own (scr_*.cpp). Its rules (command line, pointer, pacing) need no
# Windows call and are built everywhere, so the tests check them on Linux.

add_library(sorvel2_scr_rules STATIC scr_rules.cpp)
sorvel2_target_defaults(sorvel2_scr_rules)

if(SORVEL2_BACKEND STREQUAL "win32" AND TARGET sorvel2_platform AND TARGET sorvel2_scene_gl
   AND TARGET sorvel2_texture_gl)
  enable_language(RC)
  # The dialog, the name and the demo's textures carried inside the .scr.
  set(SORVEL2_DEMO_DIR ${PROJECT_SOURCE_DIR}/demo)
  set(scr_rc ${CMAKE_CURRENT_BINARY_DIR}/scr_resources.rc)
  configure_file(scr_resources.rc.in ${scr_rc} @ONLY)
  set_source_files_properties(${scr_rc} PROPERTIES OBJECT_DEPENDS
                              "${SORVEL2_DEMO_DIR}/reflect.bmp;${SORVEL2_DEMO_DIR}/background.bmp;${CMAKE_CURRENT_SOURCE_DIR}/scr_resources.h")
  add_executable(sorvel2-scr WIN32 scr_main.cpp scr_window.cpp scr_dialog.cpp scr_settings.cpp ${scr_rc})
  sorvel2_target_defaults(sorvel2-scr)
  # advapi32: the settings in the registry.
  target_link_libraries(sorvel2-scr PRIVATE sorvel2_scr_rules sorvel2_options sorvel2_scene_gl sorvel2_view
                                            sorvel2_platform advapi32)
  # build/sorvel2.scr, beside the demo's exe.
  set_target_properties(sorvel2-scr PROPERTIES OUTPUT_NAME sorvel2 SUFFIX .scr
                                               RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR})
  message(STATUS "sorvel2: the screen saver sorvel2.scr")
endif()
