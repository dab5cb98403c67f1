// Texture creation: one BMP file into a mip-mapped 2-D texture object of the
// current OpenGL context.
#pragma once

#include <cstddef>
#include <cstdint>

// Reads FileName with ReadBitmap and makes a texture of it: a new name
// written into Texture, bound to GL_TEXTURE_2D, GL_MODULATE, linear filters,
// the mipmap chain built by gluBuild2DMipmaps. The texture is left bound.
// A file that cannot be loaded shows "Unable to load " + FileName (caption
// "Loading Textures") after the reader's own box and ends the process with
// exit status 1.
void LoadTexture(const char* FileName, std::uint32_t& Texture);

// LoadTexture over a BMP file's bytes in memory (ReadBitmapBytes); Name
// stands for the file in the message.
void LoadTextureBytes(const char* Name, const std::uint8_t* Bytes, std::size_t Size, std::uint32_t& Texture);
