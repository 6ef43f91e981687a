"""Every link of the README and of the guides in docs/ to a file of the
repository leads to a file that exists, every guide in docs/ can be
reached from the README, and every copy of the CI recipe is the one that is
run."""

import glob
import os
import re

import pytest

# [text](target) and [text]: target, in Markdown; images too.
LINK = re.compile(r"\[[^\]]*\]\(\s*<?([^)\s>]+)>?(?:\s+\"[^\"]*\")?\s*\)|^\s*\[[^\]]+\]:\s*(\S+)",
                  re.MULTILINE)


def pages(source_dir):
    return [os.path.join(source_dir, "README.md")] + sorted(
        glob.glob(os.path.join(source_dir, "docs", "*.md")))


def local_links(page):
    """The targets of page's links that are files of the repository, as
    paths, with any #anchor cut off."""
    with open(page, encoding="utf-8") as f:
        text = re.sub(r"```.*?```", "", f.read(), flags=re.DOTALL)  # code is not a link
    for match in LINK.finditer(text):
        target = match.group(1) or match.group(2)
        if re.match(r"[a-z][a-z0-9+.-]*:", target) or target.startswith("#"):
            continue  # a web address, mail, or a place in the same page
        yield os.path.normpath(os.path.join(os.path.dirname(page), target.split("#")[0]))


def test_every_link_to_a_repository_file_resolves(source_dir):
    broken = []
    for page in pages(source_dir):
        for path in local_links(page):
            if not os.path.exists(path):
                broken.append("%s -> %s" % (os.path.relpath(page, source_dir),
                                            os.path.relpath(path, source_dir)))
    assert not broken, "links to files that do not exist:\n" + "\n".join(broken)


def test_every_guide_is_reached_from_the_readme(source_dir):
    readme = os.path.join(source_dir, "README.md")
    reached = set(local_links(readme))
    guides = set(os.path.normpath(p) for p in glob.glob(os.path.join(source_dir, "docs", "*.md")))
    if not guides:
        pytest.fail("no guide in docs/")
    assert guides <= reached, "not linked from the README: %s" % ", ".join(
        sorted(os.path.relpath(p, source_dir) for p in guides - reached))


def ci_recipe(page):
    with open(page, encoding="utf-8") as f:
        found = re.search(r"<!-- ci-recipe -->\n```sh\n(.*?)```", f.read(), re.DOTALL)
    return found.group(1) if found else None


def test_every_copy_of_the_ci_recipe_is_the_one_that_is_run(source_dir):
    # docs/station-checking.md holds the recipe a process test runs; a copy
    # marked <!-- ci-recipe --> on another page must not drift from it.
    documented = ci_recipe(os.path.join(source_dir, "docs", "station-checking.md"))
    assert documented, "no CI recipe in docs/station-checking.md"
    copies = {os.path.relpath(p, source_dir): ci_recipe(p) for p in pages(source_dir)}
    assert copies["README.md"] == documented
    drifted = [name for name, recipe in copies.items() if recipe is not None and recipe != documented]
    assert not drifted, "CI recipes that differ from docs/station-checking.md's: %s" % drifted
