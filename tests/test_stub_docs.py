"""The docstrings of the type stubs: every public name has one, they land on
the right definitions of the generated stubs, their examples and quoted
messages match the module's behaviour."""

import ast
import doctest
import importlib.util
import inspect
import re
from pathlib import Path

import norbe
import pytest
from norbe.package import constraint, outline, version

ROOT = Path(__file__).resolve().parent.parent
if not (ROOT / "tools" / "stub_docs.py").exists():
    pytest.skip("not run from a work tree", allow_module_level=True)


def _load(name):
    spec = importlib.util.spec_from_file_location(name, ROOT / "tools" / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


TOOL = _load("api_records")
RECORDS = TOOL.read_records(Path(norbe.__file__))
DOCS = TOOL.load_docs()
GLOBALS = {name: getattr(m, name) for m in (constraint, outline, version) for name in m.__all__}


def test_every_public_name_has_a_docstring():
    assert [name for name in TOOL.documentable(RECORDS) if name not in DOCS] == []


def _stub_docstrings():
    """Record id -> docstring, read back from the committed stub files."""
    found = {}

    def walk(body, prefix):
        for index, node in enumerate(body):
            if isinstance(node, ast.ClassDef):
                name = f"{prefix}.{node.name}"
                found[name] = ast.get_docstring(node)
                walk(node.body, name)
            elif isinstance(node, ast.FunctionDef):
                setter = any(isinstance(d, ast.Attribute) and d.attr == "setter" for d in node.decorator_list)
                found[f"{prefix}.{node.name}" + (".setter" if setter else "")] = ast.get_docstring(node)
            elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
                following = body[index + 1] if index + 1 < len(body) else None
                text = None
                if isinstance(following, ast.Expr) and isinstance(following.value, ast.Constant):
                    text = inspect.cleandoc(following.value.value)
                found[f"{prefix}.{node.target.id}"] = text

    for path in sorted((ROOT / "norbe-stubs").rglob("*.pyi")):
        parts = ["norbe", *path.relative_to(ROOT / "norbe-stubs").with_suffix("").parts]
        if parts[-1] == "__init__":
            parts.pop()
        tree = ast.parse(path.read_text())
        found[".".join(parts)] = ast.get_docstring(tree)
        walk(tree.body, ".".join(parts))
    return found


STUB_DOCS = _stub_docstrings()


@pytest.mark.parametrize("name", TOOL.documentable(RECORDS))
def test_each_docstring_sits_on_its_definition_in_the_stubs(name):
    assert STUB_DOCS[name] == DOCS[name]


@pytest.mark.parametrize("name", [r["id"] for r in RECORDS if r["id"].endswith(".setter")])
def test_setters_carry_no_docstring(name):
    assert STUB_DOCS[name] is None


EXAMPLES = sorted(name for name, text in DOCS.items() if ">>>" in text)


@pytest.mark.parametrize("name", EXAMPLES)
def test_docstring_examples_run(name):
    parser = doctest.DocTestParser()
    test = parser.get_doctest(DOCS[name], dict(GLOBALS), name, None, 0)
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    output = []
    runner.run(test, out=output.append)
    assert runner.failures == 0, "".join(output)


# One object per comparing class whose text is the one its docstrings quote.
SAMPLES = {
    "Cmp": lambda: constraint.Depends("a") == True,
    "Depends": lambda: constraint.Depends("a"),
    "IfThen": lambda: constraint.IfThen(constraint.Depends("a"), constraint.Depends("b")),
    "Maximize": lambda: constraint.Maximize(constraint.NumOf([])),
    "Minimize": lambda: constraint.Minimize(2.5),
    "NumOf": lambda: constraint.NumOf([constraint.Depends("a")]),
    "SpecOption": lambda: constraint.SpecOption("p", "o"),
    "Value": lambda: (constraint.NumOf([]) >= 2).rhs,
}
QUOTED = re.compile(r"``(Cannot\s+compare\s+type\s.*?)``", re.DOTALL)


@pytest.mark.parametrize("method", ["__lt__", "__le__", "__eq__", "__ne__", "__gt__", "__ge__"])
@pytest.mark.parametrize("cls", sorted(SAMPLES))
def test_quoted_refusal_is_what_the_operator_raises(cls, method):
    """The docstring's example message, with the operand it names, is raised."""
    (quoted,) = QUOTED.findall(DOCS[f"norbe.package.constraint.{cls}.{method}"])
    quoted = " ".join(quoted.split())
    operand = {"true": True, "1": 1, "2.5": 2.5}[re.search(r"from constraint (\S+) using", quoted).group(1)]
    with pytest.raises(NotImplementedError) as caught:
        getattr(SAMPLES[cls](), method)(operand)
    assert " ".join(str(caught.value).split()) == quoted


@pytest.mark.parametrize(
    "text",
    [
        "one line",
        'ends in a quote: InvalidPart("a")',
        'InvalidPart("a\\"b") has a backslash',
        'three quotes """ inside',
        "first\n\n    indented\nlast",
        '"starts with a quote"\nand goes on',
    ],
)
@pytest.mark.parametrize("indent", ["", "        "])
def test_docstring_literal_reads_back_as_its_text(text, indent):
    source = "def f():\n" + "\n".join(TOOL.docstring_lines(text, indent + "    ")) + "\n"
    namespace = {}
    exec(compile(source, "<stub>", "exec"), namespace)
    assert inspect.cleandoc(namespace["f"].__doc__) == text


def test_a_docstring_for_a_name_without_record_is_refused():
    with pytest.raises(ValueError, match="norbe.package.constraint.Depends.name"):
        TOOL.render_stubs(RECORDS, {**DOCS, "norbe.package.constraint.Depends.name": "gone"})


def test_runtime_docstrings_stay_the_fixed_texts():
    assert constraint.Depends.__doc__ == "" and constraint.Value.__doc__ is None
    assert (
        version.Version.__doc__ == "A generic version.\n\nSee the documentation for this module for more information."
    )
