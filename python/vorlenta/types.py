"""The token types, one flag each, and type masks made of them, names or ints: what every part
of the library and the command takes wherever it takes a type. Importing this loads neither
NumPy nor vorlentaCXX."""

from __future__ import annotations

import enum
import operator
from collections.abc import Iterable
from typing import Any, TypeAlias

# The mask of every type, and the largest a native call takes.
ALL_TYPES = 2**64 - 1


class TokenType(enum.IntFlag):
    """A token's type: a flag, so that members compare equal to their values, work against
    NumPy arrays of types, and combine with | into masks."""

    NOTTKN = 0  # no token; never delivered
    WRDSPC = 1  # one space
    NWLINE = 2  # one line feed
    ENWORD = 4  # ASCII Latin letters, and compounds starting with them
    NUMBER = 8  # ASCII digits, and compounds starting with them
    RUWORD = 16  # Russian letters, and compounds starting with them
    PNCTTN = 32  # one punctuation mark
    UNKNWN = 64  # one character of any other kind

    def __array_ufunc__(self, ufunc: Any, method: str, *inputs: Any, **kwargs: Any) -> Any:
        # NumPy takes an int subclass for a signed 64-bit value, which it will not combine with
        # the unsigned type arrays hold: `types & (ENWORD | RUWORD)` would raise. A member takes
        # part in any ufunc as an unsigned value instead.
        import numpy as np

        values = tuple(np.uint64(int(x)) if isinstance(x, TokenType) else x for x in inputs)
        return getattr(ufunc, method)(*values, **kwargs)


# The words: runs of letters and the compounds that start with them.
WORDS = TokenType.ENWORD | TokenType.RUWORD
# Every member by class: type bit k-1 is class k, as the native code counts them.
MEMBERS = tuple(sorted(TokenType.__members__.values(), key=int))
# The names of the types a token can have, by value.
TYPE_NAMES: dict[int, str] = {int(m): name for name, m in TokenType.__members__.items() if m}
_BY_NAME = {name: int(member) for name, member in TokenType.__members__.items()}

Types: TypeAlias = "TokenType | int | str | Iterable[TokenType | int | str] | None"


def type_mask(types: Types, default: int = ALL_TYPES) -> int:
    """A type mask from a TokenType, an int mask, a type name or an iterable of these (and,
    for the batch layer's own members, anything with __index__)."""
    if types is None:
        return default
    if isinstance(types, str) or _is_number(types):
        return _one_type(types)  # type: ignore[arg-type]
    if not isinstance(types, Iterable):
        raise TypeError(f"types must be a TokenType, an int mask, a type name or an iterable "
                        f"of these, not {type(types).__name__} {types!r}")
    mask = 0
    for item in types:
        if not (isinstance(item, str) or _is_number(item)):
            raise TypeError(f"types must hold TokenType members, int masks or type names, "
                            f"not {type(item).__name__} {item!r}")
        mask |= _one_type(item)
    return mask


def _is_number(value: object) -> bool:
    return isinstance(value, int) or (not isinstance(value, Iterable)
                                      and hasattr(type(value), "__index__"))


def _one_type(value: TokenType | int | str) -> int:
    if isinstance(value, str):
        name = value.strip().upper()
        if name not in _BY_NAME:
            raise ValueError(f"unknown token type {value!r}; the types are "
                             f"{', '.join(_BY_NAME)}")
        return _BY_NAME[name]
    if isinstance(value, bool):
        raise TypeError(f"a type mask must be an int, not bool {value!r}")
    mask = operator.index(value)
    if not 0 <= mask <= ALL_TYPES:
        raise ValueError(f"a type mask must be within 0..2**64-1, not {mask}")
    return mask
