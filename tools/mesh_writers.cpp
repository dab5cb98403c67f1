#include "mesh_writers.h"

#include <cstring>
#include <cmath>

void TWeldingSink::operator()(const TEdgeVertex& V) {
    const auto [it, added] = Index_.try_emplace(&V, static_cast<std::uint32_t>(Mesh_.Points.size()));
    if (added) Mesh_.Points.push_back(V);
    Mesh_.Corners.push_back(it->second);
}

TVector OutwardUnitNormal(const TVector& N) {
    const double len = std::sqrt(static_cast<double>(N.x) * N.x + static_cast<double>(N.y) * N.y +
                                 static_cast<double>(N.z) * N.z);
    if (!(len > 0.0)) return {0.0f, 0.0f, 0.0f};
    return {static_cast<float>(-N.x / len), static_cast<float>(-N.y / len), static_cast<float>(-N.z / len)};
}

namespace {

// Appends a 32-bit value as four bytes, least significant first.
void PutLittle32(std::vector<unsigned char>& Out, std::uint32_t V) {
    for (int i = 0; i < 4; ++i) Out.push_back(static_cast<unsigned char>(V >> (8 * i)));
}

// NOTE: memcpy rather than std::bit_cast, which the libc++ of the
// WebAssembly build lacks.
void PutFloat(std::vector<unsigned char>& Out, float F) {
    std::uint32_t bits = 0;
    std::memcpy(&bits, &F, sizeof bits);
    PutLittle32(Out, bits);
}

} // namespace

bool WritePly(std::FILE* Out, const TMesh& Mesh, const std::string& Comment) {
    const std::size_t faces = Mesh.Corners.size() / 3;
    std::fprintf(Out,
                 "ply\nformat binary_little_endian 1.0\ncomment %s\n"
                 "element vertex %zu\nproperty float x\nproperty float y\nproperty float z\n"
                 "property float nx\nproperty float ny\nproperty float nz\n"
                 "element face %zu\nproperty list uchar uint vertex_indices\nend_header\n",
                 Comment.c_str(), Mesh.Points.size(), faces);
    std::vector<unsigned char> buf;
    buf.reserve(Mesh.Points.size() * 24 + faces * 13);
    for (const TEdgeVertex& p : Mesh.Points) {
        const TVector n = OutwardUnitNormal(p.Normal);
        for (float f : {p.Position.x, p.Position.y, p.Position.z, n.x, n.y, n.z}) PutFloat(buf, f);
    }
    for (std::size_t t = 0; t < faces; ++t) {
        buf.push_back(3);
        for (int c = 0; c < 3; ++c) PutLittle32(buf, Mesh.Corners[3 * t + c]);
    }
    std::fwrite(buf.data(), 1, buf.size(), Out);
    return std::ferror(Out) == 0;
}

bool WriteObj(std::FILE* Out, const TMesh& Mesh, const std::string& Comment) {
    std::fprintf(Out, "# %s\n", Comment.c_str());
    for (const TEdgeVertex& p : Mesh.Points)
        std::fprintf(Out, "v %.9g %.9g %.9g\n", p.Position.x, p.Position.y, p.Position.z);
    for (const TEdgeVertex& p : Mesh.Points) {
        const TVector n = OutwardUnitNormal(p.Normal);
        std::fprintf(Out, "vn %.9g %.9g %.9g\n", n.x, n.y, n.z);
    }
    // OBJ counts from 1; a vertex and its normal share their number.
    for (std::size_t t = 0; t + 2 < Mesh.Corners.size(); t += 3) {
        const std::uint32_t a = Mesh.Corners[t] + 1, b = Mesh.Corners[t + 1] + 1, c = Mesh.Corners[t + 2] + 1;
        std::fprintf(Out, "f %u//%u %u//%u %u//%u\n", a, a, b, b, c, c);
    }
    return std::ferror(Out) == 0;
}
