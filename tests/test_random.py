"""The native generator against a plain-Python transcription of xoshiro256++,
SplitMix64 and the draw primitives, reached through the probe executable."""

import random

import pytest

from rng_oracle import MAX64, ZIG_F, ZIG_X, Xoshiro, f32


SEEDS = [0, 1, MAX64] + [random.Random(20240601).getrandbits(64) for _ in range(50)]

F32_RANGES = [
    (0.0, 1.0), (-3.5, 2.25), (f32(1e-3), f32(1e3)), (f32(-1e30), f32(1e30)), (f32(0.1), f32(0.2)),
    (f32(-3e38), f32(3e38)), (f32(-2e38), f32(1.5e38)),  # widths past the float range
]
F64_RANGES = [(0.0, 1.0), (-3.5, 2.25), (1e-300, 3e-300), (-1e10, 1e10), (0.1, 0.1 + 2**-40)]
INDEX_BOUNDS = [
    1, 2, 3, 10, 1000, 2**31 + 1,
    2**32 - 2, 2**32 - 1,            # 32-bit branch at its threshold
    2**32, 2**32 + 1, 2**40 + 7,     # 64-bit branch just above the switch
    2**63, 2**63 + 1, 3 * 2**62 + 5, MAX64 - 1, MAX64,
]
MOD_BOUNDS = [1, 2, 7, 10, 2**32, 2**32 + 3, 2**63, 2**63 + 11, MAX64]

# (probe kind, probe arguments, oracle draw, how to read an answer token)
DRAW_CASES = (
    [("next_u64", (), lambda g: g.next_u64(), int), ("unit_f64", (), lambda g: g.unit_f64(), float)]
    + [("range_f64", r, lambda g, r=r: g.range_f64(*r), float) for r in F64_RANGES]
    + [("range_f32", r, lambda g, r=r: g.range_f32(*r), float) for r in F32_RANGES]
    + [("range_index", (n,), lambda g, n=n: g.range_index(n), int) for n in INDEX_BOUNDS]
    + [("mod_index", (n,), lambda g, n=n: g.mod_index(n), int) for n in MOD_BOUNDS]
    + [("standard_normal", (), lambda g: g.standard_normal(), float)]
)


def case_id(case):
    kind, args = case[0], case[1]
    return "-".join([kind, *map(repr, args)])


def oracle_draws(rng, draw, n):
    return [draw(rng) for _ in range(n)]


# ---------------------------------------------------------------------------
# Tests


def test_seed_zero_known_words(probe):
    s = [int(w) for w in probe.ask("rng_seed_u64", 0)]
    assert s[0] == 0xE220A8397B1DCDAF and s[3] == 0xF88BB8A8724C81EC
    assert Xoshiro.seed_from_u64(0).s == s


_byte_source = random.Random(77)
SEED_BYTES = [bytes(32), bytes(31) + b"\x01", b"\x01" + bytes(31), b"\xff" * 32, bytes(range(32))] + [
    _byte_source.randbytes(32) for _ in range(20)
]


@pytest.mark.parametrize("data", SEED_BYTES, ids=lambda b: b.hex()[:16])
def test_seed_from_bytes(probe, data):
    expected = Xoshiro.seed_from_bytes(data).s
    assert [int(w) for w in probe.ask("rng_seed_bytes", data.hex())] == expected


def test_seed_from_bytes_is_little_endian():
    assert Xoshiro.seed_from_bytes(bytes(range(32))).s[0] == 0x0706050403020100


@pytest.mark.parametrize("case", DRAW_CASES, ids=case_id)
def test_draws_from_seed(probe, case):
    kind, args, draw, read = case
    count = 200 if kind == "standard_normal" else 40
    for seed in SEEDS:
        answer = probe.ask("rng_draw", seed, kind, count, *map(repr, args))
        expected = oracle_draws(Xoshiro.seed_from_u64(seed), draw, count)
        assert [read(t) for t in answer] == expected, f"seed {seed}"


STATES = [
    (0, 0, 0, 0),  # accepted as stored; the stream stays at zero
    (MAX64, MAX64, MAX64, MAX64),
    (1, 0, 0, 0),
    (0x0123456789ABCDEF, 0xFEDCBA9876543210, 2**63, 12345),
]


@pytest.mark.parametrize("state", STATES, ids=str)
@pytest.mark.parametrize("case", [c for c in DRAW_CASES if c[0] != "standard_normal"], ids=case_id)
def test_draws_from_state(probe, state, case):
    kind, args, draw, read = case
    answer = probe.ask("rng_state", *state, kind, 40, *map(repr, args))
    assert [read(t) for t in answer] == oracle_draws(Xoshiro(state), draw, 40)


@pytest.mark.parametrize("n", [2**32 - 1, 2**32 - 3, MAX64, MAX64 - 2**40])
def test_range_index_refines_near_threshold(probe, n):
    rng = Xoshiro.seed_from_u64(99)
    expected = oracle_draws(rng, lambda g: g.range_index(n), 500)
    # Near 2^32 or 2^64 almost every draw is refined, and about half carry.
    assert rng.events["second draw"] > 400 and rng.events["carry"] > 100
    assert [int(t) for t in probe.ask("rng_draw", 99, "range_index", 500, n)] == expected


def test_standard_normal_rare_branches(probe):
    count = 200_000
    rng = Xoshiro.seed_from_u64(4242)
    expected = oracle_draws(rng, lambda g: g.standard_normal(), count)
    for event in ("tail above", "tail below", "tail retried", "wedge accepted", "wedge rejected"):
        assert rng.events[event] > 0, event
    assert [float(t) for t in probe.ask("rng_draw", 4242, "standard_normal", count)] == expected


def test_oracle_tables_match_published_values():
    assert "%.18f" % ZIG_X[0] == "3.910757959537090045"
    assert ZIG_X[1] == 3.654152885361009 and ZIG_X[256] == 0.0 and ZIG_F[256] == 1.0
