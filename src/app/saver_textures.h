// The demo's two textures inside the saver's binary, so that it draws from
// any working directory: demo/reflect.bmp and demo/background.bmp, byte for
// byte, in a source file generated at build time (saver_x11.cmake).
#pragma once

#include "scene/scene.h"

extern const TSceneTextureBytes kSaverTextureBytes;
