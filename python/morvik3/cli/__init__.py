"""The `morvik3` command: score a CSV or JSON-lines stream with a detector
(`morvik3 score`), measure how well it finds labelled anomalies (`morvik3
evaluate`), or run the bundled demonstration (`morvik3 demo`)."""

import argparse
import os
import sys

import morvik3
from morvik3._registry import DEFAULTS, KINDS, SETTINGS
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

defaults:
  --detector forest: each row is one point (--shingle 1), 50 trees of 1024
  points each for one column and of 256 points for several, decay
  0.1 / capacity, seed 0. --detector onlineiforest: its scores are ranked
  among those of the last --window-size rows, each rescaled to the depth its
  trees could reach while the window was filling, and the scores of the
  rows before its trees can split are ranked without being kept. These
  defaults were chosen by measuring with morvik3 evaluate; --defaults 0.5.0
  restores those of morvik3 0.5.0 (for one column 8 rows per point and 256
  points per tree; every detector's scores ranked among the last 10000 as
  they are).

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
  later run continues both where this one stopped: on new input, or with
  --resume on the same INPUT after a crash. The file also records how much
  of INPUT was read and how long OUTPUT was at each --checkpoint N; --resume
  checks that INPUT is the same file (path, size and first 64 KiB), passes
  over the rows read by then without scoring them, cuts OUTPUT back to its
  length then and writes on, so that the output and the state end as one
  uninterrupted run would leave them. INPUT must be a file and -o OUTPUT a
  plain (not .gz) file; without a state file yet, --resume starts afresh.

exit status: 0 on success, 2 on bad input or options, 130 when interrupted.
"""


EVALUATE_EPILOG = """\
labels:
  --labels names a JSON file of windows per series (as the Numenta Anomaly
  Benchmark's labels/combined_windows.json: each series' path, relative to
  the INPUT folder, to a list of [start, end] times), a CSV file with the
  columns start and end (and series, naming each window's file, for a
  folder), or a column of the input holding 0 and 1 (left out of the
  detector's columns). Windows of time take the rows whose time lies in
  them, ends included. A file INPUT takes the windows of the series whose
  path ends its own.

measures:
  Each series is scored from its first row by a new detector, as morvik3
  score scores it; what is measured is its calibrated column. Only the rows
  after each series' probation (its first 15%, at most 750 rows) and after
  the calibration warm-up count. ROC AUC, precision-recall AUC and the best
  F1 over thresholds rank them, per series and over all rows of all series.
  The window score follows the Numenta Anomaly
  Benchmark's published rules: a window earns up to 1 for its earliest
  detection (more the earlier), a missed window costs, and so does every
  detection outside the windows (less just after a window); under its
  profiles standard, reward_low_FP_rate and reward_low_FN_rate, normalised
  so that a detector that never fires scores 0 and a perfect one 100, with
  the one threshold best for all series together (or --threshold). The
  delay of a window is the rows from its start to its first detection at
  the standard profile's threshold.

exit status: 0 on success, 2 on bad input, labels or options, 130 when
interrupted.
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


def _detector_options(command, flag_help):
    """The options that read the input, choose and set up the detector and
    calibrate its scores: the same for every command that scores rows."""
    command.add_argument("--detector", choices=sorted(KINDS), default="forest", help="detector (default: forest)")
    command.add_argument("--columns", type=_columns, metavar="A,B,C", help="numeric columns to score")
    command.add_argument("--time-column", metavar="NAME", help="column (or JSON key) holding the rows' time")
    command.add_argument("--numeric", type=_columns_or_none, metavar="A,B",
                         help="mstream: numeric columns (default: the others holding numbers; '' for none)")
    command.add_argument("--categorical", type=_columns, metavar="A,B", help="mstream: categorical columns")
    flags = command.add_mutually_exclusive_group()
    flags.add_argument("--threshold", type=_fraction, metavar="T", help=f"{flag_help} calibrated score is >= T")
    flags.add_argument("--top-percent", type=_percent, metavar="P",
                       help=f"{flag_help} calibrated score is >= 1 - P/100")
    command.add_argument("--calibration-window", type=_positive(int), metavar="N",
                         help="scores each score is ranked among (default: 10000; onlineiforest: its window size)")
    command.add_argument("--calibration-warmup", type=_at_least_zero, metavar="N",
                         help="scores seen before any row is flagged (default: 100)")


def _run_options(command):
    command.add_argument("--skip-bad-rows", action="store_true", help="skip bad rows instead of stopping")
    command.add_argument("-q", "--quiet", action="store_true", help="no progress bar, no summary")
    command.add_argument("--seed", type=int, default=0, help="random seed of a new detector (default: 0)")
    command.add_argument("--defaults", choices=DEFAULTS, help=f"the set of defaults (default: {DEFAULTS[0]}, or "
                         f"what --state began with; {DEFAULTS[1]}: those of morvik3 {DEFAULTS[1]})")
    settings = command.add_argument_group("detector settings")
    for s in SETTINGS:
        settings.add_argument(s.option, dest=s.key, type=_positive(s.type) if s.type is int else s.type,
                              metavar=s.type.__name__.upper(), help=s.help)


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
    _detector_options(score, "flag rows whose")
    score.add_argument("--state", metavar="PATH", help="load the detector and calibrator from PATH when it exists; save them there")
    score.add_argument("--checkpoint", type=_positive(int), metavar="N", help="also save the state every N rows")
    score.add_argument("--resume", action="store_true",
                       help="go on with the run that saved --state, on the same INPUT and -o OUTPUT, from its last "
                       "checkpoint")
    score.add_argument("--plot", metavar="PNG", help="plot the series and its scores (needs matplotlib)")
    _run_options(score)

    evaluate = commands.add_parser(
        "evaluate", help="measure how well a detector finds labelled anomalies", epilog=EVALUATE_EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Score labelled series as `morvik3 score` does and report how well the calibrated scores find "
        "the labelled anomaly windows.",
    )
    evaluate.add_argument("input", metavar="INPUT", help="CSV or JSON-lines file, or a folder of them")
    evaluate.add_argument("--labels", required=True, metavar="LABELS",
                          help="JSON file of windows per series, CSV file of start,end windows, or a 0/1 column of "
                          "the input")
    _detector_options(evaluate, "score the windows at one threshold instead of the best: rows whose")
    evaluate.add_argument("--json", action="store_true", help="write the measures as JSON instead of a table")
    evaluate.add_argument("--plot", metavar="DIR", help="plot each series with its windows and detections into DIR "
                          "(needs matplotlib)")
    _run_options(evaluate)
    evaluate.set_defaults(state=None, checkpoint=None, resume=False)

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
    if getattr(args, "resume", False) and not args.state:
        parser().error("--resume needs --state")
    try:
        if args.command == "score":
            from morvik3.cli import score

            return score.run(args)
        if args.command == "evaluate":
            from morvik3.cli import evaluate

            return evaluate.run(args)
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
