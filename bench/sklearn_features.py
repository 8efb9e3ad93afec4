"""Bag-of-words features for scikit-learn: vorlenta.sklearn's vectorizers against scikit-learn's
own on 200,000 texts of 20 to 300 characters (both corpora, a fixed seed), jobs=1 unless said:
fit_transform of CountVectorizer and TfidfVectorizer against scikit-learn's with an analyzer
made of vorlenta.words and with its own regular expression, n-grams (1, 2), HashingVectorizer,
two jobs against one, one short text's transform, and the peak memory of fit_transform (each in a
process of its own);
best of several runs, taken in turns, as ratios in one run.

    .venv/bin/python bench/sklearn_features.py [--reps 3]   (run_bench.py runs it too)
"""

from __future__ import annotations

import argparse
import json
import subprocess
import sys
from pathlib import Path

import vorlenta

sys.path.insert(0, str(Path(__file__).resolve().parent))
from many_texts import best, best_of_both, corpus_texts  # noqa: E402

SHARED = Path(__file__).resolve().parents[2] / "shared" / "corpus"

# The peak memory of one fit_transform above what the texts take, in a fresh process: the
# resident high-water mark, reset (clear_refs 5) once the texts are made.
PEAK = """
import gc, sys
sys.path.insert(0, {bench!r})
from pathlib import Path
from many_texts import corpus_texts
texts = corpus_texts(Path({shared!r}))
{imports}
gc.collect()
def kib(field):
    return int(next(line for line in open("/proc/self/status") if line.startswith(field)).split()[1])
before = kib("VmRSS:")
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
{make}.fit_transform(texts)
print(kib("VmHWM:") - before)
"""


def peak_kib(imports: str, make: str) -> int:
    code = PEAK.format(bench=str(Path(__file__).resolve().parent), shared=str(SHARED),
                       imports=imports, make=make)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          check=True, env={"OPENBLAS_NUM_THREADS": "1", "PATH": ""})
    return int(done.stdout.split()[-1])


def sklearn_targets(reps: int = 3) -> list[dict]:
    if not SHARED.is_dir():
        print(f"sklearn  skipped: no corpus at {SHARED}")
        return []
    try:
        from sklearn.feature_extraction import text as theirs
        from vorlenta import sklearn as ours
    except ImportError as e:
        print(f"sklearn  skipped: {e.name} is not installed")
        return []
    texts = corpus_texts(SHARED)
    size = sum(len(s.encode()) for s in texts)
    ours.CountVectorizer().fit_transform(texts[:1000])  # the first call's set-up
    found = []

    def analyzer(text: str) -> list[str]:
        return vorlenta.words(text, lower=True)

    def ratio(what: str, ours_run, peer_run, against: str, least: float) -> None:
        mine, peer = best_of_both(ours_run, peer_run, reps)
        found.append({"language": "many texts", "what": what, "against": against,
                      "value": peer / mine, "target": f">= {least:g}x", "met": peer / mine >= least})
        print(f"sklearn  {what:44} {size / mine / 1e6:7.1f} MB/s  {against}: "
              f"{size / peer / 1e6:6.1f} MB/s  ({peer / mine:.2f}x, target >= {least:g}x)",
              flush=True)

    for name in ("CountVectorizer", "TfidfVectorizer"):
        mine = getattr(ours, name)
        peer = getattr(theirs, name)
        ratio(f"{name}().fit_transform", lambda: mine(jobs=1).fit_transform(texts),
              lambda: peer(analyzer=analyzer).fit_transform(texts),
              f"scikit-learn {name}(analyzer=vorlenta.words)", 5.0)
        ratio(f"{name}().fit_transform", lambda: mine(jobs=1).fit_transform(texts),
              lambda: peer().fit_transform(texts), f"scikit-learn {name}() (its regex)", 3.0)
    ratio("CountVectorizer(ngram_range=(1, 2))",
          lambda: ours.CountVectorizer(jobs=1, ngram_range=(1, 2)).fit_transform(texts),
          lambda: theirs.CountVectorizer(ngram_range=(1, 2)).fit_transform(texts),
          "scikit-learn CountVectorizer(ngram_range=(1, 2))", 4.0)
    ratio("HashingVectorizer().transform",
          lambda: ours.HashingVectorizer(jobs=1).transform(texts),
          lambda: theirs.HashingVectorizer().transform(texts),
          "scikit-learn HashingVectorizer()", 4.0)
    ratio("CountVectorizer(jobs=2).fit_transform",
          lambda: ours.CountVectorizer(jobs=2).fit_transform(texts),
          lambda: ours.CountVectorizer(jobs=1).fit_transform(texts), "the same, jobs=1", 1.6)
    # One short text, as a service transforms a request: every core allowed (the default)
    # against one thread and against scikit-learn, in microseconds a call.
    calls = 2000
    one = texts[:1]
    fitted = {"vorlenta, default jobs": ours.CountVectorizer().fit(texts[:2000]),
              "vorlenta, jobs=1": ours.CountVectorizer(jobs=1).fit(texts[:2000]),
              "scikit-learn": theirs.CountVectorizer().fit(texts[:2000])}
    took = {}
    for who, vectorizer in fitted.items():
        took[who] = best(lambda v=vectorizer: [v.transform(one) for _ in range(calls)], reps)
        took[who] *= 1e6 / calls
    mine, peer = took["vorlenta, default jobs"], took["scikit-learn"]
    found.append({"language": "many texts", "what": "CountVectorizer.transform([one text])",
                  "against": "scikit-learn's", "value": peer / mine, "target": ">= 1x",
                  "met": peer / mine >= 1})
    print(f"sklearn  {'CountVectorizer.transform([one text])':44} "
          + ", ".join(f"{who} {t:.1f} µs" for who, t in took.items()), flush=True)
    mine_kib = peak_kib("from vorlenta.sklearn import CountVectorizer", "CountVectorizer(jobs=1)")
    peer_kib = peak_kib("from sklearn.feature_extraction.text import CountVectorizer",
                        "CountVectorizer()")
    found.append({"language": "many texts", "what": "CountVectorizer().fit_transform peak memory",
                  "against": "scikit-learn CountVectorizer()", "value": peer_kib / mine_kib,
                  "target": "> 1x (below the peer's)", "met": mine_kib < peer_kib})
    print(f"sklearn  {'CountVectorizer().fit_transform peak memory':44} {mine_kib / 1024:7.1f} MiB"
          f"       scikit-learn CountVectorizer(): {peer_kib / 1024:6.1f} MiB "
          f"({peer_kib / mine_kib:.2f}x less)")
    print(f"         ({len(texts):,} texts, {size / 1e6:.1f} MB)")
    return found


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--reps", type=int, default=3)
    args = parser.parse_args()
    print(json.dumps(sklearn_targets(args.reps), indent=1, ensure_ascii=False))


if __name__ == "__main__":
    main()
