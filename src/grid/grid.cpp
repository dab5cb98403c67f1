#include "grid/grid.h"

namespace {

// A sample coordinate: (n - Size/2) * CellSize + Center, with a real half,
// evaluated in double and rounded once to 32 bits.
float SampleCoordinate(std::int64_t n, std::int32_t Size, float CellSize, float Center) {
    return static_cast<float>((static_cast<double>(n) - static_cast<double>(Size) / 2.0) * CellSize + Center);
}

// The running coordinate at the start of a line of edges: the coordinate
// of sample 0, rounded to 32 bits.
float LineStart(std::int32_t Size, float CellSize, float Center) { return SampleCoordinate(0, Size, CellSize, Center); }

// a * b * c, clamped to the 64-bit range: any clamped count is far too large
// for an array, with its sign kept.
std::int64_t Product(std::int64_t a, std::int64_t b, std::int64_t c) {
    const __int128 p = static_cast<__int128>(a) * b * c;
    if (p > INT64_MAX) return INT64_MAX;
    if (p < INT64_MIN) return INT64_MIN;
    return static_cast<std::int64_t>(p);
}

} // namespace

TGrid::TCounts TGrid::CountsFor(std::int32_t SX, std::int32_t SY, std::int32_t SZ) {
    const std::int64_t x = SX, y = SY, z = SZ;
    return {Product(x + 1, y + 1, z + 1), Product(x, y, z),     Product(x - 1, y - 1, z - 1),
            Product(x - 1, y, z),         Product(x, y - 1, z), Product(x, y, z - 1)};
}

TGrid::TGrid(std::int32_t SizeX_, std::int32_t SizeY_, std::int32_t SizeZ_, float CellSize_, float CenterX_,
             float CenterY_, float CenterZ_, TFieldProc FieldProc_)
    : SizeX(SizeX_), SizeY(SizeY_), SizeZ(SizeZ_), CellSize(CellSize_), CenterX(CenterX_), CenterY(CenterY_),
      CenterZ(CenterZ_), FieldProc(FieldProc_) {
    const TCounts n = CountsFor(SizeX, SizeY, SizeZ);
    Values.Create(n.Values);
    Inside.Create(n.Inside);
    Cubes.Create(n.Cubes);
    EdgesX.Create(n.EdgesX);
    EdgesY.Create(n.EdgesY);
    EdgesZ.Create(n.EdgesZ);

    // Fixed coordinates of the edge points; loops in each array's own
    // index order, so the element index simply counts up.
    const std::int64_t sx = SizeX, sy = SizeY, sz = SizeZ;
    TEdgeVertex* e = EdgesX.Data();
    for (std::int64_t k = 0; k < sz; ++k)
        for (std::int64_t j = 0; j < sy; ++j)
            for (std::int64_t i = 0; i < sx - 1; ++i, ++e) {
                e->Position.y = SampleCoordinate(j, SizeY, CellSize, CenterY);
                e->Position.z = SampleCoordinate(k, SizeZ, CellSize, CenterZ);
            }
    e = EdgesY.Data();
    for (std::int64_t i = 0; i < sx; ++i)
        for (std::int64_t k = 0; k < sz; ++k)
            for (std::int64_t j = 0; j < sy - 1; ++j, ++e) {
                e->Position.x = SampleCoordinate(i, SizeX, CellSize, CenterX);
                e->Position.z = SampleCoordinate(k, SizeZ, CellSize, CenterZ);
            }
    e = EdgesZ.Data();
    for (std::int64_t j = 0; j < sy; ++j)
        for (std::int64_t i = 0; i < sx; ++i)
            for (std::int64_t k = 0; k < sz - 1; ++k, ++e) {
                e->Position.x = SampleCoordinate(i, SizeX, CellSize, CenterX);
                e->Position.y = SampleCoordinate(j, SizeY, CellSize, CenterY);
            }

    // Cube wiring, by the slot table of the numbering in grid/tritable.h.
    auto ex = [&](std::int64_t i, std::int64_t j, std::int64_t k) { return std::uint32_t(i + (sx - 1) * (j + sy * k)); };
    auto ey = [&](std::int64_t i, std::int64_t j, std::int64_t k) { return std::uint32_t(j + (sy - 1) * (k + sz * i)); };
    auto ez = [&](std::int64_t i, std::int64_t j, std::int64_t k) { return std::uint32_t(k + (sz - 1) * (i + sx * j)); };
    TCubeEdges* c = Cubes.Data();
    for (std::int64_t k = 0; k < sz - 1; ++k)
        for (std::int64_t j = 0; j < sy - 1; ++j)
            for (std::int64_t i = 0; i < sx - 1; ++i, ++c) {
                c->Edge[0] = ex(i, j, k);
                c->Edge[1] = ey(i + 1, j, k);
                c->Edge[2] = ex(i, j + 1, k);
                c->Edge[3] = ey(i, j, k);
                c->Edge[4] = ex(i, j, k + 1);
                c->Edge[5] = ey(i + 1, j, k + 1);
                c->Edge[6] = ex(i, j + 1, k + 1);
                c->Edge[7] = ey(i, j, k + 1);
                c->Edge[8] = ez(i, j, k);
                c->Edge[9] = ez(i + 1, j, k);
                c->Edge[10] = ez(i + 1, j + 1, k);
                c->Edge[11] = ez(i, j + 1, k);
            }
}

