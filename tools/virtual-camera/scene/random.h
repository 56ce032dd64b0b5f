#pragma once
// A small, fast and repeatable random source for noise and fault decisions: the same seed gives
// the same sequence on every platform, which the standard distributions do not promise.

#include <cmath>
#include <cstdint>

namespace vcam {

class Random {
  public:
    explicit Random(uint64_t seed) : state_(Mix(seed)) {}

    uint64_t Next() {
        state_ += 0x9E3779B97F4A7C15ull;
        return Mix(state_);
    }
    // Uniform in [0, 1).
    double Uniform() { return static_cast<double>(Next() >> 11) * (1.0 / 9007199254740992.0); }
    bool Chance(double probability) { return probability > 0 && Uniform() < probability; }
    // Standard normal, by the Box-Muller transform.
    double Gaussian() {
        const double u1 = 1.0 - Uniform(), u2 = Uniform();
        return std::sqrt(-2.0 * std::log(u1)) * std::cos(6.283185307179586 * u2);
    }

    // splitmix64's finaliser: also used to derive independent seeds from one.
    static uint64_t Mix(uint64_t z) {
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }

  private:
    uint64_t state_;
};

}  // namespace vcam
