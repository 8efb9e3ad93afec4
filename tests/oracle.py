"""A slow, plain Python model of the tokenizer, to check the extension against.

It shares nothing with the C++ code: every rule is written out again, one function per
algorithm, in the most direct form. It models the whole road of a batch: the character
classes, the UTF-8 reader, the token assembler, the token joiner, the batch loop with its
length limits, type filter and batch size, the end-of-input drain, and the result that
Python sees (a (text, types) pair, an empty result, or the UnicodeDecodeError raised when
the batch's bytes are not valid UTF-8).
"""

from dataclasses import dataclass, field

NOTTKN, WRDSPC, NWLINE, ENWORD, NUMBER, RUWORD, PNCTTN, UNKNWN = 0, 1, 2, 4, 8, 16, 32, 64
WORD_TYPES = (ENWORD, NUMBER, RUWORD)
ONE_CHARACTER_TYPES = (WRDSPC, NWLINE, PNCTTN, UNKNWN)

MAX_TOKEN_CHARS = 128
MAX_GROUP_TOKENS = 16
DEFAULT_BATCH_SIZE = 65536
DEFAULT_TOKEN_MAX_LEN = 512
ALL_TYPES = 2**64 - 1


# ---- character classes ----

PUNCTUATION_RANGES = [
    (0x21, 0x2F), (0x3A, 0x40), (0x5B, 0x60), (0x7B, 0x7E),
    (0xAB, 0xAB), (0xB7, 0xB7), (0xBB, 0xBB),
    (0x2010, 0x201F), (0x2024, 0x2027), (0x2116, 0x2116),
]


def char_type(code_point: int) -> int:
    """The token type of one code point; values above U+10FFFF are UNKNWN."""
    if code_point in (0x0B, 0x20, 0xA0):
        return WRDSPC
    if code_point == 0x0A:
        return NWLINE
    if 0x41 <= code_point <= 0x5A or 0x61 <= code_point <= 0x7A:
        return ENWORD
    if 0x30 <= code_point <= 0x39:
        return NUMBER
    if code_point == 0x401 or 0x410 <= code_point <= 0x44F or code_point == 0x451:
        return RUWORD
    if any(first <= code_point <= last for first, last in PUNCTUATION_RANGES):
        return PNCTTN
    return UNKNWN


# ---- UTF-8 reader ----

@dataclass
class Reader:
    """The character being read: its bytes since the last start byte and the announced length."""
    stored: list = field(default_factory=list)
    length: int = 0
    code_point: int = 0
    start: int = 0  # where the last start byte lies in the source


def announced_length(byte: int) -> int:
    """1 to 4 for a start byte, 0 for a continuation byte (80..BF, F8..FF)."""
    if byte < 0x80:
        return 1
    if byte & 0xE0 == 0xC0:
        return 2
    if byte & 0xF0 == 0xE0:
        return 3
    if byte & 0xF8 == 0xF0:
        return 4
    return 0


def read_byte(reader: Reader, byte: int) -> bool:
    """True when the byte completes a character. No validation: a start byte always opens a new
    sequence, any other byte extends the open one. A fifth stored byte is dropped, so a record
    that already holds four can never complete."""
    length = announced_length(byte)
    if length:
        reader.stored = []
        reader.length = length
        reader.code_point = 0
    elif len(reader.stored) == 4:
        return False
    reader.stored.append(byte)
    if len(reader.stored) != reader.length:
        return False
    b = reader.stored
    if reader.length == 1:
        reader.code_point = b[0]
    elif reader.length == 2:
        reader.code_point = (b[0] & 0x1F) << 6 | (b[1] & 0x3F)
    elif reader.length == 3:
        reader.code_point = (b[0] & 0x0F) << 12 | (b[1] & 0x3F) << 6 | (b[2] & 0x3F)
    else:
        reader.code_point = ((b[0] & 0x07) << 18 | (b[1] & 0x3F) << 12 | (b[2] & 0x3F) << 6
                             | (b[3] & 0x3F))
    return True


# ---- tokens ----

@dataclass
class Token:
    type: int = NOTTKN
    # (bytes, code point, (start, stop)) per character: its place runs from its start byte to
    # the byte that completed it
    chars: list = field(default_factory=list)

    def data(self) -> bytes:
        return b"".join(raw for raw, _, _ in self.chars)

    def place(self) -> tuple[int, int]:
        """From the first character's start byte to just after the last one's last byte."""
        return self.chars[0][2][0], self.chars[-1][2][1]


def is_hyphen(token: Token) -> bool:
    return token.type == PNCTTN and token.chars[0][0][0] == 0x2D


# ---- token assembler ----

@dataclass
class Assembler:
    ready: Token = field(default_factory=Token)
    current: Token = field(default_factory=Token)


def flush(assembler: Assembler) -> None:
    assembler.ready = assembler.current
    assembler.current = Token()


def push_char(assembler: Assembler, raw: bytes, code_point: int, place=(0, 0)) -> bool:
    """True when a token was completed into `ready`. A word run of 128 characters is closed by
    the 129th character of its class, which starts the next token."""
    held = assembler.current.type
    kind = char_type(code_point)
    if held == NOTTKN:
        assembler.current = Token(kind, [(raw, code_point, place)])
        return False
    if held in WORD_TYPES and kind == held and len(assembler.current.chars) < MAX_TOKEN_CHARS:
        assembler.current.chars.append((raw, code_point, place))
        return False
    flush(assembler)
    assembler.current = Token(kind, [(raw, code_point, place)])
    return True


