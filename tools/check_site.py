#!/usr/bin/env python3
"""Checks of the documentation site and of the package's metadata, as a reader
sees them.

    check_site.py links SITE                 every internal link and anchor of
                                             the built site resolves
    check_site.py browser URL SHOTS          the home and API pages open in
                                             headless Chromium without console
                                             errors; screenshots into SHOTS; the
                                             API page names every class
    check_site.py readme README.md           README.md rendered as the package
                                             index renders it has no table rows
                                             left as literal text
    check_site.py classifiers pyproject.toml every classifier is a known one

Each command prints its problems and exits 1 if there are any.
"""

from __future__ import annotations

import html.parser
import os
import re
import sys
import tomllib
from pathlib import Path
from typing import ClassVar
from urllib.parse import unquote, urlsplit

# The classes the API page documents, by their dotted names (the page's anchors).
CLASSES = [
    "norbe.package.version.Version",
    "norbe.package.constraint.Cmp",
    "norbe.package.constraint.CmpType",
    "norbe.package.constraint.Depends",
    "norbe.package.constraint.IfThen",
    "norbe.package.constraint.Maximize",
    "norbe.package.constraint.Minimize",
    "norbe.package.constraint.NumOf",
    "norbe.package.constraint.SpecOption",
    "norbe.package.constraint.Value",
    "norbe.package.outline.PackageOutline",
]

# ------------------------------------------------------------------ links


class _Page(html.parser.HTMLParser):
    """The anchors a page defines and the references it makes."""

    REFERENCES: ClassVar[dict[str, str]] = {
        "a": "href",
        "link": "href",
        "img": "src",
        "script": "src",
        "iframe": "src",
        "source": "src",
    }

    def __init__(self) -> None:
        super().__init__(convert_charrefs=True)
        self.anchors: set[str] = set()
        self.references: list[str] = []

    def handle_starttag(self, tag: str, attrs: list[tuple[str, str | None]]) -> None:
        values = dict(attrs)
        for name in ("id", "name") if tag == "a" else ("id",):
            if values.get(name):
                self.anchors.add(values[name])  # type: ignore[arg-type]
        wanted = self.REFERENCES.get(tag)
        if wanted and values.get(wanted):
            self.references.append(values[wanted])  # type: ignore[arg-type]


def _internal(reference: str) -> bool:
    parts = urlsplit(reference)
    return not parts.scheme and not parts.netloc


def broken_links(site: Path) -> list[str]:
    """One line per internal reference of the site's pages that names a file
    the site lacks, or an anchor its target page does not define."""
    site = site.resolve()
    pages = {}
    for path in sorted(site.rglob("*.html")):
        page = _Page()
        page.feed(path.read_text(encoding="utf-8"))
        pages[path] = page
    problems = []
    for path, page in pages.items():
        for reference in page.references:
            if not _internal(reference):
                continue
            parts = urlsplit(reference)
            target = (path.parent / unquote(parts.path)).resolve() if parts.path else path
            if parts.path.endswith("/") or target.is_dir():
                target = target / "index.html"
            where = f"{path.relative_to(site)}: {reference}"
            if site not in target.parents and target != site:
                problems.append(f"{where}: outside the site")
            elif not target.is_file():
                problems.append(f"{where}: no such file")
            elif parts.fragment and target.suffix == ".html":
                anchors = pages[target].anchors if target in pages else set()
                if unquote(parts.fragment) not in anchors:
                    problems.append(f"{where}: no anchor #{parts.fragment}")
    return problems


# ------------------------------------------------------------------ README


_PARAGRAPH = re.compile(r"<p>(.*?)</p>", re.DOTALL)


def literal_table_rows(rendered_html: str) -> list[str]:
    """The lines of rendered paragraphs that look like markdown table rows:
    a table the renderer did not recognise, shown as text with its pipes."""
    rows = []
    for paragraph in _PARAGRAPH.findall(rendered_html):
        rows += [line for line in paragraph.splitlines() if re.match(r"\s*\|.*\|\s*$", line)]
    return rows


def render_readme(text: str) -> str:
    """README.md as the package index shows it: readme_renderer's markdown
    renderer, the one twine checks with."""
    import readme_renderer.markdown

    rendered = readme_renderer.markdown.render(text)
    if rendered is None:
        raise ValueError("readme_renderer could not render the text")
    return rendered


def readme_problems(path: Path) -> list[str]:
    return [
        f"{path}: table row rendered as text: {row.strip()}"
        for row in literal_table_rows(render_readme(path.read_text()))
    ]


# ------------------------------------------------------------------ classifiers


def classifier_problems(path: Path) -> list[str]:
    import trove_classifiers

    classifiers = tomllib.loads(path.read_text())["project"].get("classifiers", [])
    return [f"{path}: unknown classifier {c!r}" for c in classifiers if c not in trove_classifiers.classifiers]


# ------------------------------------------------------------------ browser


def browser_problems(base_url: str, shots: Path) -> list[str]:
    """Opens the home page and the API page in headless Chromium (Debian's
    chromium and chromedriver, named explicitly so that nothing is fetched),
    saves a screenshot of each, and reports console errors and classes the API
    page does not name."""
    os.environ.setdefault("SE_OFFLINE", "true")
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By

    options = webdriver.ChromeOptions()
    options.binary_location = os.environ.get("CHROMIUM", "/usr/bin/chromium")
    for argument in (
        "--headless=new",
        "--no-sandbox",
        "--disable-gpu",
        "--disable-dev-shm-usage",
        "--window-size=1280,1000",
    ):
        options.add_argument(argument)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    service = Service(executable_path=os.environ.get("CHROMEDRIVER", "/usr/bin/chromedriver"))
    shots.mkdir(parents=True, exist_ok=True)
    problems = []
    driver = webdriver.Chrome(service=service, options=options)
    try:
        for name, page in (("home", "index.html"), ("api", "api.html")):
            driver.get(f"{base_url.rstrip('/')}/{page}")
            title = driver.title
            driver.save_screenshot(str(shots / f"{name}.png"))
            for entry in driver.get_log("browser"):
                if entry.get("level") == "SEVERE":
                    problems.append(f"{page}: console error: {entry.get('message')}")
            if not title:
                problems.append(f"{page}: no title")
            if name == "api":
                ids = set(driver.execute_script("return Array.from(document.querySelectorAll('[id]'), e => e.id)"))
                text = driver.find_element(By.TAG_NAME, "body").text
                for dotted in CLASSES:
                    if dotted not in ids or dotted.rpartition(".")[2] not in text:
                        problems.append(f"{page}: class {dotted} not documented")
            print(f"{page}: {title!r}, screenshot {shots / (name + '.png')}")
    finally:
        driver.quit()
    return problems


# ------------------------------------------------------------------ command line


def main(argv: list[str]) -> int:
    commands = {
        "links": (1, lambda a: broken_links(Path(a[0]))),
        "browser": (2, lambda a: browser_problems(a[0], Path(a[1]))),
        "readme": (1, lambda a: readme_problems(Path(a[0]))),
        "classifiers": (1, lambda a: classifier_problems(Path(a[0]))),
    }
    if not argv or argv[0] not in commands or len(argv) - 1 != commands[argv[0]][0]:
        print(__doc__, file=sys.stderr)
        return 2
    problems = commands[argv[0]][1](argv[1:])
    for problem in problems:
        print(problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
