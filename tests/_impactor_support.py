"""Helpers of the impactor tests (their fixtures are in conftest.py): the module as an
import gives it and a served result tree."""

import importlib
import itertools

tree_numbers = itertools.count()


def load_impactor():
    """The module as `import varkit.impactor` gives it (imported afresh once removed from
    sys.modules)."""
    return importlib.import_module("varkit.impactor")


class Tree:
    """A folder served over HTTP: `dir` on disk, `url` (ending in "/") remotely."""

    def __init__(self, directory, url):
        self.dir = directory
        self.url = url

    def write(self, relative, text=""):
        path = self.dir / relative
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text, encoding="utf-8")
        return path

    def mkdir(self, relative):
        (self.dir / relative).mkdir(parents=True, exist_ok=True)
