"""No module of report_tools imports one that, directly or not, imports it
back: such a cycle works only as long as the import order happens to
suit it."""

import ast
import os

from .support import REPORT_TOOLS


def module_name(path: str) -> str:
    parts = os.path.relpath(path, REPORT_TOOLS)[:-3].split(os.sep)
    return ".".join(parts[:-1] if parts[-1] == "__init__" else parts)


def imports_of(path: str, name: str, known: set) -> set:
    """The report_tools modules that a file imports, anywhere in it."""
    package = name if path.endswith("__init__.py") else name.rpartition(".")[0]
    with open(path, encoding="utf-8") as f:
        tree = ast.parse(f.read())
    found = set()
    for node in ast.walk(tree):
        if isinstance(node, ast.Import):
            targets = [alias.name for alias in node.names]
        elif isinstance(node, ast.ImportFrom):
            base = package
            for _ in range(node.level - 1):
                base = base.rpartition(".")[0]
            base = ".".join(p for p in (base if node.level else "", node.module or "") if p)
            # "from . import analysis" names a module; "from .x import y" a name in one.
            targets = [base] + [f"{base}.{alias.name}" for alias in node.names]
        else:
            continue
        found.update(t for t in targets if t in known and t != name)
    return found


def test_no_module_imports_itself_back():
    files = {}
    for folder, _, names in os.walk(REPORT_TOOLS):
        for file_name in names:
            if file_name.endswith(".py"):
                path = os.path.join(folder, file_name)
                files[module_name(path)] = path
    graph = {name: imports_of(path, name, set(files)) for name, path in files.items()}
    # Relative and absolute imports are both seen.
    assert graph["crashlog.analysis"] >= {"crashlog.x86_access", "crashlog.log_model"}
    assert "crashlog.symbolizer" in graph["crash_server.report_pages"]

    cycles = []
    state = {}  # name: "open" while on the path, "done" after

    def visit(name, path):
        state[name] = "open"
        for target in sorted(graph[name]):
            if state.get(target) == "open":
                cycles.append(path[path.index(target):] + [target])
            elif target not in state:
                visit(target, path + [target])
        state[name] = "done"

    for name in sorted(graph):
        if name not in state:
            visit(name, [name])
    assert cycles == []
