"""Many short texts: vorlenta's counts, token lists and places over 200,000 texts of 20 to 300
characters cut from both corpora (a fixed seed), against what a user would write instead, as
ratios in one run. Run alone (`python bench/many_texts.py`) or from run_bench.py."""

from __future__ import annotations

import json
import random
import re
import subprocess
import sys
import tempfile
import time
import timeit
from collections import Counter
from pathlib import Path

import vorlenta
import vorlentaCXX as vx

ROOT = Path(__file__).resolve().parents[1]
WORD = re.compile(r"\w+(?:-\w+)*")
TOKEN = re.compile(r"\w+(?:-\w+)*|[^\w\s]|\s")
ALL = 2**64 - 1
VORLENTA = Path(sys.executable).with_name("vorlenta")


def corpus_texts(folder: Path, count: int = 200_000, seed: int = 20) -> list[str]:
    text = "".join((folder / name).read_text(encoding="utf-8")
                   for name in ("war_and_peace.ru.txt", "pride_and_prejudice.en.txt"))
    rng = random.Random(seed)
    texts = []
    while len(texts) < count:
        n = rng.randint(20, 300)
        at = rng.randrange(len(text) - n)
        texts.append(text[at:at + n])
    return texts


def best(run, reps: int) -> float:
    """The fastest of `reps` runs, in seconds: the least disturbed by the machine."""
    times = []
    for _ in range(reps):
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return min(times)


def best_of_both(ours, peer, reps: int) -> tuple[float, float]:
    """The fastest of `reps` runs of each, taken in turns, so that a slower spell of the machine
    falls on both and not on one of them."""
    times: tuple[list[float], list[float]] = ([], [])
    for _ in range(reps):
        for run, kept in ((ours, times[0]), (peer, times[1])):
            start = time.perf_counter()
            run()
            kept.append(time.perf_counter() - start)
    return min(times[0]), min(times[1])


def fastest_peer_per_text(texts: list[str], reps: int) -> tuple[str, float] | None:
    """The fastest installed word tokenizer of the bench's peers, run text by text."""
    found = []
    try:
        from nltk.tokenize import wordpunct_tokenize
        found.append(("NLTK wordpunct_tokenize per text",
                      best(lambda: [wordpunct_tokenize(s) for s in texts], reps)))
    except ImportError:
        pass
    try:
        import razdel
        found.append(("razdel per text",
                      best(lambda: [[t.text for t in razdel.tokenize(s)] for s in texts[:20_000]],
                           1) * len(texts) / 20_000))
    except ImportError:
        pass
    return min(found, key=lambda f: f[1]) if found else None


def ft_lists(text: str) -> list[str]:
    tokenizer = vx.FTTokenizer(text)
    out: list[str] = []
    while batch := tokenizer.get_batch():
        out += batch["text"].split("\0")[:-1]
    return out


def peak_rss_mib(code: str, *args: str) -> float:
    done = subprocess.run([sys.executable, "-c", code, *args], capture_output=True, text=True,
                          check=True)
    return float(done.stdout)


MEMORY = """
import resource, sys, vorlenta
jobs = int(sys.argv[1])
def texts(n):
    for i in range(n):
        yield f"Текст номер {i % 1000} about the river, well-known {i % 7}."
vorlenta.count_words(texts(10_000), jobs=jobs)
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
vorlenta.count_words(texts(2_000_000), lower=True, jobs=jobs)
print((resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) / 1024)
"""


