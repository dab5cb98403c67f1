// TBall: one metaball, six 32-bit floats in this order.
#pragma once

struct TBall {
    float Strength;     // a lone ball's surface is the sphere of this radius
    float StrengthSqr;  // scratch: Strength squared, set by the field per row
    float X;            // centre, in grid (model) coordinates
    float Y;
    float Z;
    float DistSqrYZ;    // scratch: (y - Y)^2 + (z - Z)^2 for the row being evaluated
};
static_assert(sizeof(TBall) == 24, "six packed floats");
