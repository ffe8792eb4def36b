"""Signatures of the Python API, and the API records exported by the shared object."""

import importlib.util
import inspect
import types
from pathlib import Path

import pytest

import norbe
from norbe.package.constraint import Cmp, CmpType, Depends, IfThen, Maximize, Minimize, NumOf, SpecOption
from norbe.package.outline import PackageOutline
from norbe.package.version import Version

ROOT = Path(__file__).resolve().parent.parent


def _load_tool():
    spec = importlib.util.spec_from_file_location("api_records", ROOT / "tools" / "api_records.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


TOOL = _load_tool()
RECORDS = TOOL.read_records(Path(norbe.__file__))
BY_ID = {record["id"]: record for record in RECORDS}


def _runtime(path):
    obj = norbe
    for name in path.split(".")[1:]:
        obj = getattr(obj, name)
    return obj


@pytest.mark.parametrize(
    "callable_, text",
    [
        (Cmp, "(lhs, rhs, op)"),
        (Depends, "(name)"),
        (IfThen, "(cond, then)"),
        (Maximize, "(item)"),
        (Minimize, "(item)"),
        (NumOf, "(of)"),
        (SpecOption, "(package_name, option_name)"),
        (PackageOutline, "(name, constraints=None, set_options=None, set_defaults=None, **kwargs)"),
        (Version, "(ver)"),
        (Cmp.if_then, "(self, /, then)"),
        (Cmp(1, 2, CmpType.Less).if_then, "(then)"),
        (norbe.main_entry, "()"),
        (norbe.init_tracing, "()"),
        (Cmp.__lt__, "(self, value, /)"),
        (CmpType.__int__, "(self, /)"),
    ],
)
def test_signatures(callable_, text):
    assert str(inspect.signature(callable_)) == text


def test_records_form_one_tree():
    assert len(BY_ID) == len(RECORDS)
    for record in RECORDS:
        assert record["symbol"] == "norbe_api_record_" + record["id"].replace(".", "_")
        if record["parent"] is None:
            assert record["id"] == "norbe"
        else:
            assert record["id"] in BY_ID[record["parent"]]["members"]
        for member in record.get("members", []):
            assert BY_ID[member]["parent"] == record["id"]


def test_records_name_exactly_the_registered_api():
    modules = {r["id"] for r in RECORDS if r["type"] == "module"}
    assert modules == {"norbe", "norbe.package", "norbe.package.outline", "norbe.package.constraint",
                       "norbe.package.version"}
    registered = {}
    for module_id in modules:
        module = _runtime(module_id)
        record = BY_ID[module_id]
        assert [BY_ID[m]["name"] for m in record["members"]] == module.__all__
        assert record["incomplete"] is False
        for name in module.__all__:
            registered[f"{module_id}.{name}"] = type(getattr(module, name)).__name__
    described = {r["id"]: r["type"] for r in RECORDS if r["parent"] in modules}
    kinds = {"module": "module", "type": "class", "builtin_function_or_method": "function"}
    assert described == {path: kinds[kind] for path, kind in registered.items()}
    assert not {"Coroutine", "release_waiter"} & {r["name"] for r in RECORDS}


def _parameters(record, signature=None):
    """(name, kind, default text) of a record's arguments, or of a runtime
    signature. Positional-only names are left out: slot wrappers call the
    operand `value` where the records say `rhs`."""
    if signature is not None:
        entries = [(p.name, p.kind, None if p.default is p.empty else repr(p.default))
                   for p in signature.parameters.values()]
    else:
        arguments = record["arguments"]
        entries = [(a["name"], inspect.Parameter.POSITIONAL_ONLY, a["default"]) for a in arguments["posonlyargs"]]
        entries += [(a["name"], inspect.Parameter.POSITIONAL_OR_KEYWORD, a["default"]) for a in arguments["args"]]
        if arguments["kwarg"]:
            entries.append((arguments["kwarg"]["name"], inspect.Parameter.VAR_KEYWORD, None))
    return [(None if kind == inspect.Parameter.POSITIONAL_ONLY else name, kind, default)
            for name, kind, default in entries]


@pytest.mark.parametrize("function_id", ["norbe.init_tracing", "norbe.main_entry"])
def test_function_records_match_the_runtime(function_id):
    record = BY_ID[function_id]
    assert _parameters(record) == _parameters(None, inspect.signature(_runtime(function_id)))
    assert (record["returns"], record["decorators"]) == ("None", [])


@pytest.mark.parametrize("class_id", [r["id"] for r in RECORDS if r["type"] == "class"])
def test_class_members_match_the_runtime(class_id):
    cls = _runtime(class_id)
    assert BY_ID[class_id]["decorators"] == ["typing.final"]
    assert not cls.__flags__ & (1 << 10)  # Py_TPFLAGS_BASETYPE: cannot be subclassed
    for member in (BY_ID[m] for m in BY_ID[class_id]["members"]):
        name, decorators = member["name"], member["decorators"]
        if decorators == ["classattr"]:
            assert type(vars(cls)[name]) is cls
        elif decorators in (["property"], [f"{name}.setter"]):
            assert isinstance(vars(cls)[name], types.GetSetDescriptorType)
        elif name == "__new__":
            # The class's signature is its constructor's without cls.
            assert _parameters(member)[1:] == _parameters(None, inspect.signature(cls))
        else:
            assert _parameters(member) == _parameters(None, inspect.signature(vars(cls)[name]))


def test_committed_stubs_match_the_records():
    committed = ROOT / "norbe-stubs"
    if not committed.is_dir():
        pytest.skip("not run from a work tree")
    assert TOOL.check_stubs(TOOL.render_stubs(RECORDS), committed) == []