def many_texts_targets(folder: Path, reps: int = 3) -> list[dict]:
    texts = corpus_texts(folder)
    size = sum(len(s.encode()) for s in texts)
    found = []

    def ratio(what: str, ours: float, peer: float, against: str, least: float) -> None:
        found.append({"language": "many texts", "what": what, "against": against,
                      "value": peer / ours, "target": f">= {least:g}x",
                      "met": peer / ours >= least})
        print(f"texts    {what:60} {size / ours / 1e6:8.1f} MB/s  {against}: "
              f"{size / peer / 1e6:8.1f} MB/s", flush=True)

    ours = best(lambda: vorlenta.count_words(texts, lower=True), reps)
    peer = best(lambda: Counter(w.lower() for s in texts for w in WORD.findall(s)), reps)
    ratio("count_words(texts, lower=True)", ours, peer,
          "Counter(w.lower() for s in texts for w in WORD.findall(s))", 5)

    ours = best(lambda: vorlenta.token_lists(texts), reps)
    peer = best(lambda: [WORD.findall(s) for s in texts], reps)
    ratio("token_lists(texts)", ours, peer, "[WORD.findall(s) for s in texts]", 3)
    other = fastest_peer_per_text(texts, 1)
    if other is not None:
        ratio("token_lists(texts) / fastest peer per text", ours, other[1], other[0], 2)

    large = "\n".join(texts)
    ours = best(lambda: vorlenta.token_lists([large], types=ALL), reps)
    peer = best(lambda: ft_lists(large), reps)
    ratio("token_lists([one large text]), every type", ours, peer,
          "FTTokenizer batches split into a list", 2)

    short = texts[0][:70]
    number = 20_000
    ours = min(timeit.repeat(lambda: vorlenta.tokenize(short), number=number, repeat=5)) / number
    peer = min(timeit.repeat(
        lambda: [(m.group(), m.start(), m.end()) for m in TOKEN.finditer(short)],
        number=number, repeat=5)) / number
    found.append({"language": "many texts", "what": "tokenize(s), a 70-character text, per call",
                  "against": "finditer with places", "value": peer / ours,
                  "target": ">= 1.5x", "met": peer / ours >= 1.5})
    print(f"texts    {'tokenize(70 characters)':60} {ours * 1e6:8.2f} us   finditer: "
          f"{peer * 1e6:8.2f} us", flush=True)

    try:
        import pyarrow as pa
    except ImportError:
        print("texts    pyarrow is not installed: no Arrow target")
    else:
        column = pa.array(texts)
        ours = best(lambda: vorlenta.count_words(column), reps)
        peer = best(lambda: vorlenta.count_words(large), reps)
        ratio("count_words(pyarrow column)", ours, peer, "count_words(texts joined by \\n)", 0.8)

    with tempfile.TemporaryDirectory() as tmp:
        data = Path(tmp) / "texts.jsonl"
        with open(data, "w", encoding="utf-8") as out:
            for s in texts:
                out.write(json.dumps({"text": s}, ensure_ascii=False) + "\n")
        help_text = subprocess.run([str(VORLENTA), "stats", "--help"], capture_output=True,
                                   text=True).stdout
        if "--field" in help_text:
            command = [str(VORLENTA), "stats", "--no-progress", "--jobs", "1", "--field",
                       "text", str(data)]
            ours = best(lambda: subprocess.run(command, check=True, stdout=subprocess.DEVNULL),
                        reps)

            def script() -> None:
                with open(data, encoding="utf-8") as f:
                    Counter(w for line in f for w in WORD.findall(json.loads(line)["text"]))
            peer = best(script, reps)
            ratio("vorlenta stats --field text FILE.jsonl", ours, peer,
                  "json.loads per line and Counter(WORD.findall)", 3)
        else:
            print("texts    this vorlenta reads no JSON Lines: no command target")

    for jobs in (1, 2):
        grown = peak_rss_mib(MEMORY, str(jobs))
        found.append({"language": "many texts",
                      "what": f"count_words over 2,000,000 texts, jobs={jobs}: peak RSS growth, "
                              f"MiB", "against": "10,000 texts", "value": grown,
                      "target": "<= 64 MiB", "met": grown <= 64})
        print(f"texts    peak RSS growth over 2,000,000 texts, jobs={jobs} {grown:8.1f} MiB",
              flush=True)
    return found


if __name__ == "__main__":
    sys.path.insert(0, str(ROOT / "bench"))
    from run_bench import corpus_dir

    for t in many_texts_targets(corpus_dir()):
        print(f"target {t['what']:60} {t['value']:8.2f} (target {t['target']})"
              f"{'' if t['met'] else '  NOT MET'}")
