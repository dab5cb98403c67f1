# sorvel2-saver: the XScreenSaver hack (saver_x11.cpp), the demo's scene in
# a window its host gives it. The textures go inside the binary: a source
# generated from demo/*.bmp at build time (cmake/embed_textures.cmake).

if(TARGET sorvel2_platform_x11_saver AND TARGET sorvel2_scene_gl AND TARGET sorvel2_view)
  set(textures_cpp ${CMAKE_CURRENT_BINARY_DIR}/saver_textures.cpp)
  set(demo_bmps ${PROJECT_SOURCE_DIR}/demo/reflect.bmp ${PROJECT_SOURCE_DIR}/demo/background.bmp)
  add_custom_command(OUTPUT ${textures_cpp}
    COMMAND ${CMAKE_COMMAND} -DREFLECT=${PROJECT_SOURCE_DIR}/demo/reflect.bmp
            -DBACKGROUND=${PROJECT_SOURCE_DIR}/demo/background.bmp -DOUT=${textures_cpp}
            -P ${PROJECT_SOURCE_DIR}/cmake/embed_textures.cmake
    DEPENDS ${demo_bmps} ${PROJECT_SOURCE_DIR}/cmake/embed_textures.cmake
    COMMENT "Carrying demo/reflect.bmp and demo/background.bmp into the saver")
  add_executable(sorvel2-saver saver_x11.cpp ${textures_cpp})
  sorvel2_target_defaults(sorvel2-saver)
  target_link_libraries(sorvel2-saver PRIVATE sorvel2_options sorvel2_scene_gl sorvel2_view sorvel2_platform_x11_saver
                                              sorvel2_platform_console)
  # Beside the demo, at the top of the build folder: build/sorvel2-saver.
  set_target_properties(sorvel2-saver PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR})
  message(STATUS "sorvel2: with the XScreenSaver hack sorvel2-saver")
endif()
