#!/usr/bin/env python3
"""Fails when a file under src/ includes a folder above its own layer.

Usage: check-layers.py [SOURCE-ROOT]   (default: the src/ folder beside this script)
       check-layers.py --self-test
"""
import os
import re
import sys
import tempfile

# Top to bottom. A file may include its own folder and every layer below it; folders on one
# line are peers, which do not include each other. The names are the first folder under src/ ("" is a file at the top of src/).
LAYERS = [
    ["", "tools"],                       # main.cpp and Main, the build's own tools
    ["mainwin"],                         # the main window
    ["monitor", "restore", "dialogs"],   # the other windows
    ["ui"],                              # furniture every window uses
    ["app"],                             # state shared for the run, settings
    ["store"],                           # the restore point store: no Qt
    ["platform"],                        # interfaces in plain C++, one folder per platform
]
# Beside the windows, not above them: folders that may include only the ones named.
ASIDE = {"system": ["system", "store", "platform"]}
# Folders at the very bottom: they include nothing of the project's but themselves.
SEALED = ["platform/posix"]
# Folders that build without Qt.
NO_QT = ["store", "system", "platform/posix", "platform/windows"]

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')


def layer_of(folder):
    for rank, names in enumerate(LAYERS):
        if folder in names:
            return rank
    return None


def folder_of(rel):
    parts = rel.split("/")
    return parts[0] if len(parts) > 1 else ""


def check(src):
    problems = []
    for dirpath, _, files in os.walk(src):
        for name in sorted(files):
            if not name.endswith((".h", ".cpp", ".c")):
                continue
            path = os.path.join(dirpath, name)
            rel = os.path.relpath(path, src).replace(os.sep, "/")
            own = folder_of(rel)
            with open(path, encoding="utf-8", errors="replace") as f:
                for number, line in enumerate(f, 1):
                    m = INCLUDE.match(line)
                    if not m:
                        continue
                    kind, target = m.groups()
                    where = "%s:%d" % (rel, number)
                    if kind == "<":
                        if re.match(r"Q[A-Za-z]", target) and any(
                                rel.startswith(n + "/") for n in NO_QT):
                            problems.append("%s: %s builds without Qt but includes <%s>"
                                            % (where, rel.split("/")[0], target))
                        continue
                    local = os.path.normpath(os.path.join(dirpath, target))
                    if os.path.exists(local):
                        resolved = os.path.relpath(local, src).replace(os.sep, "/")
                    elif os.path.exists(os.path.join(src, target)):
                        resolved = target
                    else:
                        continue  # generated (moc) or outside the tree
                    if resolved.startswith("../"):
                        problems.append("%s: includes %s outside the source tree" % (where, target))
                        continue
                    sealed = [n for n in SEALED if rel.startswith(n + "/")]
                    if sealed and not resolved.startswith(sealed[0] + "/"):
                        problems.append("%s: %s/ includes only itself, not %s"
                                        % (where, sealed[0], resolved))
                        continue
                    theirs = folder_of(resolved)
                    if own == theirs:
                        continue
                    if own in ASIDE:
                        if theirs not in ASIDE[own]:
                            problems.append("%s: %s/ may include only %s, not %s"
                                            % (where, own, ", ".join(ASIDE[own]), resolved))
                        continue
                    mine, other = layer_of(own), layer_of(theirs)
                    if mine is None or other is None:
                        problems.append("%s: %s is in no layer" % (
                            where, (own or rel) if mine is None else (theirs or resolved)))
                    elif other < mine:
                        problems.append("%s: includes %s, a layer above %s"
                                        % (where, resolved, own or "the top"))
                    elif other == mine:
                        # Peers know nothing of each other: what two of them share goes below,
                        # and what joins them is done by the layer above.
                        problems.append("%s: includes %s, a peer of %s"
                                        % (where, resolved, own or "the top"))
    return problems


def self_test():
    cases = [  # (file, its include, whether it must pass)
        ("ui/Button.cpp", "mainwin/frmMain.h", False),
        ("mainwin/frmMain.cpp", "ui/Button.h", True),
        ("monitor/frmDialog.cpp", "restore/Service.h", False),
        ("restore/frmRestorePoints.cpp", "monitor/frmRPntOK.h", False),
        ("mainwin/frmMain.cpp", "restore/Service.h", True),
        ("monitor/frmDialog.cpp", "app/Module1.h", True),
        ("store/Store.cpp", "app/Module1.h", False),
        ("system/Hook.cpp", "store/Store.h", True),
        ("system/Hook.cpp", "ui/Button.h", False),
        ("platform/windows/Key.cpp", "app/Module1.h", False),
        ("platform/windows/tests/T.cpp", "../Key.h", True),
        ("store/Store.cpp", "<QString>", False),
        ("platform/posix/Files.cpp", "platform/Api.h", False),
        ("platform/posix/Files.cpp", "Fd.h", True),
        ("platform/posix/Files.cpp", "<QFile>", False),
        ("store/Store.cpp", "platform/posix/Fd.h", True),
    ]
    failed = 0
    for source, include, passes in cases:
        with tempfile.TemporaryDirectory() as tmp:
            for f in ["mainwin/frmMain.h", "ui/Button.h", "restore/Service.h", "app/Module1.h",
                      "store/Store.h", "platform/windows/Key.h", "platform/Api.h", "monitor/frmRPntOK.h",
                      "platform/posix/Fd.h"]:
                os.makedirs(os.path.join(tmp, os.path.dirname(f)), exist_ok=True)
                open(os.path.join(tmp, f), "w").close()
            os.makedirs(os.path.join(tmp, os.path.dirname(source)), exist_ok=True)
            line = "#include %s\n" % (include if include.startswith("<") else '"%s"' % include)
            with open(os.path.join(tmp, source), "w") as f:
                f.write(line)
            if (not check(tmp)) != passes:
                print("self-test: %s including %s should %s" % (source, include,
                                                                "pass" if passes else "fail"))
                failed += 1
    return failed


def main():
    if sys.argv[1:] == ["--self-test"]:
        return 1 if self_test() else 0
    src = sys.argv[1] if len(sys.argv) > 1 else os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "..", "src")
    problems = check(os.path.normpath(src))
    for p in problems:
        print(p)
    if problems:
        print("%d include(s) against the layers (top to bottom: %s; beside: %s)" % (
            len(problems), " > ".join("/".join(n or "main" for n in names) for names in LAYERS),
            ", ".join(ASIDE)))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
