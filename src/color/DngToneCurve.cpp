#include "DngToneCurve.h"

#include <cmath>

namespace orvanta::dng {

double acr3Default(double x) {
    const float y = static_cast<float>(x * 1024.0);
    if (!(y >= 1.0f) || y >= 1024.0f) return x; // also NaN
    const int i = static_cast<int>(y);
    const float f = y - static_cast<float>(i);
    return kAcr3ToneTable[i] * (1.0f - f) + kAcr3ToneTable[i + 1] * f;
}

void SplineSolver::solve() {
    const int n = static_cast<int>(X.size());
    S.assign(n, 0.0);
    if (n < 2) return;
    // First-guess slopes: the parabola through each three points.
    S[0] = (Y[1] - Y[0]) / (X[1] - X[0]);
    for (int i = 1; i < n - 1; ++i) {
        const double h0 = X[i] - X[i - 1], h1 = X[i + 1] - X[i];
        const double d0 = (Y[i] - Y[i - 1]) / h0, d1 = (Y[i + 1] - Y[i]) / h1;
        S[i] = (d0 * h1 + d1 * h0) / (h0 + h1);
    }
    S[n - 1] = 2.0 * ((Y[n - 1] - Y[n - 2]) / (X[n - 1] - X[n - 2])) - S[n - 2];
    S[0] = 2.0 * S[0] - S[1];
    if (n == 2) return;

    // The tridiagonal system of the C2 (natural) spline, unit diagonal.
    std::vector<double> sub(n, 0.0), sup(n, 0.0), rhs(n, 0.0);
    sup[0] = 0.5;
    rhs[0] = 0.75 * (S[0] + S[1]);
    sub[n - 1] = 0.5;
    rhs[n - 1] = 0.75 * (S[n - 2] + S[n - 1]);
    for (int i = 1; i < n - 1; ++i) {
        const double w = (X[i + 1] - X[i - 1]) * 2.0;
        sub[i] = (X[i + 1] - X[i]) / w;
        sup[i] = (X[i] - X[i - 1]) / w;
        rhs[i] = 1.5 * S[i];
    }
    for (int i = 1; i < n; ++i) {
        const double p = 1.0 - sup[i - 1] * sub[i];
        if (i != n - 1) sup[i] /= p;
        rhs[i] = (rhs[i] - rhs[i - 1] * sub[i]) / p;
    }
    for (int i = n - 2; i >= 0; --i)
        rhs[i] = rhs[i] - sup[i] * rhs[i + 1];
    S = rhs;
}

double SplineSolver::evaluate(double x) const {
    const int n = static_cast<int>(X.size());
    if (n == 0) return x;
    if (x <= X[0]) return Y[0];
    if (x >= X[n - 1]) return Y[n - 1];
    int lo = 1, hi = n - 1;
    while (hi > lo) {
        const int mid = (lo + hi) >> 1;
        if (x == X[mid]) return Y[mid];
        if (x > X[mid])
            lo = mid + 1;
        else
            hi = mid;
    }
    const int j = lo;
    const double x0 = X[j - 1], y0 = Y[j - 1], s0 = S[j - 1];
    const double x1 = X[j], y1 = Y[j], s1 = S[j];
    const double A = x1 - x0, B = (x - x0) / A, C = (x1 - x) / A;
    return (y0 * ((2.0 - C) + B) + (s0 * A) * B) * (C * C) + (y1 * ((2.0 - B) + C) - (s1 * A) * C) * (B * B);
}

bool isValidToneCurve(const std::vector<std::pair<double, double>> &points) {
    if (points.size() < 2) return false;
    for (std::size_t j = 0; j < points.size(); ++j) {
        const auto [h, v] = points[j];
        if (!(h >= 0 && h <= 1 && v >= 0 && v <= 1)) return false;
        if (j > 0 && !(h > points[j - 1].first)) return false;
    }
    return true;
}

} // namespace orvanta::dng
