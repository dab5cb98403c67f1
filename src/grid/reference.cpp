#include "grid/reference.h"

#include "grid/surface_math.h"

void ReferencePrepareSurface(TGrid& Grid) {
    // 1. Field.
    Grid.FieldProc(Grid);

    const std::int32_t SizeX = Grid.SizeX, SizeY = Grid.SizeY, SizeZ = Grid.SizeZ;
    const float CellSize = Grid.CellSize;
    const std::int64_t sx = SizeX, sy = SizeY, sz = SizeZ;
    const std::int64_t vx = sx + 1, vxy = (sx + 1) * (sy + 1);
    const float* V = Grid.Values.Data();
    auto at = [&](std::int64_t i, std::int64_t j, std::int64_t k) { return i + vx * j + vxy * k; };
    // Forward-difference gradient at sample index n.
    auto gradient = [&](std::int64_t n) {
        return TVector{V[n + 1] - V[n], V[n + vx] - V[n], V[n + vxy] - V[n]};
    };
    const std::uint8_t* In = Grid.Inside.Data();
    auto in = [&](std::int64_t i, std::int64_t j, std::int64_t k) { return In[i + sx * j + sx * sy * k]; };

    // 2. Classification: strictly greater than 0.0 is inside.
    Grid.InsideWritten();
    std::uint8_t* flag = Grid.Inside.Data();
    for (std::int64_t k = 0; k < sz; ++k)
        for (std::int64_t j = 0; j < sy; ++j)
            for (std::int64_t i = 0; i < sx; ++i) *flag++ = V[at(i, j, k)] > 0.0f ? 1 : 0;

    // 3. Crossings on x-edges: loops j, k, i; running x per line.
    for (std::int64_t j = 0; j < sy; ++j)
        for (std::int64_t k = 0; k < sz; ++k) {
            float c = LineStart(SizeX, CellSize, Grid.CenterX);
            for (std::int64_t i = 0; i < sx - 1; ++i, c = c + CellSize) {
                if (in(i, j, k) == in(i + 1, j, k)) continue;
                const std::int64_t n = at(i, j, k);
                TEdgeVertex& e = Grid.EdgesX[static_cast<std::size_t>(i + (sx - 1) * (j + sy * k))];
                Crossing(V[n], V[n + 1], gradient(n), gradient(n + 1), c, CellSize, e.Position.x, e.Normal);
            }
        }

    // 4. Crossings on y-edges: loops k, i, j; running y per line.
    for (std::int64_t k = 0; k < sz; ++k)
        for (std::int64_t i = 0; i < sx; ++i) {
            float c = LineStart(SizeY, CellSize, Grid.CenterY);
            for (std::int64_t j = 0; j < sy - 1; ++j, c = c + CellSize) {
                if (in(i, j, k) == in(i, j + 1, k)) continue;
                const std::int64_t n = at(i, j, k);
                TEdgeVertex& e = Grid.EdgesY[static_cast<std::size_t>(j + (sy - 1) * (k + sz * i))];
                Crossing(V[n], V[n + vx], gradient(n), gradient(n + vx), c, CellSize, e.Position.y, e.Normal);
            }
        }

    // 5. Crossings on z-edges: loops i, j, k; running z per line.
    for (std::int64_t i = 0; i < sx; ++i)
        for (std::int64_t j = 0; j < sy; ++j) {
            float c = LineStart(SizeZ, CellSize, Grid.CenterZ);
            for (std::int64_t k = 0; k < sz - 1; ++k, c = c + CellSize) {
                if (in(i, j, k) == in(i, j, k + 1)) continue;
                const std::int64_t n = at(i, j, k);
                TEdgeVertex& e = Grid.EdgesZ[static_cast<std::size_t>(k + (sz - 1) * (i + sx * j))];
                Crossing(V[n], V[n + vxy], gradient(n), gradient(n + vxy), c, CellSize, e.Position.z, e.Normal);
            }
        }
}
