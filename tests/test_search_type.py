"""The SearchType class: its three cached members, their texts and integer
values, equality against other objects, and what the class refuses."""

import operator

import pytest

from brindxml import SearchType

MEMBERS = [
    ("Tag", 0, "SearchType.Tag"),
    ("Attr", 1, "SearchType.Attr"),
    ("Text", 2, "SearchType.Text"),
]


@pytest.mark.parametrize("name, value, text", MEMBERS, ids=[m[0] for m in MEMBERS])
def test_member(name, value, text):
    member = getattr(SearchType, name)
    assert type(member) is SearchType
    assert member is getattr(SearchType, name)
    assert repr(member) == text
    assert str(member) == text
    assert f"{member}" == text
    assert int(member) == value
    assert type(int(member)) is int


def test_members_are_distinct_objects():
    members = [SearchType.Tag, SearchType.Attr, SearchType.Text]
    assert len({id(m) for m in members}) == 3


def test_members_are_not_integers():
    assert not isinstance(SearchType.Attr, int)
    # int() works through the integer-conversion slot, but there is no __index__.
    with pytest.raises(TypeError):
        operator.index(SearchType.Attr)
    with pytest.raises(TypeError):
        ["a", "b", "c"][SearchType.Attr]


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class IntOnly:
    def __int__(self):
        return 1


EQUALITY = [
    # members
    (SearchType.Tag, SearchType.Tag, True),
    (SearchType.Attr, SearchType.Attr, True),
    (SearchType.Tag, SearchType.Attr, False),
    (SearchType.Text, SearchType.Tag, False),
    (SearchType.Attr, SearchType.Text, False),
    # integers compare with the member value
    (SearchType.Tag, 0, True),
    (SearchType.Attr, 1, True),
    (SearchType.Text, 2, True),
    (SearchType.Tag, 1, False),
    (SearchType.Text, 1, False),
    (SearchType.Tag, -1, False),
    (SearchType.Tag, 256, False),
    (SearchType.Attr, 257, False),
    (SearchType.Tag, 2**32, False),
    (SearchType.Tag, 2**64, False),
    (SearchType.Tag, 2**100, False),
    (SearchType.Tag, Index(0), True),
    (SearchType.Text, Index(2), True),
    (SearchType.Text, Index(3), False),
    # bools are integers
    (SearchType.Tag, True, False),
    (SearchType.Attr, True, True),
    (SearchType.Tag, False, True),
    (SearchType.Text, True, False),
    # anything that is not an integer is unequal
    (SearchType.Tag, "Tag", False),
    (SearchType.Tag, "0", False),
    (SearchType.Tag, "SearchType.Tag", False),
    (SearchType.Tag, 0.0, False),
    (SearchType.Attr, 1.0, False),
    (SearchType.Attr, IntOnly(), False),
    (SearchType.Tag, None, False),
    (SearchType.Tag, [], False),
    (SearchType.Tag, object(), False),
    (SearchType.Tag, SearchType, False),
]


@pytest.mark.parametrize("left, right, equal", EQUALITY, ids=range(len(EQUALITY)))
def test_equality(left, right, equal):
    assert (left == right) is equal
    assert (left != right) is (not equal)
    # The reflected forms reach the same comparison.
    assert (right == left) is equal
    assert (right != left) is (not equal)


@pytest.mark.parametrize(
    "compare", [operator.lt, operator.le, operator.gt, operator.ge],
    ids=["<", "<=", ">", ">="],
)
@pytest.mark.parametrize(
    "left, right",
    [
        (SearchType.Tag, SearchType.Attr),
        (SearchType.Tag, SearchType.Tag),
        (SearchType.Attr, 0),
        (1, SearchType.Attr),
        (SearchType.Text, "x"),
    ],
)
def test_orderings_are_refused(compare, left, right):
    with pytest.raises(TypeError):
        compare(left, right)


@pytest.mark.parametrize("member", [SearchType.Tag, SearchType.Attr, SearchType.Text])
def test_members_are_unhashable(member):
    with pytest.raises(TypeError):
        hash(member)
    with pytest.raises(TypeError):
        {member}
    with pytest.raises(TypeError):
        {member: 1}


@pytest.mark.parametrize(
    "create",
    [
        lambda: SearchType(),
        lambda: SearchType(0),
        lambda: SearchType("Tag"),
        lambda: type(SearchType.Tag)(1),
        lambda: object.__new__(SearchType),
    ],
)
def test_no_instances_can_be_made(create):
    with pytest.raises(TypeError):
        create()


def test_not_subclassable():
    with pytest.raises(TypeError):
        class Criterion(SearchType):
            pass


def test_class_names():
    assert SearchType.__name__ == "SearchType"
    assert SearchType.__qualname__ == "SearchType"
