"""The checks of the documentation site and the README find what they look
for: broken internal links and anchors, table rows rendered as text, unknown
classifiers."""

import importlib.util
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
if not (ROOT / "tools" / "check_site.py").exists():
    pytest.skip("not run from a work tree", allow_module_level=True)

_spec = importlib.util.spec_from_file_location("check_site", ROOT / "tools" / "check_site.py")
CHECK = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(CHECK)


@pytest.fixture
def site(tmp_path):
    """A small site: index.html, api.html with anchors, a folder page, a style."""
    (tmp_path / "guide").mkdir()
    (tmp_path / "guide" / "index.html").write_text('<h1 id="top">guide</h1>')
    (tmp_path / "api.html").write_text('<dt id="norbe.Cmp">Cmp</dt><a name="old-anchor"></a><p id="a b">x</p>')
    (tmp_path / "style.css").write_text("")
    return tmp_path


@pytest.mark.parametrize(
    "reference, problem",
    [
        ("api.html", None),
        ("api.html#norbe.Cmp", None),
        ("api.html#old-anchor", None),
        ("api.html#a%20b", None),
        ("#here", None),
        ("guide/", None),
        ("guide", None),
        ("guide/#top", None),
        ("style.css", None),
        ("api.html?highlight=x#norbe.Cmp", None),
        ("https://example.org/missing.html", None),
        ("mailto:someone@example.org", None),
        ("missing.html", "no such file"),
        ("api.html#norbe.Depends", "no anchor #norbe.Depends"),
        ("#nowhere", "no anchor #nowhere"),
        ("guide/#bottom", "no anchor #bottom"),
        ("../outside.html", "outside the site"),
        ("img/logo.png", "no such file"),
    ],
)
def test_internal_references(site, reference, problem):
    tag = f'<img src="{reference}">' if reference.endswith(".png") else f'<a href="{reference}">x</a>'
    (site / "index.html").write_text(f'<p id="here">{tag}</p>')
    problems = CHECK.broken_links(site)
    if problem is None:
        assert problems == []
    else:
        assert len(problems) == 1 and problems[0].startswith(f"index.html: {reference}: {problem}")


def test_links_from_pages_in_folders_resolve_from_their_folder(site):
    (site / "guide" / "index.html").write_text('<a href="../api.html#norbe.Cmp">x</a><a href="api.html">y</a>')
    (site / "index.html").write_text("")
    assert CHECK.broken_links(site) == ["guide/index.html: api.html: no such file"]


TABLE = "| command | what |\n|---|---|\n| `a` | one |\n| `b` | two |\n"


@pytest.mark.parametrize(
    "markdown, literal",
    [
        (TABLE, []),
        # A blank line ends the table: the rows after it are a paragraph.
        (TABLE.replace("| `b`", "\n| `b`"), ["| <code>b</code> | two |"]),
        (TABLE + "\n| `c` | three |\n| `d` | four |\n", ["| <code>c</code> | three |", "| <code>d</code> | four |"]),
        # Pipes inside a sentence or a code block are not table rows.
        ("Run `a | b` to pipe, or use a | b in prose.\n", []),
        ("    | not | a table |\n", []),
        ("```\n| also | code |\n```\n", []),
    ],
)
def test_table_rows_rendered_as_text(markdown, literal):
    pytest.importorskip("readme_renderer")
    pytest.importorskip("comrak")  # readme_renderer's markdown engine (its [md] extra)
    assert CHECK.literal_table_rows(CHECK.render_readme(markdown)) == literal


def test_readme_renders_without_literal_rows():
    pytest.importorskip("readme_renderer")
    pytest.importorskip("comrak")  # readme_renderer's markdown engine (its [md] extra)
    assert CHECK.readme_problems(ROOT / "README.md") == []


@pytest.mark.parametrize(
    "classifier, known",
    [
        ("Programming Language :: Python :: 3.15", True),
        ("Programming Language :: Python :: Free Threading :: 3 - Stable", True),
        ("Programming Language :: Python :: Free Threading :: Stable", False),
        ("Programming Language :: Python :: 3.99", False),
    ],
)
def test_classifiers(tmp_path, classifier, known):
    pytest.importorskip("trove_classifiers")
    path = tmp_path / "pyproject.toml"
    path.write_text(f'[project]\nname = "x"\nclassifiers = ["{classifier}"]\n')
    assert (CHECK.classifier_problems(path) == []) == known


def test_the_project_classifiers_are_known():
    pytest.importorskip("trove_classifiers")
    assert CHECK.classifier_problems(ROOT / "pyproject.toml") == []


def test_docs_requirements_list_the_docs_dependency_group():
    """docs/requirements.txt serves pip before 25.1: the same list as the group."""
    import tomllib

    group = tomllib.loads((ROOT / "pyproject.toml").read_text())["dependency-groups"]["docs"]
    lines = (ROOT / "docs" / "requirements.txt").read_text().splitlines()
    assert [line for line in lines if line and not line.startswith("#")] == group
