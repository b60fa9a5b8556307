# The documentation site: Sphinx with the furo theme, pages in Markdown (MyST).
# Built by tools/docs.sh (tools/run.sh docs) into build/docs/.
import re
from pathlib import Path

root = Path(__file__).resolve().parent.parent

project = "tarnwick"
author = "The tarnwick developers"
copyright = "2026, the tarnwick developers"
release = re.search(r'^version = "([^"]+)"', (root / "pyproject.toml").read_text(), re.M)[1]
version = release

extensions = ["myst_parser"]
myst_enable_extensions = ["colon_fence", "fieldlist"]
myst_heading_anchors = 3
source_suffix = {".md": "markdown"}
# design.md is the developers' note on the implementation, not a user's page.
exclude_patterns = ["design.md"]

html_theme = "furo"
html_title = f"tarnwick {release}"
html_static_path = ["_static"]
html_css_files = ["tables.css"]
pygments_style = "friendly"
pygments_dark_style = "monokai"

# Every reference must resolve. Nothing is fetched from other projects' sites,
# so the builtins that the API reference names stay plain text.
nitpicky = True
nitpick_ignore_regex = [
    (r"py:(class|exc|obj)", r"(int|str|bool|list|None|object|BaseException|TypeError|"
     r"OverflowError|RuntimeError|Callable.*|Coroutine.*|Awaitable.*)"),
]