# ---- token joiner ----

@dataclass
class Joiner:
    output: Token = field(default_factory=Token)
    group: list = field(default_factory=list)
    group_type: int = NOTTKN


def extends_group(joiner: Joiner, incoming: Token) -> bool:
    """Word-type groups grow while word parts and hyphens alternate, up to 16 parts and 128
    characters."""
    if joiner.group_type not in WORD_TYPES:
        return False
    last = joiner.group[-1].type
    if last == PNCTTN:
        alternates = incoming.type in WORD_TYPES
    elif last in WORD_TYPES:
        alternates = is_hyphen(incoming)
    else:
        alternates = False
    held_chars = sum(len(part.chars) for part in joiner.group)
    return (alternates and len(joiner.group) < MAX_GROUP_TOKENS
            and held_chars + len(incoming.chars) <= MAX_TOKEN_CHARS)


def push_token(joiner: Joiner, incoming: Token) -> bool:
    """True when a token was released into `output`."""
    if joiner.group_type == NOTTKN:
        joiner.group.append(incoming)
        joiner.group_type = incoming.type
        return False
    if extends_group(joiner, incoming):
        joiner.group.append(incoming)
        return False
    joiner.output = Token(joiner.group_type, [c for part in joiner.group for c in part.chars])
    joiner.group = [incoming]
    joiner.group_type = incoming.type
    return True


# ---- batches ----

@dataclass
class Settings:
    batch_size: int = DEFAULT_BATCH_SIZE
    token_min_len: int = 0
    token_max_len: int = DEFAULT_TOKEN_MAX_LEN
    filter: int = ALL_TYPES


@dataclass
class Tokenizer:
    """A tokenizer over a byte string, as text or file source alike."""
    source: bytes
    position: int = 0
    settings: Settings = field(default_factory=Settings)
    reader: Reader = field(default_factory=Reader)
    assembler: Assembler = field(default_factory=Assembler)
    joiner: Joiner = field(default_factory=Joiner)
    source_started: bool = False
    drain_steps_run: int = 0
    places: list = field(default_factory=list)  # the last batch's tokens' (start, stop)


def next_byte(tokenizer: Tokenizer):
    if tokenizer.position == len(tokenizer.source):
        return None
    tokenizer.position += 1
    return tokenizer.source[tokenizer.position - 1]


def deliver(tokenizer: Tokenizer, text: bytearray, types: list) -> None:
    """Appends the joiner's output to the batch if it passes the length limits and the filter."""
    token = tokenizer.joiner.output
    s = tokenizer.settings
    if not s.token_min_len <= len(token.chars) <= s.token_max_len:
        return
    if token.type & s.filter == 0:
        return
    text += token.data() + b"\0"
    types.append(token.type)
    tokenizer.places.append(token.place())


def drain(tokenizer: Tokenizer, text: bytearray, types: list) -> None:
    """The end-of-input steps: each hands the joiner whatever the assembler holds (the last token,
    then the empty token that releases the pending group). They run once in a tokenizer's life,
    only after some byte was read, and a step waits for a later call while the batch is full."""
    if not tokenizer.source_started:
        return
    while tokenizer.drain_steps_run < 2 and len(types) < tokenizer.settings.batch_size:
        tokenizer.drain_steps_run += 1
        flush(tokenizer.assembler)
        if push_token(tokenizer.joiner, tokenizer.assembler.ready):
            deliver(tokenizer, text, types)


def collect_batch(tokenizer: Tokenizer) -> tuple[bytes, list]:
    """One batch: the kept tokens' bytes, each followed by a zero byte, and their types."""
    text, types = bytearray(), []
    tokenizer.places = []
    while len(types) < tokenizer.settings.batch_size:
        byte = next_byte(tokenizer)
        if byte is None:
            drain(tokenizer, text, types)
            break
        tokenizer.source_started = True
        if announced_length(byte):
            tokenizer.reader.start = tokenizer.position - 1
        if not read_byte(tokenizer.reader, byte):
            continue
        raw = bytes(tokenizer.reader.stored)
        place = (tokenizer.reader.start, tokenizer.position)
        if not push_char(tokenizer.assembler, raw, tokenizer.reader.code_point, place):
            continue
        if push_token(tokenizer.joiner, tokenizer.assembler.ready):
            deliver(tokenizer, text, types)
    return bytes(text), types


def get_batch(tokenizer: Tokenizer):
    """What Python receives: None for the empty result, else (text, types); raises
    UnicodeDecodeError when the batch's bytes do not decode."""
    data, types = collect_batch(tokenizer)
    if not types:
        return None
    return data.decode("utf-8"), types


def tokenize(source: bytes, **settings) -> list[tuple[bytes, int, int, int]]:
    """Every released token of a source, with the default settings unless given, as (bytes,
    type, start, stop)."""
    tokenizer = Tokenizer(source, settings=Settings(batch_size=2**32 - 1, **settings))
    data, types = collect_batch(tokenizer)
    texts = split_tokens(data)
    assert len(texts) == len(types) == len(tokenizer.places)
    return [(text, kind, start, stop)
            for text, kind, (start, stop) in zip(texts, types, tokenizer.places)]


def split_tokens(data: bytes) -> list[bytes]:
    """Token texts back from a batch's bytes. A zero byte at a token's start is the token U+0000
    itself, since no delivered token is empty."""
    texts, start = [], 0
    while start < len(data):
        end = data.index(b"\0", start + 1) if data[start] == 0 else data.index(b"\0", start)
        texts.append(data[start:end])
        start = end + 1
    return texts
