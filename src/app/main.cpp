// sorvel2: real-time metaballs, full screen. Settings come from options.txt
// and the textures from reflect.bmp and background.bmp, all in the working
// directory. Escape or closing the window ends it.
#include "app/program.h"

int main() { return RunProgram(); }