namespace {

// The interpolated surface point on a crossed edge between samples a (first
// endpoint, at running coordinate Start) and b, with the forward-difference
// gradients G0 and G1 at the two endpoints. Writes the moving coordinate
// through Moving and the normal.
inline void Crossing(float a, float b, TVector G0, TVector G1, float Start, float CellSize, float& Moving,
                     TVector& Normal) {
    // Exactly one of a and b is > 0, so a - b is never 0 and t is in 0..1.
    const float t = static_cast<float>(static_cast<double>(a) / (static_cast<double>(a) - static_cast<double>(b)));
    Moving = static_cast<float>(static_cast<double>(t) * CellSize + Start);
    VectorSub(G1, G0);
    VectorScale(G1, t);
    VectorAdd(G1, G0);
    Normal = G1;
}

} // namespace

void TGrid::PrepareSurface() {
    // 1. Field.
    FieldProc(*this);

    const std::int64_t sx = SizeX, sy = SizeY, sz = SizeZ;
    const std::int64_t vx = sx + 1, vxy = (sx + 1) * (sy + 1);
    const float* V = Values.Data();
    auto at = [&](std::int64_t i, std::int64_t j, std::int64_t k) { return i + vx * j + vxy * k; };
    // Forward-difference gradient at sample index n.
    auto gradient = [&](std::int64_t n) {
        return TVector{V[n + 1] - V[n], V[n + vx] - V[n], V[n + vxy] - V[n]};
    };
    const std::uint8_t* In = Inside.Data();
    auto in = [&](std::int64_t i, std::int64_t j, std::int64_t k) { return In[i + sx * j + sx * sy * k]; };

    // 2. Classification: strictly greater than 0.0 is inside.
    std::uint8_t* flag = Inside.Data();
    for (std::int64_t k = 0; k < sz; ++k)
        for (std::int64_t j = 0; j < sy; ++j)
            for (std::int64_t i = 0; i < sx; ++i) *flag++ = V[at(i, j, k)] > 0.0f ? 1 : 0;

    // 3. Crossings on x-edges: loops j, k, i; running x per line.
    for (std::int64_t j = 0; j < sy; ++j)
        for (std::int64_t k = 0; k < sz; ++k) {
            float c = LineStart(SizeX, CellSize, CenterX);
            for (std::int64_t i = 0; i < sx - 1; ++i, c = c + CellSize) {
                if (in(i, j, k) == in(i + 1, j, k)) continue;
                const std::int64_t n = at(i, j, k);
                TEdgeVertex& e = EdgesX[static_cast<std::size_t>(i + (sx - 1) * (j + sy * k))];
                Crossing(V[n], V[n + 1], gradient(n), gradient(n + 1), c, CellSize, e.Position.x, e.Normal);
            }
        }

    // 4. Crossings on y-edges: loops k, i, j; running y per line.
    for (std::int64_t k = 0; k < sz; ++k)
        for (std::int64_t i = 0; i < sx; ++i) {
            float c = LineStart(SizeY, CellSize, CenterY);
            for (std::int64_t j = 0; j < sy - 1; ++j, c = c + CellSize) {
                if (in(i, j, k) == in(i, j + 1, k)) continue;
                const std::int64_t n = at(i, j, k);
                TEdgeVertex& e = EdgesY[static_cast<std::size_t>(j + (sy - 1) * (k + sz * i))];
                Crossing(V[n], V[n + vx], gradient(n), gradient(n + vx), c, CellSize, e.Position.y, e.Normal);
            }
        }

    // 5. Crossings on z-edges: loops i, j, k; running z per line.
    for (std::int64_t i = 0; i < sx; ++i)
        for (std::int64_t j = 0; j < sy; ++j) {
            float c = LineStart(SizeZ, CellSize, CenterZ);
            for (std::int64_t k = 0; k < sz - 1; ++k, c = c + CellSize) {
                if (in(i, j, k) == in(i, j, k + 1)) continue;
                const std::int64_t n = at(i, j, k);
                TEdgeVertex& e = EdgesZ[static_cast<std::size_t>(k + (sz - 1) * (i + sx * j))];
                Crossing(V[n], V[n + vxy], gradient(n), gradient(n + vxy), c, CellSize, e.Position.z, e.Normal);
            }
        }
}
