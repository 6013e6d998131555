#!/usr/bin/env python3
"""The include checker on a small tree: each include is allowed or flagged."""
import importlib.util
import os
import subprocess
import sys
import tempfile
import unittest

CHECKER = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..", "..", "scripts", "check_includes.py"))

RULES = """
library xcb   xcb/*
library qt    Q* Qt*/*
core:                 # no library, no other folder
platform:             core
platform/x11:         platform xcb
app:                  core qt ui/Api.h
app/main.cpp:         platform/x11
ui:                   app
tests:                *
"""

# (file, include line, allowed)
CASES = [
    ("core/a.cpp", '#include "core/b.h"', True),  # its own folder
    ("core/a.cpp", '#include "b.h"', True),  # beside it
    ("core/a.cpp", '#include "platform/media.h"', False),  # a folder not named
    ("core/a.cpp", "#include <vector>", True),  # no library claims it
    ("core/a.cpp", "#include <xcb/xcb.h>", False),  # a library not named
    ("platform/a.h", '#include "core/b.h"', True),
    ("platform/a.h", '#include "platform/x11/c.h"', False),  # a subfolder with a rule of its own
    ("platform/x11/a.cpp", '#include "platform/media.h"', True),
    ("platform/x11/a.cpp", "  #  include <xcb/shm.h>", True),
    ("app/a.cpp", "#include <QString>", True),
    ("app/a.cpp", "#include <QtCore/QObject>", True),
    ("app/a.cpp", '#include "ui/Api.h"', True),  # a file named
    ("app/a.cpp", '#include "ui/Window.h"', False),  # not that one
    ("app/a.cpp", '#include "platform/x11/c.h"', False),
    ("app/main.cpp", '#include "platform/x11/c.h"', True),  # a file's rule adds to its folder's
    ("app/main.cpp", "#include <QString>", True),
    ("ui/a.cpp", "#include <QString>", False),
    ("tests/a.cpp", '#include "platform/x11/c.h"', True),
    ("tools/a.cpp", "#include <vector>", False),  # no rule covers the file
]


def load_checker():
    found = importlib.util.spec_from_file_location("check_includes", CHECKER)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


class CheckIncludes(unittest.TestCase):
    def test_each_include_is_allowed_or_flagged(self):
        checker = load_checker()
        with tempfile.TemporaryDirectory() as root:
            with open(os.path.join(root, "rules"), "w") as f:
                f.write(RULES)
            os.chdir(root)
            for index, (path, line, allowed) in enumerate(CASES):
                with self.subTest(file=path, include=line):
                    path = path.replace("a.", f"a{index}.")  # one file a case
                    os.makedirs(os.path.dirname(path), exist_ok=True)
                    with open(path, "w") as f:
                        f.write(f"// a file\n{line}\n")
                    problems = checker.check("rules", [path])
                    self.assertEqual(not problems, allowed, problems)
            # The command line fails on the tree and names each violating file.
            files = sorted(os.path.join(d, n) for d, _, ns in os.walk(".") for n in ns if n != "rules")
            run = subprocess.run([sys.executable, CHECKER, "rules", *files], capture_output=True, text=True)
            self.assertEqual(run.returncode, 1)
            self.assertEqual(len(run.stderr.splitlines()), sum(1 for case in CASES if not case[2]), run.stderr)


if __name__ == "__main__":
    unittest.main()
