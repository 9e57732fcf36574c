"""Plain-Python transcriptions of xoshiro256++, SplitMix64 and the draw
primitives: an independent oracle for the native generator."""

import collections
import math
import struct

MASK64 = (1 << 64) - 1
MAX64 = MASK64


# ---------------------------------------------------------------------------
# Oracle


def f64_from_bits(bits):
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


def f32_from_bits(bits):
    return struct.unpack("<f", struct.pack("<I", bits))[0]


def f32(x):
    """Round a double to the nearest float32; applied after every float32 operation."""
    try:
        return struct.unpack("<f", struct.pack("<f", x))[0]
    except OverflowError:  # rounds past the largest float
        return math.copysign(math.inf, x)


def rotl(x, k):
    return ((x << k) | (x >> (64 - k))) & MASK64


def splitmix64_mix(z):
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK64
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK64
    return z ^ (z >> 31)


def ziggurat_tables():
    """Marsaglia and Tsang's 256-layer tables for f(x) = exp(-x^2/2), evaluated
    in doubles and taken at their published 18 decimal places."""
    r, v = 3.6541528853610088, 0.00492867323399

    def f(x):
        return math.exp(-x * x / 2.0)

    xs = [v / f(r), r]
    while len(xs) < 256:
        xs.append(math.sqrt(-2.0 * math.log(v / xs[-1] + f(xs[-1]))))
    xs.append(0.0)
    return r, [float("%.18f" % x) for x in xs], [float("%.18f" % f(x)) for x in xs]


ZIG_R, ZIG_X, ZIG_F = ziggurat_tables()


class Xoshiro:
    def __init__(self, s):
        self.s = list(s)
        self.events = collections.Counter()  # which rare branches the draws took

    @classmethod
    def seed_from_u64(cls, x):
        golden = 0x9E3779B97F4A7C15
        return cls(splitmix64_mix((x + k * golden) & MASK64) for k in range(1, 5))

    @classmethod
    def seed_from_bytes(cls, data):
        words = struct.unpack("<4Q", data)
        return cls.seed_from_u64(0) if not any(words) else cls(words)

    def next_u64(self):
        s = self.s
        result = (rotl((s[0] + s[3]) & MASK64, 23) + s[0]) & MASK64
        t = (s[1] << 17) & MASK64
        s[2] ^= s[0]
        s[3] ^= s[1]
        s[1] ^= s[2]
        s[0] ^= s[3]
        s[2] ^= t
        s[3] = rotl(s[3], 45)
        return result

    def unit_f64(self):
        return (self.next_u64() >> 11) * 2.0**-53

    def range_f64(self, low, high):
        value1_2 = f64_from_bits((self.next_u64() >> 12) | 0x3FF0000000000000)
        return (value1_2 - 1.0) * (high - low) + low

    def range_f32(self, low, high):
        value1_2 = f32_from_bits((self.next_u64() >> 41) | 0x3F800000)
        u = f32(value1_2 - 1.0)
        width = f32(high - low)
        if math.isinf(width):  # scaled in double precision, narrowed once
            return f32(low + u * (high - low))
        return f32(f32(u * width) + low)

    def range_index(self, n):
        bits = 32 if n < 1 << 32 else 64
        word = (1 << bits) - 1
        draw = (lambda: self.next_u64() >> 32) if bits == 32 else self.next_u64
        product = draw() * n
        result, lo = product >> bits, product & word
        if lo > (1 << bits) - n:
            self.events["second draw"] += 1
            if lo + ((draw() * n) >> bits) > word:
                self.events["carry"] += 1
                result += 1
        return result

    def mod_index(self, n):
        return self.next_u64() % n

    def open01(self):
        return f64_from_bits((self.next_u64() >> 12) | 0x3FF0000000000000) - (1.0 - 2.0**-53)

    def standard_normal(self):
        while True:
            bits = self.next_u64()
            i = bits & 0xFF
            u = 2.0 * f64_from_bits((bits >> 12) | 0x3FF0000000000000) - 3.0
            x = u * ZIG_X[i]
            if abs(x) < ZIG_X[i + 1]:
                return x
            if i == 0:
                return self.normal_tail(u)
            if ZIG_F[i + 1] + (ZIG_F[i] - ZIG_F[i + 1]) * self.unit_f64() < math.exp(-x * x / 2.0):
                self.events["wedge accepted"] += 1
                return x
            self.events["wedge rejected"] += 1

    def normal_tail(self, u):
        self.events["tail below" if u < 0.0 else "tail above"] += 1
        while True:
            a = math.log(self.open01()) / ZIG_R
            b = math.log(self.open01())
            if -2.0 * b >= a * a:
                return a - ZIG_R if u < 0.0 else ZIG_R - a
            self.events["tail retried"] += 1
