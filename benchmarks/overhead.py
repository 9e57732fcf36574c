"""Per-call overhead of the binding: a trivial method and a small constructor."""

import timeit

import morvik3
from _machine import describe


def per_call_ns(stmt, setup_globals, number):
    best = min(timeit.repeat(stmt, globals=setup_globals, number=number, repeat=7))
    return best / number * 1e9


def main():
    forest = morvik3.Forest(3, seed=1)
    rows = [
        ("Forest.entries_seen()", per_call_ns("f.entries_seen()", {"f": forest}, 1_000_000)),
        ("Forest.is_ready()", per_call_ns("f.is_ready()", {"f": forest}, 1_000_000)),
        ("Forest(3, seed=1)", per_call_ns("F(3, seed=1)", {"F": morvik3.Forest}, 2_000)),
        ("Forest(3, num_trees=1, capacity=1, seed=1)",
         per_call_ns("F(3, num_trees=1, capacity=1, seed=1)", {"F": morvik3.Forest}, 100_000)),
    ]
    print(describe())
    print(f"{'call':<45}{'ns per call':>14}")
    for name, ns in rows:
        print(f"{name:<45}{ns:>14.0f}")


if __name__ == "__main__":
    main()
