#!/usr/bin/env python3
"""Checks the library layers of a configured build folder.

  check-layers.py BUILD_DIR CORE_TEST_EXECUTABLE

1. No cycle between the project's libraries: the dependency graph that CMake writes with
   --graphviz, restricted to mimeextract and the tarnwick_* libraries, has no cycle.
2. The core links no HTML engine, widgets or Poppler: the executable of the core's tests
   (linked against tarnwick_core alone) loads none of those libraries (ldd).
3. The search library (the index, used by both the desktop and the command line) links no
   widgets and no HTML engine, and none of the layers above it.
Exit status 0 when both hold, 1 otherwise, with the reason.
"""
import pathlib, re, subprocess, sys, tempfile

OURS = re.compile(r"^(mimeextract|tarnwick_(?!warnings)[a-z]+)$")
FORBIDDEN = ("libQt6WebEngine", "libQt6Widgets", "libpoppler")
SEARCH_FORBIDDEN = re.compile(r"^(Qt6::(Widgets|WebEngine\w*)|tarnwick_(ui|render|cli))$")


def edges(build, everything=False):
    with tempfile.TemporaryDirectory() as tmp:
        dot = pathlib.Path(tmp) / "deps.dot"
        subprocess.run(["cmake", f"--graphviz={dot}", str(build)], check=True, stdout=subprocess.DEVNULL)
        text = dot.read_text()
    names = dict(re.findall(r'"(node\d+)" \[ label = "([^"]+)"', text))
    out = {}
    for a, b in re.findall(r'"(node\d+)" -> "(node\d+)"', text):
        x, y = names.get(a, ""), names.get(b, "")
        if (everything and OURS.match(x)) or (OURS.match(x) and OURS.match(y)):
            out.setdefault(x, set()).add(y)
    return out


def cycle(graph):
    state = {}

    def visit(node, path):
        state[node] = 1
        for nxt in sorted(graph.get(node, ())):
            if state.get(nxt) == 1:
                return path + [node, nxt]
            if nxt not in state:
                found = visit(nxt, path + [node])
                if found:
                    return found
        state[node] = 2
        return None

    for node in sorted(graph):
        if node not in state:
            found = visit(node, [])
            if found:
                return found
    return None


def main():
    build, core_tests = sys.argv[1], sys.argv[2]
    graph = edges(build)
    found = cycle(graph)
    if found:
        print("cycle between libraries: " + " -> ".join(found))
        return 1
    bad_search = sorted(y for y in edges(build, everything=True).get("tarnwick_search", ()) if SEARCH_FORBIDDEN.match(y))
    if bad_search:
        print("tarnwick_search links " + ", ".join(bad_search))
        return 1
    libs = subprocess.run(["ldd", core_tests], check=True, capture_output=True, text=True).stdout
    bad = sorted({line.split()[0] for line in libs.splitlines() if line.strip().startswith(FORBIDDEN)})
    if bad:
        print("the core's tests load " + ", ".join(bad))
        return 1
    print("layers: " + "; ".join(f"{k} -> {', '.join(sorted(v))}" for k, v in sorted(graph.items())))
    return 0


if __name__ == "__main__":
    sys.exit(main())
