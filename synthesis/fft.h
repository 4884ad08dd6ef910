// An in-place radix-2 complex FFT, for building band-limited tables from their harmonics at
// construction and for spectral measurements in tests. Never called per frame.
#pragma once

#include <complex>
#include <vector>

// Transforms `data` (its size a power of two) in place: forward computes sum x[n] e^(-2πi kn/N),
// inverse the same with e^(+2πi kn/N), unscaled. Throws std::invalid_argument for a size that is
// not a power of two.
void fftInPlace(std::vector<std::complex<double>>& data, bool inverse);
