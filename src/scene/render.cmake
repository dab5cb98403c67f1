# The scene's OpenGL side: InitScene and RenderScene.
find_package(OpenGL REQUIRED)
add_library(sorvel2_scene_gl STATIC scene.cpp lit_surface.cpp)
sorvel2_target_defaults(sorvel2_scene_gl)
target_link_libraries(sorvel2_scene_gl PUBLIC sorvel2_field sorvel2_grid sorvel2_runtime OpenGL::GL OpenGL::GLU)
if(TARGET sorvel2_texture_gl)
  target_link_libraries(sorvel2_scene_gl PUBLIC sorvel2_texture_gl)
endif()
