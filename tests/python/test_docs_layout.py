"""The documentation's code blocks as a reader gets them: every line fits the column of
the built site, and a session block's copy button gives code the interpreter accepts."""

import codeop
import json
import os
import pathlib
import re
import shutil
import subprocess

import pytest

TOP = pathlib.Path(__file__).resolve().parents[2]
PAGES = sorted([TOP / "README.md", *(TOP / "docs").rglob("*.md")])

# Characters a code line holds at a window width of 1280 px (tools/screenshots.sh
# prints the measure: 656 px of 8.18 px per character, 80), less one for the fonts
# that run a little wider.
CODE_COLUMNS = 79

FENCE = re.compile(r"^\s*(```|~~~)")


def code_blocks(page):
    """The fenced blocks of a page, each as a list of (line number, text)."""
    blocks, inside = [], None
    for number, line in enumerate(page.read_text(encoding="utf-8").splitlines(), 1):
        fence = FENCE.match(line)
        if fence and inside in (None, fence.group(1)):
            inside = None if inside else fence.group(1)
            if inside:
                blocks.append([])
        elif inside:
            blocks[-1].append((number, line))
    return blocks


def code_lines(page):
    return [line for block in code_blocks(page) for line in block]


def sessions(page):
    """The text of each block that starts with a >>> prompt, dedented like a list item's."""
    for block in code_blocks(page):
        indent = min((len(t) - len(t.lstrip()) for _, t in block if t.strip()), default=0)
        text = "\n".join(line[indent:] for _, line in block)
        if text.startswith(">>> "):
            yield block[0][0], text


@pytest.mark.parametrize("page", PAGES, ids=lambda p: str(p.relative_to(TOP)))
def test_code_lines_fit_the_column(page):
    wide = [f"{page.relative_to(TOP)}:{n}: {len(line)} characters"
            for n, line in code_lines(page) if len(line) > CODE_COLUMNS]
    assert not wide, (f"wider than the {CODE_COLUMNS} characters a code line holds "
                      f"at 1280 px; wrap them:\n" + "\n".join(wide))


def copied(texts):
    """What the site's copy button gives for each session text, as the browser runs it."""
    node = shutil.which("node")
    if node is None:
        pytest.skip("needs node to run the site's copy script")
    script = ("const {sessionCode} = require(process.argv[1]);"
              "const texts = JSON.parse(require('fs').readFileSync(0, 'utf8'));"
              "process.stdout.write(JSON.stringify(texts.map(sessionCode)));")
    env = {k: v for k, v in os.environ.items()
           if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "PYTHONMALLOC")}
    run = subprocess.run([node, "-e", script, TOP / "docs/javascripts/session-copy.js"],
                         input=json.dumps(texts), capture_output=True, text=True,
                         env=env, timeout=30, check=True)
    return json.loads(run.stdout)


def test_a_copied_session_pastes_into_the_interpreter():
    found = [(f"{page.relative_to(TOP)}:{n}", text)
             for page in PAGES for n, text in sessions(page)]
    for (where, _), code in zip(found, copied([text for _, text in found]), strict=True):
        assert ">>>" not in code and code.strip(), where
        # Line by line, as the interactive interpreter reads a paste.
        pending = []
        for line in code.splitlines() + [""]:
            pending.append(line)
            try:
                if codeop.compile_command("\n".join(pending), where, "single"):
                    pending = []
            except SyntaxError as error:
                pytest.fail(f"{where}: the copied code is not valid at {line!r}: {error}")
