#!/usr/bin/env python3
"""The include checker on a small tree: each include is allowed or flagged."""
import os
import subprocess
import sys
import tempfile
import unittest

CHECKER = os.path.join(os.path.dirname(__file__), "..", "..", "..", "scripts", "check_includes.py")

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


class CheckIncludes(unittest.TestCase):
    def test_each_include_is_allowed_or_flagged(self):
        with tempfile.TemporaryDirectory() as root:
            with open(os.path.join(root, "rules"), "w") as f:
                f.write(RULES)
            for path, line, allowed in CASES:
                with self.subTest(file=path, include=line):
                    os.makedirs(os.path.join(root, os.path.dirname(path)), exist_ok=True)
                    with open(os.path.join(root, path), "w") as f:
                        f.write(f"// a file\n{line}\n")
                    run = subprocess.run([sys.executable, os.path.abspath(CHECKER), "rules", path], cwd=root,
                                         capture_output=True, text=True)
                    self.assertEqual(run.returncode == 0, allowed, run.stderr)
                    if not allowed:
                        self.assertIn(path, run.stderr)


if __name__ == "__main__":
    unittest.main()
