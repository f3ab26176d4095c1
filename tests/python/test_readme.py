"""The README's usage session runs as written and prints what the README shows."""

import pathlib
import re
import subprocess
import sys

README = pathlib.Path(__file__).parents[2] / "README.md"


def use_section():
    text = README.read_text(encoding="utf-8")
    section = re.search(r"^## Use\n(.*?)(?=^## )", text, re.S | re.M)
    assert section, "README.md has no '## Use' section"
    return section.group(1)


def fenced(section, language):
    blocks = re.findall(rf"^```{language}\n(.*?)^```$", section, re.S | re.M)
    assert len(blocks) == 1, f"expected one ```{language} block in the Use section, found {len(blocks)}"
    return blocks[0]


def test_usage_block_prints_what_the_readme_shows(tmp_path):
    section = use_section()
    # A fresh interpreter in an empty folder, as a reader pasting the block would run it.
    run = subprocess.run([sys.executable, "-c", fenced(section, "python")], cwd=tmp_path,
                         capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stderr
    assert run.stdout == fenced(section, "text")
