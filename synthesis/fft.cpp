// Iterative Cooley-Tukey: a bit-reversal permutation, then log2(N) passes of butterflies over
// contiguous halves. The twiddle factors come from std::polar, once per transform, not from a
// running product, so that the error stays near the rounding of one multiplication even for the
// largest tables.
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
    // Every twiddle factor of the last pass, once; pass `length` takes every (n / length)-th.
    const double sign = inverse ? 1.0 : -1.0;
    std::vector<std::complex<double>> twiddles(n / 2);
    for (size_t k = 0; k < twiddles.size(); ++k) {
        twiddles[k] = std::polar(
            1.0, sign * 2.0 * std::numbers::pi * static_cast<double>(k) / static_cast<double>(n));
    }
    for (size_t length = 2; length <= n; length <<= 1) {
        const size_t half = length / 2;
        const size_t stride = n / length;
        for (size_t start = 0; start < n; start += length) {
            std::complex<double>* low = data.data() + start;
            std::complex<double>* high = low + half;
            for (size_t k = 0; k < half; ++k) {
                // By hand: the library's product checks for infinities at every call.
                const std::complex<double> w = twiddles[k * stride];
                const std::complex<double> odd(
                    high[k].real() * w.real() - high[k].imag() * w.imag(),
                    high[k].real() * w.imag() + high[k].imag() * w.real());
                high[k] = low[k] - odd;
                low[k] += odd;
            }
        }
    }
}
