// The plain, sequential polygoniser: the definition the fast paths of
// TGrid::PrepareSurface and TGrid::EmitTriangles must match bit for bit
// (same edge points, same vertices in the same order). Kept for the tests
// and the benchmarks; the program itself never calls it.
#pragma once

#include "grid/grid.h"

// Field, classification, then the crossings on the x-, y- and z-edges, one
// lattice edge at a time in the arrays' own loop orders.
void ReferencePrepareSurface(TGrid& Grid);

// Emission: cubes in index order, each through its TCubeEdges wiring; for
// each, the case's row of TriTable three entries at a time until -1, each
// triangle's vertices in reverse order (e2, e1, e0).
template <class Sink>
void ReferenceEmitTriangles(const TGrid& Grid, Sink&& Emit) {
    const TCubeEdges* cube = Grid.Cubes.Data();
    for (std::int32_t k = 0; k < Grid.SizeZ - 1; ++k) {
        for (std::int32_t j = 0; j < Grid.SizeY - 1; ++j) {
            for (std::int32_t i = 0; i < Grid.SizeX - 1; ++i, ++cube) {
                const unsigned c = Grid.CaseIndex(i, j, k);
                if (c == 0 || c == 255) continue;
                const std::int8_t* row = TriTable[c];
                for (int m = 0; row[m] != -1; m += 3) {
                    Emit(Grid.CubeEdge(*cube, row[m + 2]));
                    Emit(Grid.CubeEdge(*cube, row[m + 1]));
                    Emit(Grid.CubeEdge(*cube, row[m]));
                }
            }
        }
    }
}

template <class Sink>
void ReferencePolygonise(TGrid& Grid, Sink&& Emit) {
    ReferencePrepareSurface(Grid);
    ReferenceEmitTriangles(Grid, Emit);
}
