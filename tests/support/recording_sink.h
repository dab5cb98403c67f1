// A polygoniser sink that keeps every emitted vertex, in emission order.
#pragma once

#include "grid/grid.h"

#include <vector>

struct RecordingSink {
    std::vector<TEdgeVertex> Vertices;
    void operator()(const TEdgeVertex& v) { Vertices.push_back(v); }
};
