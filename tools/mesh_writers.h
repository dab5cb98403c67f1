// The surface of one frame in the file formats sorvel2-tool export writes.
//
// raw  one line per vertex the polygoniser emits, "nx ny nz x y z" with
//      %.9g, in emission order: exactly the stream the demo hands to OpenGL
//      (three lines per triangle, normals as computed: pointing into the
//      surface and not of unit length).
// ply  binary little endian; obj: text. For other programs: every crossed
//      lattice edge is one vertex, shared by all triangles that use it
//      (welded by the edge point's identity, never by comparing positions);
//      normals point out of the surface with unit length (a zero gradient
//      stays 0 0 0); triangles keep the emission order, which runs
//      counter-clockwise seen from outside.
#pragma once

#include "grid/grid.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <unordered_map>
#include <vector>

// A polygoniser sink that prints the raw stream as it comes.
struct TRawSink {
    std::FILE* Out;
    void operator()(const TEdgeVertex& V) const {
        std::fprintf(Out, "%.9g %.9g %.9g %.9g %.9g %.9g\n", V.Normal.x, V.Normal.y, V.Normal.z, V.Position.x,
                     V.Position.y, V.Position.z);
    }
};

// A welded triangle mesh.
struct TMesh {
    std::vector<TEdgeVertex> Points;      // one per edge point, in order of first use
    std::vector<std::uint32_t> Corners;   // three per triangle, indices into Points
};

// A polygoniser sink that welds the emitted vertices into Mesh: the sink
// receives a reference into the grid's edge arrays, so the address names the
// lattice edge (the grid's edge store, whose room is reused within a call,
// turned off: TGrid::Polygonise).
class TWeldingSink {
public:
    explicit TWeldingSink(TMesh& Mesh) : Mesh_(Mesh) {}
    void operator()(const TEdgeVertex& V);

private:
    TMesh& Mesh_;
    std::unordered_map<const TEdgeVertex*, std::uint32_t> Index_;
};

// The normal the ply and obj files carry: the grid's normal turned round and
// scaled to unit length, 0 0 0 for a zero one.
TVector OutwardUnitNormal(const TVector& GridNormal);

// Write the mesh; Comment goes into the file's header. Return false when
// the stream reported an error.
bool WritePly(std::FILE* Out, const TMesh& Mesh, const std::string& Comment);
bool WriteObj(std::FILE* Out, const TMesh& Mesh, const std::string& Comment);
