"""Throughput of vorlentaCXX and the vorlenta library against the tokenizers a user would pick
instead, and the ceilings; the library's targets as ratios in the same run.

    make bench                      (installs the peers, then runs this)
    .venv/bin/python bench/run_bench.py [--mb 50] [--reps 5] [--peer-reps 3] [--gib 1]
    .venv/bin/python bench/run_bench.py --only-paths [--mb 20]   (the batch loop's paths alone)

Every contender starts from the same bytes (a corpus repeated to about --mb megabytes) and is
timed to its complete token list (or word counts); figures are MB/s of input and tokens/s,
median of the runs.
The corpora are read from the folder VORLENTA_CORPUS, else ../shared/corpus beside the project,
else the short texts in examples/corpus.
Writes bench/results/results.md and bench/results/throughput.png.
"""

from __future__ import annotations

import argparse
import datetime
import os
import platform
import re
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from collections import Counter
from pathlib import Path

import numpy as np

import vorlenta
import vorlentaCXX as vx

sys.path.insert(0, str(Path(__file__).resolve().parent))
from arrow_columns import arrow_targets  # noqa: E402
from defaults_and_datasets import defaults_targets  # noqa: E402
from many_texts import many_texts_targets  # noqa: E402
from library_sources import source_targets  # noqa: E402
from parallel import parallel_targets  # noqa: E402
from scan_paths import scan_path_lines  # noqa: E402
from sklearn_features import sklearn_targets  # noqa: E402

ROOT = Path(__file__).resolve().parents[1]
RESULTS = ROOT / "bench" / "results"
NATIVE_BENCH = ROOT / "build" / "bench" / "bench" / "native_bench"
CORPORA = {"Russian": "war_and_peace.ru.txt", "English": "pride_and_prejudice.en.txt"}
WORDS = vx.ENWORD | vx.RUWORD

# The closest regex to this tokenizer: words of each script, numbers, hyphenated compounds of
# these (a trailing hyphen included), and every other character alone.
PART = r"(?:[А-Яа-яЁё]+|[A-Za-z]+|[0-9]+)"
TOKEN_RE = re.compile(rf"{PART}(?:-{PART})*-?|[\s\S]")
# What a user of the standard library writes for tokens with places, and for word counts.
PLACES_RE = re.compile(r"\w+(?:-\w+)*|[^\w\s]|\s")
WORD_RE = re.compile(r"\w+(?:-\w+)*")

# The library's targets: (what, our contender, the peers it is held against (the fastest of
# them counts), the least ratio).
LOWER_PEERS = ["Counter(re.findall) of text.lower()", "Counter(re.findall), word.lower()"]
TARGETS = [
    ("spans over bytes / get_batch loop", "vorlenta spans", ["FTTokenizer get_batch"], 0.7),
    ("tokenize(str) / re.finditer with places", "vorlenta tokenize from str",
     ["re.finditer with places from str"], 3),
    ("count_words / Counter(re.findall)", "vorlenta count_words", ["Counter(re.findall)"], 5),
    ("count_words(lower=True) / the faster lowered Counter", "vorlenta count_words lower",
     LOWER_PEERS, 5),
    ("count_words of the two halves: 2 threads / 1 thread",
     "vorlenta count_words, halves in 2 threads", ["vorlenta count_words, halves in turn"], 1.6),
]
MEMORY_TARGET_MIB = 64

# The batch loop's paths, each timed in a process of its own (a process takes one path), on the
# two corpora and on a Russian text written for this project.
OWN_RUSSIAN = ROOT / "bench" / "own_russian.txt"
PATH_TEXTS = {"War and Peace (Russian)": "Russian", "our own Russian text": OWN_RUSSIAN,
              "Pride and Prejudice (English)": "English"}
