// The plain field: one sample at a time, one ball at a time.
#include "scene/field.h"
#include "scene/field_terms.h"

void ReferenceEvaluateBallField(TGrid& Grid, float T, TBall* Balls, std::int32_t Count) {
    const TFieldFrame frame = FieldFrameAt(T);
    const float b = frame.Blend;
    const float c = Grid.CellSize;
    const std::int32_t nX = Grid.SizeX, nY = Grid.SizeY, nZ = Grid.SizeZ;
    float* out = Grid.Values.Data();

    for (std::int32_t iz = 0; iz <= nZ; ++iz) {
        for (std::int32_t iy = 0; iy <= nY; ++iy) {
            const TFieldRow row = FieldRowAt(frame, iy, iz, nY, nZ, c);
            float x = FieldRowStart(nX, c);
            float* v = out + static_cast<std::int64_t>(nX + 1) * ((static_cast<std::int64_t>(nY) + 1) * iz + iy);

            for (std::int32_t n = 0; n < Count; ++n) {
                TBall& ball = Balls[n];
                ball.StrengthSqr = BallStrengthSqr(ball);
                ball.DistSqrYZ = BallDistSqrYZ(ball, row.Y, row.Z);
            }

            for (std::int32_t ix = 0; ix <= nX; ++ix) {
                const float G = row.R - x * x;
                float V = G;
                if (Count != 0) {
                    float H = -1.0f;
                    for (std::int32_t n = 0; n < Count; ++n) {
                        const TBall& ball = Balls[n];
                        const float dx = x - ball.X;
                        float term = ball.StrengthSqr / (dx * dx + ball.DistSqrYZ);
                        // Written as a min so that NaN also gives the cap.
                        term = term < kMaxBallTerm ? term : kMaxBallTerm;
                        H = H + term;
                    }
                    V = H + (G - H) * b;
                }
                *v++ = V;
                x = x + c;
            }
        }
    }
}
