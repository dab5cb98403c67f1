// TVector and the three in-place operations with which the polygoniser
// blends the two gradients of a crossed lattice edge.
#pragma once

// Three 32-bit floats, contiguous and in this order: handed to OpenGL as a
// pointer to three floats.
struct TVector {
    float x;
    float y;
    float z;
};
static_assert(sizeof(TVector) == 12, "TVector is three packed floats");

// Each component on its own, x, y, z in turn, rounded to 32 bits when
// stored. A component of A is read before it is written, so A and B may be
// the same vector.
inline void VectorAdd(TVector& A, const TVector& B) {
    A.x = A.x + B.x;
    A.y = A.y + B.y;
    A.z = A.z + B.z;
}

inline void VectorSub(TVector& A, const TVector& B) {
    A.x = A.x - B.x;
    A.y = A.y - B.y;
    A.z = A.z - B.z;
}

inline void VectorScale(TVector& A, float S) {
    A.x = A.x * S;
    A.y = A.y * S;
    A.z = A.z * S;
}