# Fastest first, as sources/scan_paths.txt ranks them by the FTTokenizer loop on this text; the
# first the CPU runs is a process's default, the one the targets hold to.
SCAN_PATHS = [line.name for line in scan_path_lines()]
RANKING_TEXT = "War and Peace (Russian)"
DEFAULT_PATH_PROBE = "import vorlenta._native as native; print(native.scan_path())"
PATH_PROBE = """
import statistics, sys, time
import vorlentaCXX as vx, vorlenta._native as native
path, reps = sys.argv[1], int(sys.argv[2])
data = open(path, "rb").read()
def loop(tokenizer):
    while batch := tokenizer.get_batch():
        pass
speeds = []
for make in (lambda: vx.FTTokenizer(data), lambda: vx.FFTokenizer(path)):
    loop(make())  # untimed: the first run pays the set-up
    times = []
    for _ in range(reps):
        start = time.perf_counter()
        loop(make())
        times.append(time.perf_counter() - start)
    speeds.append(len(data) / statistics.median(times) / 1e6)
print(native.scan_path(), *speeds)
"""


def corpus_dir() -> Path:
    """VORLENTA_CORPUS, else the shared corpora beside the project, else the bundled sample."""
    if folder := os.environ.get("VORLENTA_CORPUS"):
        return Path(folder).resolve()
    shared = ROOT.parent / "shared" / "corpus"
    return shared if shared.is_dir() else ROOT / "examples" / "corpus"


def load_input(language: str | Path, megabytes: float) -> bytes:
    """A corpus by its language, or a file, repeated to about `megabytes`."""
    file = language if isinstance(language, Path) else corpus_dir() / CORPORA[language]
    one = file.read_bytes()
    return one * max(1, round(megabytes * 1e6 / len(one)))


# ---- contenders: each takes the input bytes (or a path to them) and returns a token count ----

def batches(tokenizer, filter_mask=None) -> int:
    if filter_mask is not None:
        tokenizer.set_filter(filter_mask)
    count = 0
    while batch := tokenizer.get_batch():
        count += len(batch["types"])
    return count


def stream(tokenizer) -> int:
    return sum(len(batch["types"]) for batch in tokenizer.stream)


