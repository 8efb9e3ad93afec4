"""Tokenizes a text file and prints its first tokens and the count of each token type."""

import sys
from collections import Counter

import vorlentaCXX as vx

TYPE_NAMES = {int(member): name for name, member in vx.TokenType.__members__.items()}


def main(path: str, shown: int = 40) -> None:
    tokenizer = vx.FFTokenizer(path)
    if not tokenizer.is_fopen():
        sys.exit(f"cannot open {path}")
    counts: Counter[str] = Counter()
    first: list[tuple[str, str]] = []
    for batch in tokenizer.stream:
        texts = batch["text"].split("\0")[:-1]
        types = [TYPE_NAMES[int(t)] for t in batch["types"]]
        counts.update(types)
        if len(first) < shown:
            first.extend(zip(types, texts))
    print(f"First {min(shown, len(first))} tokens of {path}:")
    for type_name, text in first[:shown]:
        print(f"  {type_name}  {text!r}")
    print("Tokens per type:")
    for type_name, count in counts.most_common():
        print(f"  {type_name}  {count}")
    print(f"  total   {sum(counts.values())}")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "examples/sample.txt")
