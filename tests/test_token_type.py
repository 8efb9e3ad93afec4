import operator
import pickle

import pytest

import vorlentaCXX
from vorlentaCXX import TokenType

MEMBERS = [
    ("NOTTKN", 0), ("WRDSPC", 1), ("NWLINE", 2), ("ENWORD", 4),
    ("NUMBER", 8), ("RUWORD", 16), ("PNCTTN", 32), ("UNKNWN", 64),
]


def test_members_in_order_with_their_values():
    assert [(name, int(m)) for name, m in TokenType.__members__.items()] == MEMBERS
    for name, value in MEMBERS:
        member = getattr(TokenType, name)
        assert member.value == value and member.name == name
        assert operator.index(member) == value and hash(member) == value
        assert getattr(vorlentaCXX, name) is member


def test_module_attributes_registered_in_order():
    names = [n for n in vars(vorlentaCXX) if not n.startswith("__")]
    assert names[:9] == ["TokenType"] + [name for name, _ in MEMBERS]


def test_or_gives_a_plain_int_mask():
    mask = TokenType.ENWORD | TokenType.RUWORD
    assert mask == 20 and type(mask) is int
    assert TokenType.NOTTKN | TokenType.NOTTKN == 0
    assert (TokenType.ENWORD | TokenType.NUMBER) | int(TokenType.RUWORD) == 28


@pytest.mark.parametrize("expr", [
    lambda: TokenType.ENWORD | 4,
    lambda: 4 | TokenType.ENWORD,
    lambda: TokenType.ENWORD | TokenType.NUMBER | TokenType.RUWORD,
    lambda: TokenType.ENWORD & TokenType.ENWORD,
    lambda: TokenType.ENWORD ^ TokenType.ENWORD,
    lambda: ~TokenType.ENWORD,
    lambda: TokenType.ENWORD + TokenType.ENWORD,
])
def test_no_other_operators(expr):
    with pytest.raises(TypeError):
        expr()


def test_comparisons_only_between_members():
    assert (TokenType.ENWORD == 4) is False
    assert (TokenType.ENWORD != 4) is True
    assert TokenType.ENWORD < TokenType.NUMBER
    assert TokenType.RUWORD >= TokenType.NUMBER
    with pytest.raises(TypeError, match="Expected an enumeration of matching type!"):
        TokenType.ENWORD < 8


def test_str_repr_and_doc():
    assert str(TokenType.ENWORD) == "TokenType.ENWORD"
    assert repr(TokenType.UNKNWN) == "<TokenType.UNKNWN: 64>"
    assert TokenType.__doc__ == "Members:" + "".join(f"\n\n  {name}" for name, _ in MEMBERS)
    assert TokenType.__module__ == "vorlentaCXX"


def test_construction_from_any_64_bit_value():
    assert TokenType(4) == TokenType.ENWORD and TokenType(4) is not TokenType.ENWORD
    assert TokenType(value=16) == TokenType.RUWORD
    odd = TokenType(3)
    assert all(odd != m for m in TokenType.__members__.values())
    assert int(TokenType(2**64 - 1)) == 2**64 - 1
    for bad in (-1, 2**64, 4.0, "4", None):
        with pytest.raises(TypeError):
            TokenType(bad)


def test_pickles_by_value():
    for member in TokenType.__members__.values():
        again = pickle.loads(pickle.dumps(member))
        assert again == member and type(again) is TokenType
