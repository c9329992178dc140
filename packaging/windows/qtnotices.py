#!/usr/bin/python3
# SPDX-FileCopyrightText: The Sonvale authors
# SPDX-License-Identifier: GPL-3.0-or-later
"""Collects the licence notices of a Qt build, for the Windows release.

    qtnotices.py SOURCE BUILD OUTPUT

Run by scripts/windows.sh after Qt for Windows has been built, while its
source and build trees are still there. Qt's source names each third-party
component it carries in qt_attribution.json files, with its licence and its
files; the build's dependency graph (ninja's inputs and the compilers' header
dependencies) tells which files went into each DLL and plugin. OUTPUT gets:

  Qt-LGPL-3.0-only.txt, Qt-GPL-3.0-only.txt   Qt's own licence texts
  Qt-3rdparty-<Id>.txt                       one notice per component that
                                             the build compiled into a DLL
  manifest.txt                               "<DLL> <Id> <Id> ..." a line for
                                             each DLL and plugin, its path as
                                             the release lays it out
                                             (Qt6Core.dll, platforms/qwindows.dll)
"""

import json
import os
import subprocess
import sys
from pathlib import Path

# The files of components whose notice does not name them: util/gradientgen
# makes the gradient table that QtGui compiles in; the Core Foundation event
# dispatcher shares its folder with code every platform builds.
FILES_OF = {
    "webgradients": ["src/gui/painting/webgradients.cpp"],
    "qeventdispatcher_cf": ["src/corelib/kernel/qeventdispatcher_cf.mm"],
}


def attributions(source):
    """Every component Qt's source names, with the folder of its file."""
    for path in sorted(source.rglob("qt_attribution.json")):
        relative = path.relative_to(source).as_posix()
        if relative.startswith(("tests/", "examples/", "cmake/")):
            continue    # test data and build scripts: nothing of them ships
        # Qt's files are JSON but for line breaks inside strings and repeated
        # keys (the last one counts).
        data = json.loads(path.read_text(encoding="utf-8"), strict=False)
        for entry in data if isinstance(data, list) else [data]:
            yield path.parent, entry


def ninja(build, *arguments):
    result = subprocess.run(["ninja", "-C", str(build), "-t", *arguments],
                            check=True, capture_output=True, text=True)
    return result.stdout.splitlines()


def query(build, nodes):
    """{node: (rule, explicit and implicit inputs)} from ninja's graph."""
    edges = {}
    node, rule, inputs = None, None, None
    for line in ninja(build, "query", *nodes):
        if not line.startswith(" ") and line.endswith(":"):
            node, rule, inputs = line[:-1], "", []
            edges[node] = (rule, inputs)
        elif line.startswith("  input: "):
            rule = line[len("  input: "):]
            edges[node] = (rule, inputs)
        elif line.startswith("  outputs:"):
            node = None
        elif node and line.startswith("    ") and not line.startswith("    || "):
            inputs.append(line[4:].removeprefix("| "))
    return edges


def compiled_files(source, build, target):
    """The source files and headers compiled into `target`: its objects and
    the static libraries it links, not the DLLs it links against."""
    seen, frontier, objects = {target}, [target], []
    while frontier:
        step = []
        for start in range(0, len(frontier), 500):
            for node, (rule, inputs) in query(build, frontier[start:start + 500]).items():
                if node != target and ("SHARED_LIBRARY_LINKER" in rule or "MODULE_LIBRARY_LINKER" in rule):
                    continue
                if "_COMPILER__" in rule:
                    objects.append(node)
                for i in inputs:
                    if i not in seen:
                        seen.add(i)
                        step.append(i)
        frontier = step
    files = set(seen)
    for start in range(0, len(objects), 500):
        for line in ninja(build, "deps", *objects[start:start + 500]):
            if line.startswith("    "):
                files.add(line.strip())
    resolved = set()
    for name in files:
        path = Path(name) if os.path.isabs(name) else build / name
        try:
            resolved.add(path.resolve().relative_to(source.resolve()).as_posix())
        except ValueError:
            pass    # generated in the build tree, or a system header
    return resolved


def used_in(folder, entry, source, files):
    base = folder.relative_to(source).as_posix()
    wanted = FILES_OF.get(entry.get("Id"))
    if wanted:
        return any(w in files for w in wanted)
    names = entry.get("Files", "").replace(",", " ").split()
    if names:
        return any(f"{base}/{name}" in files for name in names)
    return any(f.startswith(base + "/") for f in files)


def notice(folder, entry):
    lines = [entry.get("Name", entry["Id"])]
    for key in ("Version", "Homepage", "QtUsage", "License", "LicenseId", "Copyright"):
        if entry.get(key):
            lines.append(f"{key}: " + " ".join(str(entry[key]).split()))
    text = "\n".join(lines) + "\n"
    if entry.get("LicenseFile"):
        text += "\n" + (folder / entry["LicenseFile"]).read_text(encoding="utf-8", errors="replace")
    return text


def main():
    source, build, output = (Path(a) for a in sys.argv[1:4])
    output.mkdir(parents=True, exist_ok=True)
    for name in ("LGPL-3.0-only", "GPL-3.0-only"):
        (output / f"Qt-{name}.txt").write_text((source / "LICENSES" / f"{name}.txt").read_text(encoding="utf-8"),
                                               encoding="utf-8")

    components = list(attributions(source))
    targets = [t for t in (build / "bin").glob("*.dll")]
    targets += [t for t in (build / "plugins").glob("*/*.dll")]
    manifest = []
    written = set()
    for target in sorted(targets):
        relative = target.relative_to(build).as_posix()
        files = compiled_files(source, build, relative)
        ids = []
        for folder, entry in components:
            if not used_in(folder, entry, source, files):
                continue
            ids.append(entry["Id"])
            if entry["Id"] not in written:
                (output / f"Qt-3rdparty-{entry['Id']}.txt").write_text(notice(folder, entry), encoding="utf-8")
                written.add(entry["Id"])
        shipped = target.name if relative.startswith("bin/") else relative[len("plugins/"):]
        manifest.append(" ".join([shipped] + sorted(set(ids))))
    (output / "manifest.txt").write_text("\n".join(manifest) + "\n", encoding="utf-8")


if __name__ == "__main__":
    main()
