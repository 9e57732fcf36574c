"""The `morvik3` command: score a CSV or JSON-lines stream with a detector
(`morvik3 score`), or run the bundled demonstration (`morvik3 demo`)."""

import argparse
import os
import sys

import morvik3
from morvik3._registry import KINDS, SETTINGS
from morvik3.cli.inputs import InputError

SCORE_EPILOG = """\
input:
  A CSV file with a header line (or JSON lines for --detector featuresketch),
  "-" for standard input; a name ending in .gz is read through gzip. The
  numeric columns are those whose first data row holds a number (or those
  named by --columns); a column named timestamp, time, datetime, date or ts
  (or named by --time-column) is carried through as the rows' time.

mstream:
  --detector mstream reads CSV records: the --numeric columns (default: the
  other columns holding numbers), the --categorical columns (any text, hashed
  to integers as morvik3.river.MStream does) and the timestamp column, which
  is required and read as integer ticks: an integer as it is, an ISO 8601
  date and time as seconds since 1970 (UTC unless it names an offset). Ticks
  must be > 0 and never decrease.

defaults for a univariate series:
  --detector forest with internal shingling: each point is the last 8 values
  (--shingle 8), 50 trees of 256 points each, decay 0.1 / capacity, seed 0.
  With several columns each row is one point (--shingle 1).

output:
  The input's columns followed by "score" (higher is more anomalous),
  "calibrated" (the score's rank among the last --calibration-window scores
  before it, in [0, 1]: the fraction below it plus half the fraction equal
  to it) and, with --threshold or --top-percent, "anomaly" (0 or 1; never 1
  within the first --calibration-warmup scores). For JSON lines, the line
  number and time of each event replace its columns. Rows skipped with
  --skip-bad-rows are left out. A summary goes to standard error (not with
  --quiet).

state:
  --state PATH keeps the detector and the calibrator in one JSON file, so a
  later run continues both where this one stopped.

exit status: 0 on success, 2 on bad input or options, 130 when interrupted.
"""


def _columns(text):
    names = [name.strip() for name in text.split(",")]
    if not all(names):
        raise argparse.ArgumentTypeError(f"empty column name in {text!r}")
    return names


def _columns_or_none(text):
    return [] if not text.strip() else _columns(text)


def _positive(kind):
    def parse(text):
        value = kind(text)
        if not value > 0:
            raise argparse.ArgumentTypeError(f"must be > 0, got {text}")
        return value

    return parse


def _at_least_zero(text):
    value = int(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be >= 0, got {text}")
    return value


def _fraction(text):
    value = float(text)
    if not 0 < value <= 1:
        raise argparse.ArgumentTypeError(f"must be in (0, 1], got {text}")
    return value


def _percent(text):
    value = float(text)
    if not 0 < value <= 100:
        raise argparse.ArgumentTypeError(f"must be in (0, 100], got {text}")
    return value


def parser():
    top = argparse.ArgumentParser(prog="morvik3", description=__doc__.splitlines()[0])
    top.add_argument("--version", action="version", version=f"morvik3 {morvik3.__version__}")
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND")

    score = commands.add_parser(
        "score", help="score the rows of a CSV or JSON-lines file", epilog=SCORE_EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Stream rows through a detector and write them with their anomaly scores.",
    )
    score.add_argument("input", metavar="INPUT", help='CSV or JSON-lines file, "-" for standard input')
    score.add_argument("-o", "--output", metavar="OUTPUT", help="output CSV (default: standard output; .gz: gzip)")
    score.add_argument("--detector", choices=sorted(KINDS), default="forest", help="detector (default: forest)")
    score.add_argument("--columns", type=_columns, metavar="A,B,C", help="numeric columns to score")
    score.add_argument("--time-column", metavar="NAME", help="column (or JSON key) holding the rows' time")
    score.add_argument("--numeric", type=_columns_or_none, metavar="A,B",
                       help="mstream: numeric columns (default: the others holding numbers; '' for none)")
    score.add_argument("--categorical", type=_columns, metavar="A,B", help="mstream: categorical columns")
    flags = score.add_mutually_exclusive_group()
    flags.add_argument("--threshold", type=_fraction, metavar="T", help="flag rows whose calibrated score is >= T")
    flags.add_argument("--top-percent", type=_percent, metavar="P",
                       help="flag rows whose calibrated score is >= 1 - P/100")
    score.add_argument("--calibration-window", type=_positive(int), metavar="N",
                       help="scores each score is ranked among (default: 10000)")
    score.add_argument("--calibration-warmup", type=_at_least_zero, metavar="N",
                       help="scores seen before any row is flagged (default: 100)")
    score.add_argument("--state", metavar="PATH", help="load the detector and calibrator from PATH when it exists; save them there")
    score.add_argument("--checkpoint", type=_positive(int), metavar="N", help="also save the state every N rows")
    score.add_argument("--plot", metavar="PNG", help="plot the series and its scores (needs matplotlib)")
    score.add_argument("--skip-bad-rows", action="store_true", help="skip bad rows instead of stopping")
    score.add_argument("-q", "--quiet", action="store_true", help="no progress bar, no summary")
    score.add_argument("--seed", type=int, default=0, help="random seed of a new detector (default: 0)")
    settings = score.add_argument_group("detector settings")
    for s in SETTINGS:
        settings.add_argument(s.option, dest=s.key, type=_positive(s.type) if s.type is int else s.type,
                              metavar=s.type.__name__.upper(), help=s.help)

    demo = commands.add_parser(
        "demo", help="score the bundled labelled NAB series and show where the top scores fall",
        description="Score a few labelled series of the Numenta Anomaly Benchmark, shipped with the package, "
        "and show where the highest scores fall against the labelled anomaly windows.",
    )
    demo.add_argument("--plots", metavar="DIR", default="demo-plots", help="folder for the plots (default: demo-plots)")
    demo.add_argument("--top", type=_positive(int), default=5, metavar="K", help="top-scored rows shown per series")
    return top


def main(argv=None):
    args = parser().parse_args(argv)
    if getattr(args, "checkpoint", None) and not args.state:
        parser().error("--checkpoint needs --state")
    try:
        if args.command == "score":
            from morvik3.cli import score

            return score.run(args)
        from morvik3.cli import demo

        return demo.run(args)
    except InputError as e:
        print(f"morvik3: error: {e}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("morvik3: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader of standard output went away (`| head`): stop quietly.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
