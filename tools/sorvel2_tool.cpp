// sorvel2-tool: looks at what the demo would do with its settings.
//
//   sorvel2-tool info   reads options.txt from the working directory exactly
//                       as the demo does and prints the settings and the grid
//                       they imply.
#include "app/options.h"
#include "grid/grid.h"
#include "runtime/runtime.h"
#include "scene/state.h"

#include <cstdio>
#include <cstring>

namespace {

int Info() {
    ReadOptions();
    std::printf("ScreenWidth %d\nScreenHeight %d\nBallCount %d\nGridSize %d\n", ScreenWidth, ScreenHeight, BallCount,
                GridSize);
    const TGrid::TCounts n = TGrid::CountsFor(GridSize, GridSize, GridSize);
    const long long bytes = n.Values * 4 + n.Inside + n.Cubes * static_cast<long long>(sizeof(TCubeEdges)) +
                            (n.EdgesX + n.EdgesY + n.EdgesZ) * static_cast<long long>(sizeof(TEdgeVertex));
    std::printf("samples %lld\ncubes %lld\ngrid bytes %lld\n", static_cast<long long>(n.Values),
                static_cast<long long>(n.Cubes), bytes);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    InitRuntime();
    if (argc == 2 && std::strcmp(argv[1], "info") == 0) return Info();
    std::fprintf(stderr, "usage: sorvel2-tool info\n");
    return 2;
}
