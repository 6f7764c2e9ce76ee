"""The module's public surface: members, their order, docstrings, signatures."""

import inspect

import pytest

import brindxml
from brindxml import Node, SearchType

EXPORTED = ["SearchType", "Node", "read_file", "read_string", "write_file", "write_string"]


def test_all_lists_the_members_in_registration_order():
    assert brindxml.__all__ == EXPORTED
    assert type(brindxml.__all__) is list


def test_public_attributes_are_exactly_the_exported_ones_and_the_internal_error():
    public = sorted(name for name in vars(brindxml) if not name.startswith("_"))
    assert public == sorted([*EXPORTED, "PanicException"])


def test_internal_error_type_is_reachable_but_not_exported():
    # Reachable so that an instance pickles (test_process_edges.py).
    assert "PanicException" not in brindxml.__all__
    assert issubclass(brindxml.PanicException, BaseException)
    assert not issubclass(brindxml.PanicException, Exception)


def test_version_is_the_package_version_outside_all():
    import importlib.metadata
    import pathlib
    import tomllib

    project = tomllib.loads((pathlib.Path(__file__).parents[1] / "pyproject.toml").read_text())["project"]
    assert brindxml.__version__ == project["version"]
    try:  # an installed package also says so in its metadata (a copied module has none)
        assert brindxml.__version__ == importlib.metadata.version("brindxml")
    except importlib.metadata.PackageNotFoundError:
        pass
    assert "__version__" not in brindxml.__all__


def test_module_docstring_is_empty():
    assert brindxml.__doc__ == ""
    assert brindxml.__name__ == "brindxml"


def test_classes_are_types_with_unqualified_names():
    for cls, name in [(Node, "Node"), (SearchType, "SearchType")]:
        assert isinstance(cls, type)
        assert cls.__name__ == name
        assert cls.__qualname__ == name


@pytest.mark.parametrize(
    "name",
    ["read_file", "read_string", "write_file", "write_string"],
)
def test_module_functions_belong_to_the_module(name):
    function = getattr(brindxml, name)
    assert callable(function)
    assert function.__name__ == name
    assert function.__module__ == "brindxml"
    assert function.__self__ is brindxml


# Each callable: how to reach it, its text signature as stored, and the
# signature inspect derives from it (inspect shows the instance of an unbound
# method as positional-only).
SIGNATURES = [
    (lambda: brindxml.read_file, "(file_path, root_tag)", "(file_path, root_tag)"),
    (lambda: brindxml.read_string, "(xml_string, root_tag)", "(xml_string, root_tag)"),
    (
        lambda: brindxml.write_file,
        "(node, file_path, indent=None, default_xml_def=None)",
        "(node, file_path, indent=None, default_xml_def=None)",
    ),
    (
        lambda: brindxml.write_string,
        "(node, indent=None, default_xml_def=None)",
        "(node, indent=None, default_xml_def=None)",
    ),
    (
        lambda: Node,
        "(name, attrs=None, children=None, text=None)",
        "(name, attrs=None, children=None, text=None)",
    ),
    (lambda: getattr(Node, "__to_string"), "($self, spacing=None)", "(self, /, spacing=None)"),
    (lambda: Node.search_by_name, "($self, name, depth=None)", "(self, /, name, depth=None)"),
    (lambda: Node.search_by_attr, "($self, key, depth=None)", "(self, /, key, depth=None)"),
    (lambda: Node.search_by_text, "($self, text, depth=None)", "(self, /, text, depth=None)"),
    (lambda: Node.search, "($self, by, value, depth=None)", "(self, /, by, value, depth=None)"),
    (lambda: Node.from_dict, "($cls, dict_)", "(dict_)"),
    (lambda: Node.to_dict, "($self)", "(self, /)"),
]


@pytest.mark.parametrize(
    "get, text_signature, signature",
    SIGNATURES,
    ids=[s[1] for s in SIGNATURES],
)
def test_text_signatures(get, text_signature, signature):
    target = get()
    assert target.__text_signature__ == text_signature
    assert str(inspect.signature(target)) == signature
    # The docstring holds nothing but the signature.
    assert target.__doc__ in (None, "")
    # No positional-only or keyword-only parameters, no *args or **kwargs.
    parameters = list(inspect.signature(target).parameters.values())
    if text_signature.startswith("($self"):
        parameters = parameters[1:]
    for parameter in parameters:
        assert parameter.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD, parameter


@pytest.mark.parametrize(
    "method, signature",
    [
        ("__to_string", "(spacing=None)"),
        ("search_by_name", "(name, depth=None)"),
        ("search_by_attr", "(key, depth=None)"),
        ("search_by_text", "(text, depth=None)"),
        ("search", "(by, value, depth=None)"),
        ("to_dict", "()"),
    ],
)
def test_bound_method_signatures_drop_the_instance(method, signature):
    assert str(inspect.signature(getattr(Node("a"), method))) == signature


def test_node_properties():
    for member in ["name", "text", "attrs", "children"]:
        assert inspect.isdatadescriptor(vars(Node)[member]), member
    assert Node.children.__doc__ == "Children are shared references to the same nodes, not copies."


def test_node_methods():
    methods = ["__to_string", "search_by_name", "search_by_attr", "search_by_text",
               "search", "from_dict", "to_dict"]
    assert [m for m in methods if m in vars(Node)] == methods


def test_a_second_module_object_shares_the_classes():
    import importlib.util

    found = importlib.util.find_spec("brindxml")
    again = importlib.util.module_from_spec(found)
    found.loader.exec_module(again)
    assert again is not brindxml
    assert again.__all__ == EXPORTED
    # Classes are created once per process; functions belong to their module.
    assert again.Node is Node
    assert again.SearchType is SearchType
    assert again.SearchType.Tag is SearchType.Tag
    assert again.read_string is not brindxml.read_string
    assert again.read_string.__self__ is again