def in_threads(function, inputs) -> list:
    """function(input) for each input, each in a thread of its own, all at once."""
    results = [None] * len(inputs)

    def run(i: int) -> None:
        results[i] = function(inputs[i])

    threads = [threading.Thread(target=run, args=(i,)) for i in range(len(inputs))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return results


def halves(data: bytes) -> tuple[bytes, bytes]:
    """The input cut in two at the line end nearest after its middle."""
    cut = data.find(b"\n", len(data) // 2) + 1 or len(data) // 2
    return data[:cut], data[cut:]


def ours(data: bytes, text: str, path: str) -> dict:
    def words(source: bytes) -> int:
        return vorlenta.count_words(source).total()

    parts = halves(data)
    return {
        "FTTokenizer get_batch": lambda: batches(vx.FTTokenizer(data)),
        "FTTokenizer from str": lambda: batches(vx.FTTokenizer(text)),
        "FFTokenizer get_batch": lambda: batches(vx.FFTokenizer(path)),
        "FTTokenizer stream": lambda: stream(vx.FTTokenizer(data)),
        "FTTokenizer words only": lambda: batches(vx.FTTokenizer(data), WORDS),
        "FFTokenizer words only": lambda: batches(vx.FFTokenizer(path), WORDS),
        "vorlenta spans": lambda: sum(len(batch.types) for batch in vorlenta.spans(data)),
        "vorlenta tokenize from str": lambda: len(vorlenta.tokenize(text)),
        "vorlenta count_words": lambda: words(data),
        "vorlenta count_words lower": lambda: vorlenta.count_words(data, lower=True).total(),
        "vorlenta count_words, halves in turn": lambda: sum(map(words, parts)),
        "vorlenta count_words, halves in 2 threads": lambda: sum(in_threads(words, parts)),
    }


def peers(data: bytes, text: str) -> dict:
    found = {
        "re.findall (closest regex)": lambda: len(TOKEN_RE.findall(data.decode())),
        "re.finditer with places from str":
            lambda: len([(m.group(), m.start(), m.end()) for m in PLACES_RE.finditer(text)]),
        "Counter(re.findall)": lambda: Counter(WORD_RE.findall(data.decode())).total(),
        LOWER_PEERS[0]: lambda: Counter(WORD_RE.findall(data.decode().lower())).total(),
        LOWER_PEERS[1]: lambda: Counter(map(str.lower, WORD_RE.findall(data.decode()))).total(),
    }
    try:
        from nltk.tokenize import wordpunct_tokenize
        try:
            import nltk.redos  # newer NLTK stops a match after 5 s, too little for 50 MB
            nltk.redos.DEFAULT_TIMEOUT = None
        except ImportError:
            pass
        found["NLTK wordpunct_tokenize"] = lambda: len(wordpunct_tokenize(data.decode()))
    except ImportError:
        pass
    try:
        import razdel
        found["razdel tokenize"] = lambda: sum(1 for _ in razdel.tokenize(data.decode()))
    except ImportError:
        pass
    try:
        from tokenizers.pre_tokenizers import Whitespace
        pre = Whitespace()
        found["HF tokenizers Whitespace"] = lambda: len(pre.pre_tokenize_str(data.decode()))
    except ImportError:
        pass
    try:
        import spacy
        nlp = spacy.blank("ru")
        nlp.max_length = len(data) + 1
        found["spaCy blank('ru')"] = lambda: len(nlp.make_doc(data.decode()))
    except ImportError:
        pass
    return found


def time_it(run, reps: int, budget: float) -> tuple[float, int, int]:
    """Median seconds, tokens and runs: up to `reps` runs, fewer once `budget` seconds are spent."""
    times, tokens = [], 0
    while len(times) < reps and (not times or sum(times) < budget):
        start = time.perf_counter()
        tokens = run()
        times.append(time.perf_counter() - start)
    return statistics.median(times), tokens, len(times)


def native_classify(path: str) -> float | None:
    """MB/s of the native pass that reads every byte and classifies every character."""
    if not NATIVE_BENCH.exists():
        return None
    command = [str(NATIVE_BENCH), "--mb", "0", "--reps", "5", "--pass", "classify", path]
    out = subprocess.run(command, capture_output=True, text=True, check=True).stdout
    return float(out.split()[-2])


# ---- the command against what a user would run instead ----

VORLENTA = Path(sys.executable).with_name("vorlenta")


def command_seconds(command: list[str] | str, reps: int) -> float:
    """Median wall-clock seconds of a command (a shell line when a str), start-up included."""
    times = []
    shell = isinstance(command, str)
    for _ in range(reps):
        start = time.perf_counter()
        subprocess.run(command, shell=shell, executable="/bin/bash" if shell else None,
                       check=True, stdout=subprocess.DEVNULL)
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def command_targets(path: Path, reps: int) -> list[dict]:
    """The command's targets over one file, as ratios in this run."""
    size = path.stat().st_size
    batches(vx.FFTokenizer(str(path)))  # untimed: the first run pays the set-up
    ff_seconds, _, _ = time_it(lambda: batches(vx.FFTokenizer(str(path))), reps, 600)
    ff_mbps = size / ff_seconds / 1e6
    out = path.with_suffix(".tsv")
    gz = path.with_name(path.name + ".gz")
    subprocess.run(["gzip", "-kf1", str(path)], check=True)

    def counter() -> int:
        with open(path, encoding="utf-8") as f:
            return Counter(WORD_RE.findall(f.read())).total()

    peer, _, _ = time_it(counter, reps, 600)
    stats = [str(VORLENTA), "stats", "--no-progress"]
    one = command_seconds([*stats, "--jobs", "1", str(path)], reps)
    two = command_seconds([*stats, "--jobs", "2", str(path)], reps)
    # As a user runs it: a worker per CPU, on pieces of the file.
    tokenize = command_seconds([str(VORLENTA), "tokenize", "--no-progress", str(path), "-o",
                                str(out)], reps)
    tokenize_one = command_seconds([str(VORLENTA), "tokenize", "--jobs", "1", "--no-progress",
                                    str(path), "-o", str(out)], reps)
    from_gz = command_seconds([*stats, "--jobs", "1", str(gz)], reps)
    piped = command_seconds(f"gzip -dc '{gz}' | '{VORLENTA}' stats --no-progress -", reps)
    out.unlink()
    gz.unlink()
    found = [
        ("vorlenta stats FILE --jobs 1 / Counter(re.findall) with the read", peer / one, 5),
        ("vorlenta stats FILE --jobs 2 / --jobs 1", one / two, 1.6),
        ("vorlenta tokenize FILE -o OUT / FFTokenizer get_batch loop",
         size / tokenize / 1e6 / ff_mbps, 0.4),
        ("vorlenta stats FILE.gz / gzip -dc FILE.gz | vorlenta stats -", piped / from_gz, 0.8),
    ]
    for what, seconds in [("vorlenta stats --jobs 1", one), ("vorlenta stats --jobs 2", two),
                          ("vorlenta tokenize -o", tokenize),
                          ("vorlenta tokenize --jobs 1 -o", tokenize_one),
                          ("vorlenta stats FILE.gz", from_gz),
                          ("gzip -dc | vorlenta stats -", piped),
                          ("Counter(re.findall) with the read", peer),
                          ("FFTokenizer get_batch loop", ff_seconds)]:
        print(f"command  {what:42} {size / seconds / 1e6:9.1f} MB/s", flush=True)
    return [{"language": "Russian", "what": what, "against": "", "value": value,
             "target": f">= {least:g}x", "met": value >= least} for what, value, least in found]


# ---- vorlenta stats on a Dask cluster ----

DASK_FILES = ["Russian", "English", "Russian", "English"]


def dask_figures(folder: Path, megabytes: float, reps: int) -> dict | None:
    """`vorlenta stats --dask local:2` against `--jobs 2` over four files of about `megabytes`
    each: a cluster that the command starts and closes, and one already running (started
    here, two worker processes) that it only connects to. None without Dask."""
    try:
        from distributed import LocalCluster
        from vorlenta.dask import LOCAL_SCHEDULER
    except ImportError:
        print("Dask is not installed: no Dask figures (pip install '.[dask]')")
        return None
    files = []
    for i, language in enumerate(DASK_FILES):
        files.append(folder / f"dask{i}.txt")
        files[-1].write_bytes(load_input(language, megabytes))
    size = sum(path.stat().st_size for path in files)
    stats = [str(VORLENTA), "stats", "--no-progress"]
    jobs = command_seconds([*stats, "--jobs", "2", *files], reps)
    local = command_seconds([*stats, "--dask", "local:2", *files], reps)
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      scheduler_kwargs=LOCAL_SCHEDULER) as cluster:
        running = command_seconds([*stats, "--dask", cluster.scheduler_address, *files], reps)
    for path in files:
        path.unlink()
    found = {"files": len(files), "mb": size / 1e6, "jobs": jobs, "local": local,
             "running": running}
    for what, seconds in [("vorlenta stats --jobs 2", jobs),
                          ("vorlenta stats --dask local:2", local),
                          ("vorlenta stats --dask (running cluster)", running)]:
        print(f"dask     {what:42} {size / seconds / 1e6:9.1f} MB/s  {seconds:6.2f} s",
              flush=True)
    print(f"dask     speed of --dask local:2 / --jobs 2: {jobs / local:.2f}; of --dask on a "
          f"running cluster / --jobs 2: {jobs / running:.2f}", flush=True)
    return found


# ---- the batch loop's paths ----

def default_path() -> str:
    """The path a process takes when VORLENTA_SCAN_PATH does not force one."""
    env = {k: v for k, v in os.environ.items() if k != "VORLENTA_SCAN_PATH"}
    return subprocess.run([sys.executable, "-c", DEFAULT_PATH_PROBE], env=env,
                          capture_output=True, text=True, check=True).stdout.strip()


def path_rows(folder: Path, megabytes: float, reps: int, peer_reps: int) -> list[dict]:
    """For each text: the get_batch loops' MB/s on each path the CPU runs, against CPython's
    decoding of the same bytes and the closest regex, timed in this process. The row of the
    path a process takes by default is marked."""
    default = default_path()
    print(f"path default: {default}, the first of sources/scan_paths.txt this CPU runs",
          flush=True)
    rows = []
    for text_name, source in PATH_TEXTS.items():
        data = load_input(source, megabytes)
        path = folder / "paths.txt"
        path.write_bytes(data)
        decode, _, _ = time_it(lambda: len(data.decode()), reps, 60)
        regex, _, _ = time_it(lambda: len(TOKEN_RE.findall(data.decode())), peer_reps, 60)
        for name in SCAN_PATHS:
            env = dict(os.environ, VORLENTA_SCAN_PATH=name)
            out = subprocess.run([sys.executable, "-c", PATH_PROBE, str(path), str(reps)],
                                 env=env, capture_output=True, text=True, check=True).stdout
            taken, ft, ff = out.split()
            if taken != name:
                continue  # this CPU does not run the path
            row = {"text": text_name, "path": name, "default": name == default,
                   "ft": float(ft), "ff": float(ff),
                   "decode": len(data) / decode / 1e6, "regex": len(data) / regex / 1e6}
            rows.append(row)
            print(f"path {name:7} {text_name:30} FTTokenizer {row['ft']:7.1f} MB/s, "
                  f"FFTokenizer {row['ff']:7.1f}, decode {row['decode']:7.1f}, "
                  f"regex {row['regex']:5.1f}", flush=True)
        path.unlink()
    print(path_ranking(rows), flush=True)
    return rows


def path_ranking(rows: list[dict]) -> str:
    """The paths as this run ranks them, against the order of sources/scan_paths.txt, which
    decides the default: a different order says that the file wants re-ranking."""
    measured = sorted((r for r in rows if r["text"] == RANKING_TEXT), key=lambda r: -r["ft"])
    ranked = " > ".join(f"{r['path']} {r['ft']:.1f}" for r in measured)
    listed = [name for name in SCAN_PATHS if any(r["path"] == name for r in measured)]
    if [r["path"] for r in measured] == listed:
        return f"path ranking on {RANKING_TEXT}: {ranked} MB/s, as sources/scan_paths.txt has it"
    return (f"path ranking on {RANKING_TEXT}: {ranked} MB/s, but sources/scan_paths.txt lists "
            f"{', '.join(listed)}: re-rank it")


def path_targets(rows: list[dict]) -> list[dict]:
    """The batch loop's targets, on the path a process takes by default."""
    found = []
    for text_name, source in PATH_TEXTS.items():
        these = [r for r in rows if r["text"] == text_name]
        if not these:
            continue
        best = next(r for r in these if r["default"])
        language = "English" if source == "English" else "Russian"
        checks = [(f"{text_name}: FTTokenizer get_batch ({best['path']}) / bytes.decode",
                   best["ft"] / best["decode"], 1.0)] if language == "Russian" else []
        checks += [(f"{text_name}: FTTokenizer get_batch ({best['path']}) / closest regex",
                    best["ft"] / best["regex"], 20),
                   (f"{text_name}: FFTokenizer / FTTokenizer ({best['path']})",
                    best["ff"] / best["ft"], 0.9)]
        found += [{"language": language, "what": what, "against": "", "value": value,
                   "target": f">= {least:g}x", "met": value >= least}
                  for what, value, least in checks]
    return found


# ---- memory over a large file ----

# VmHWM, not ru_maxrss: the latter keeps the parent's peak across fork and exec.
MEMORY_PROBE = """
import sys, numpy
def peak_mib():
    status = open("/proc/self/status").read().split("VmHWM:")[1]
    return int(status.split()[0]) / 1024
reader, path = sys.argv[1:]
if reader == "FFTokenizer":
    import vorlentaCXX as vx
    t = vx.FFTokenizer(path)
    tokens = 0
    while batch := t.get_batch():
        tokens += len(batch["types"])
    assert tokens > 0
elif reader == "spans":
    from pathlib import Path
    import vorlenta
    assert sum(len(batch.types) for batch in vorlenta.spans(Path(path))) > 0
print(peak_mib())
"""


def peak_memory(reader: str, path: str = "-") -> float:
    """Peak MiB of a fresh interpreter that imports NumPy, then reads the file with `reader`
    ("FFTokenizer" or "spans"; "-" reads nothing)."""
    out = subprocess.run([sys.executable, "-c", MEMORY_PROBE, reader, path],
                         capture_output=True, text=True, check=True).stdout
    return float(out)


def write_large_file(folder: Path, data: bytes, size: int) -> Path:
    path = folder / f"large_{size >> 20}MiB.txt"
    with path.open("wb") as f:
        written = 0
        while written < size:
            chunk = data[: size - written]
            f.write(chunk)
            written += len(chunk)
    return path


# ---- report ----

def machine() -> str:
    model = "unknown CPU"
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
        meminfo = Path("/proc/meminfo").read_text().splitlines()
        mem = next(line for line in meminfo if line.startswith("MemTotal"))
        mem_gib = int(mem.split()[1]) / 2**20
    except (OSError, StopIteration):
        mem_gib = float("nan")
    return (f"{model}, {os.cpu_count()} cores, {mem_gib:.0f} GiB; {platform.system()} "
            f"{platform.release()}; Python {platform.python_version()}, NumPy {np.__version__}")


def plot(rows: list[dict], path: Path) -> None:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    languages = list(CORPORA)
    names = list(dict.fromkeys(r["name"] for r in rows))
    fig, axes = plt.subplots(1, len(languages), figsize=(13, 1.5 + 0.3 * len(names)),
                             sharey=True)
    for ax, language in zip(axes, languages):
        speed = {r["name"]: r["mbps"] for r in rows if r["language"] == language}
        values = [speed.get(n, 0) for n in names]
        colors = ["#1f77b4" if n.startswith(("FT", "FF", "vorlenta"))
                  else "#999999" if "ceiling" in n else "#d62728" for n in names]
        ax.barh(names, values, color=colors)
        ax.set_xscale("log")
        ax.set_title(f"{language} corpus")
        ax.set_xlabel("MB/s of input (log scale)")
        for y, v in enumerate(values):
            if v:
                ax.text(v, y, f" {v:,.1f}", va="center", fontsize=8)
    axes[0].invert_yaxis()
    fig.suptitle("vorlentaCXX and vorlenta (blue) against peers (red) and ceilings (grey)")
    fig.tight_layout()
    fig.savefig(path, dpi=110)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mb", type=float, default=50, help="input size per corpus")
    parser.add_argument("--reps", type=int, default=5, help="runs of this module's contenders")
    parser.add_argument("--peer-reps", type=int, default=3, help="runs of each peer")
    parser.add_argument("--budget", type=float, default=60,
                        help="seconds after which a contender gets no further runs")
    parser.add_argument("--gib", type=float, default=1, help="size of the memory test file")
    parser.add_argument("--only-paths", action="store_true",
                        help="time the batch loop's paths alone, writing no results")
    args = parser.parse_args()
    if args.only_paths:
        print(f"Measured {datetime.date.today()} on {machine()}.")
        with tempfile.TemporaryDirectory() as tmp:
            path_rows(Path(tmp), args.mb, args.reps, args.peer_reps)
        return
    RESULTS.mkdir(parents=True, exist_ok=True)

    rows = []
    with tempfile.TemporaryDirectory() as tmp:
        # First, while this process runs no thread of its own: some peers leave threads that
        # keep a core busy, which a command with a worker per core would then share.
        path = Path(tmp) / "command.txt"
        path.write_bytes(load_input("Russian", args.mb))
        command_met = command_targets(path, args.reps)
        path.unlink()
        dask = dask_figures(Path(tmp), args.mb, args.reps)
        command_met += many_texts_targets(corpus_dir(), args.peer_reps)
        command_met += source_targets(corpus_dir(), args.reps)
        command_met += parallel_targets(corpus_dir(), args.peer_reps)
        command_met += arrow_targets(args.reps)
        command_met += defaults_targets(args.reps)
        command_met += sklearn_targets(min(args.reps, 3))
        paths = path_rows(Path(tmp), args.mb, args.reps, args.peer_reps)
        for language in CORPORA:
            data = load_input(language, args.mb)
            path = Path(tmp) / f"{language}.txt"
            path.write_bytes(data)
            text = data.decode()  # for a caller who holds a str; its decoding is not timed
            contenders = [(n, r, args.reps, "ours")
                          for n, r in ours(data, text, str(path)).items()]
            contenders += [(n, r, args.peer_reps, "peer") for n, r in peers(data, text).items()]
            contenders.append(("CPython bytes.decode (ceiling)", lambda: len(data.decode()),
                               args.reps, "ceiling"))
            for name, run, reps, kind in contenders:
                if kind != "peer":
                    run()  # one untimed run first: the first of a process pays its set-up
                seconds, tokens, runs = time_it(run, reps, args.budget)
                rows.append({"language": language, "name": name, "kind": kind, "runs": runs,
                             "mbps": len(data) / seconds / 1e6,
                             "mtps": tokens / seconds / 1e6 if kind != "ceiling" else None})
                print(f"{language:8} {name:42} {rows[-1]['mbps']:9.1f} MB/s", flush=True)
            native = native_classify(str(path))
            if native is not None:
                rows.append({"language": language, "name": "native read+classify (ceiling)",
                             "kind": "ceiling", "mbps": native, "mtps": None, "runs": 5})
                print(f"{language:8} {'native read+classify (ceiling)':42} {native:9.1f} MB/s")

        data = load_input("Russian", 50)
        sizes = [int(args.gib * 2**30) // 4, int(args.gib * 2**30)]
        memory = {"numpy only": peak_memory("-")}
        for size in sizes:
            large = write_large_file(Path(tmp), data, size)
            for reader in ("FFTokenizer", "spans"):
                memory[f"{reader} over {size / 2**20:,.0f} MiB"] = peak_memory(reader, str(large))
            large.unlink()
        for name, mib in memory.items():
            print(f"peak RSS {name:32} {mib:8.1f} MiB")

    met = targets(rows, memory) + path_targets(paths) + command_met
    for t in met:
        print(f"target {t['language']:8} {t['what']:54} {t['value']:8.2f} (target {t['target']})"
              f"{'' if t['met'] else '  NOT MET'}")
    report(rows, paths, memory, met, args, dask)
    try:
        plot(rows, RESULTS / "throughput.png")
    except ImportError:
        print("matplotlib is not installed: no plot (make bench installs it)")


def targets(rows: list[dict], memory: dict) -> list[dict]:
    """Each library target in each corpus: the ratio, the peer it was taken against, and
    whether it is met; then the memory of spans over the largest file."""
    found = []
    for language in CORPORA:
        speed = {r["name"]: r["mbps"] for r in rows if r["language"] == language}
        for what, name, against, least in TARGETS:
            peer = max(against, key=speed.__getitem__)
            ratio = speed[name] / speed[peer]
            found.append({"language": language, "what": what, "against": peer,
                          "value": ratio, "target": f">= {least:g}x", "met": ratio >= least})
    largest = [name for name in memory if name.startswith("spans")][-1]
    above = memory[largest] - memory["numpy only"]
    found.append({"language": "Russian", "what": f"{largest}: peak RSS above NumPy alone, MiB",
                  "against": "numpy only", "value": above,
                  "target": f"<= {MEMORY_TARGET_MIB} MiB", "met": above <= MEMORY_TARGET_MIB})
    return found


def report(rows: list[dict], paths: list[dict], memory: dict, met: list[dict], args,
           dask: dict | None) -> None:
    lines = [
        "# Benchmark results",
        "",
        f"Measured {datetime.date.today()} on {machine()}.",
        f"Input: each corpus of `{os.path.relpath(corpus_dir(), ROOT)}` repeated to about "
        f"{args.mb:g} MB; every contender starts from the same bytes (decoding them, where it "
        "needs a str, is part of its time, except for those named \"from str\", which start "
        "from the decoded text) and produces its full token list or word counts. After one "
        f"untimed run (none for the peers), median of up to {args.reps} runs "
        f"({args.peer_reps} for peers; fewer once a contender has taken {args.budget:g} s). "
        "Command: `make bench`.",
        "",
    ]
    for language in CORPORA:
        these = [r for r in rows if r["language"] == language]
        base = next(r["mbps"] for r in these if r["name"] == "FTTokenizer get_batch")
        lines += [f"## {language} corpus", "",
                  "| contender | MB/s | M tokens/s | runs | FTTokenizer is × faster |",
                  "|---|---:|---:|---:|---:|"]
        for r in these:
            mtps = f"{r['mtps']:.2f}" if r["mtps"] is not None else ""
            lines.append(f"| {r['name']} | {r['mbps']:,.1f} | {mtps} | {r['runs']} | "
                         f"{base / r['mbps']:.2f} |")
        lines.append("")
    lines += ["## The batch loop on each path", "",
              "MB/s of the get_batch loops over each text repeated to about "
              f"{args.mb:g} MB, each path in a process of its own (VORLENTA_SCAN_PATH), against "
              "CPython's bytes.decode of the same bytes and the closest regex in this process. "
              "A process without VORLENTA_SCAN_PATH takes the first path of "
              "`sources/scan_paths.txt` that the CPU runs, marked (default).",
              "",
              "| text | path | FTTokenizer | FFTokenizer | bytes.decode | closest regex | "
              "FTTokenizer / decode | FTTokenizer / regex |",
              "|---|---|---:|---:|---:|---:|---:|---:|"]
    for r in paths:
        marked = f"{r['path']} (default)" if r["default"] else r["path"]
        lines.append(f"| {r['text']} | {marked} | {r['ft']:,.1f} | {r['ff']:,.1f} | "
                     f"{r['decode']:,.1f} | {r['regex']:,.1f} | {r['ft'] / r['decode']:.2f} | "
                     f"{r['ft'] / r['regex']:.1f} |")
    lines += ["", path_ranking(paths) + ".", ""]
    lines += ["## Targets", "",
              "Ratios of the MB/s above, in this run, and the memory of spans over the largest "
              "file below. The command's targets time `vorlenta` as a process, start-up included, "
              "over the Russian input written to a file (the peer `Counter(re.findall(...))` "
              "runs in this process, its file read and decoding included). The lowered word counts are held against the faster of two peers: "
              "lower-casing the decoded text, or each word. The thread target cuts the input in "
              "two at a line end near its middle and counts each half (two different byte "
              "strings): two threads at once against one thread doing both in turn.", "",
              "| corpus | target | against | measured | target | met |",
              "|---|---|---|---:|---:|---|"]
    for t in met:
        lines.append(f"| {t['language']} | {t['what']} | {t['against']} | {t['value']:.2f} | "
                     f"{t['target']} | {'yes' if t['met'] else 'no'} |")
    lines.append("")
    baseline = memory["numpy only"]
    lines += ["## Memory over a large file", "",
              "Peak resident memory of a process that tokenizes the file with FFTokenizer, or "
              "takes all its batches from vorlenta.spans(Path(file)) (default batch sizes), "
              "against one that only imports NumPy.", "",
              "| process | peak RSS (MiB) | above NumPy alone (MiB) |", "|---|---:|---:|"]
    for name, mib in memory.items():
        lines.append(f"| {name} | {mib:.1f} | {mib - baseline:.1f} |")
    if dask is not None:
        mb = dask["mb"]
        lines += ["", "## vorlenta stats on a Dask cluster", "",
                  f"{dask['files']} files, {mb:,.0f} MB in all (the corpora, each repeated to "
                  f"about {args.mb:g} MB), counted by `vorlenta stats` as a process, start-up "
                  f"included, median of {args.reps} runs. `--dask local:2` starts and closes a "
                  "cluster of two worker processes in every run; the running cluster (two "
                  "worker processes, started by the bench) is only connected to.", "",
                  "| command | seconds | MB/s | --jobs 2 is × faster |", "|---|---:|---:|---:|"]
        for what, key in [("vorlenta stats --jobs 2", "jobs"),
                          ("vorlenta stats --dask local:2", "local"),
                          ("vorlenta stats --dask ADDRESS (running cluster)", "running")]:
            lines.append(f"| {what} | {dask[key]:.2f} | {mb / dask[key]:,.1f} | "
                         f"{dask[key] / dask['jobs']:.2f} |")
    lines += ["", "![throughput](throughput.png)", ""]
    (RESULTS / "results.md").write_text("\n".join(lines))


if __name__ == "__main__":
    main()
