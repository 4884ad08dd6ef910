// Iterative Cooley-Tukey: a bit-reversal permutation, then log2(N) passes of butterflies. The
// twiddle factors of each pass come from std::polar, not from a running product, so that the
// error stays near the rounding of one multiplication even for the largest tables.
#include "synthesis/fft.h"

#include <bit>
#include <numbers>
#include <stdexcept>
#include <utility>

void fftInPlace(std::vector<std::complex<double>>& data, bool inverse) {
    const size_t n = data.size();
    if (!std::has_single_bit(n)) {
        throw std::invalid_argument("FFT size must be a power of two");
    }
    for (size_t i = 1, j = 0; i < n; ++i) {
        size_t bit = n >> 1;
        for (; (j & bit) != 0; bit >>= 1) {
            j ^= bit;
        }
        j ^= bit;
        if (i < j) {
            std::swap(data[i], data[j]);
        }
    }
    const double sign = inverse ? 1.0 : -1.0;
    for (size_t length = 2; length <= n; length <<= 1) {
        const size_t half = length / 2;
        for (size_t k = 0; k < half; ++k) {
            const std::complex<double> twiddle =
                std::polar(1.0, sign * 2.0 * std::numbers::pi * static_cast<double>(k) /
                                    static_cast<double>(length));
            for (size_t start = 0; start < n; start += length) {
                const std::complex<double> odd = data[start + k + half] * twiddle;
                data[start + k + half] = data[start + k] - odd;
                data[start + k] += odd;
            }
        }
    }
}
