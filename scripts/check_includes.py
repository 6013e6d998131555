#!/usr/bin/env python3
"""Checks every #include of the given files against the include rules.

    scripts/check_includes.py RULES FILE...   (paths relative to the current directory)

RULES holds two kinds of lines ('#' starts a comment):
    library NAME PATTERN...  the headers of a library, as shell patterns on the include path
    KEY: ENTRY...            what the files under KEY may include

A file follows the longest folder KEY that holds it; a KEY naming a single file
adds its entries to that folder's. A file may include the headers of its own
folder, of every folder ENTRY (a folder's subfolders with a rule of their own
are not part of it), every file ENTRY, and the headers of every library ENTRY;
"*" allows anything. Quoted includes are the tree's own (relative to the tree,
or to the including file when they name no folder); angle-bracket includes are
checked only when a library claims them. Exits 1 and names each include that
crosses the rules, or each file no rule covers.
"""
import fnmatch
import os
import re
import sys

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')


def is_file_key(key):
    return "." in key.rsplit("/", 1)[-1]


def read_rules(path):
    libraries, rules = {}, {}
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            words = line.split("#", 1)[0].split()
            if not words:
                continue
            if words[0] == "library" and len(words) >= 3:
                libraries[words[1]] = words[2:]
            elif words[0].endswith(":"):
                rules[words[0][:-1].rstrip("/")] = set(words[1:])
            else:
                sys.exit(f"{path}:{number}: neither 'library NAME PATTERN...' nor 'KEY: ENTRY...'")
    return libraries, rules


def owner(path, folders):
    """The longest folder key holding `path`, or None."""
    best = None
    for key in folders:
        if path.startswith(key + "/") and (best is None or len(key) > len(best)):
            best = key
    return best


def check(rules_path, files):
    libraries, rules = read_rules(rules_path)
    folders = [k for k in rules if not is_file_key(k)]
    problems = []
    for name in files:
        path = os.path.normpath(name)
        folder = owner(path, folders)
        if folder is None:
            problems.append(f"{path}: no include rule covers this file")
            continue
        allowed = rules[folder] | rules.get(path, set())
        with open(name, encoding="utf-8", errors="replace") as f:
            for number, line in enumerate(f, 1):
                m = INCLUDE.match(line)
                if not m or "*" in allowed:
                    continue
                quoted, target = m.group(1) == '"', m.group(2)
                library = next((lib for lib, pats in libraries.items()
                                if any(fnmatch.fnmatchcase(target, p) for p in pats)), None)
                if library is not None:
                    if library not in allowed:
                        problems.append(f"{path}:{number}: {folder} may not include <{target}> ({library})")
                    continue
                if not quoted:
                    continue
                resolved = target if "/" in target else os.path.join(os.path.dirname(path), target)
                resolved = os.path.normpath(resolved)
                at = owner(resolved, folders)
                if at != folder and at not in allowed and resolved not in allowed:
                    problems.append(f"{path}:{number}: {folder} may not include \"{target}\" ({at or 'no rule'})")
    return problems


def main(argv):
    if len(argv) < 2:
        sys.exit(__doc__)
    problems = check(argv[1], argv[2:])
    for p in problems:
        print(p, file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
