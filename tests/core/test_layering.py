"""The package's layering: no import circle between kova's Python modules, and the analyses
load without ipywidgets."""

from __future__ import annotations

import ast
import subprocess
import sys
from pathlib import Path

import kova

SRC = Path(kova.__file__).parent


def _module_name(path: Path) -> str:
    parts = list(path.relative_to(SRC.parent).with_suffix("").parts)
    return ".".join(parts[:-1] if parts[-1] == "__init__" else parts)


def _is_type_checking_block(node: ast.AST) -> bool:
    test = getattr(node, "test", None)
    return isinstance(node, ast.If) and "TYPE_CHECKING" in ast.unparse(test or node)


def _imports(tree: ast.AST, module: str, is_package: bool, known: set[str]) -> set[str]:
    """The kova modules a module imports, at any depth of its code except type-checking
    blocks; ``from a import b`` counts ``a.b`` when that is a module, else ``a``."""
    found: set[str] = set()
    stack = [tree]
    while stack:
        node = stack.pop()
        if _is_type_checking_block(node):
            continue
        stack.extend(ast.iter_child_nodes(node))
        if isinstance(node, ast.Import):
            found.update(alias.name for alias in node.names)
        elif isinstance(node, ast.ImportFrom):
            base = module if is_package else module.rpartition(".")[0]
            for _ in range(max(node.level - 1, 0)):
                base = base.rpartition(".")[0]
            target = node.module or ""
            if node.level:
                target = f"{base}.{target}" if target else base
            for alias in node.names:
                child = f"{target}.{alias.name}"
                found.add(child if child in known else target)
    return {name for name in found if name in known and name != module}


def _import_graph() -> dict[str, set[str]]:
    files = {_module_name(p): p for p in SRC.rglob("*.py")}
    known = set(files)
    return {
        name: _imports(ast.parse(path.read_text()), name, path.name == "__init__.py", known)
        for name, path in files.items()
    }


def _cycles(graph: dict[str, set[str]]) -> list[list[str]]:
    """Strongly connected components of more than one module (Tarjan)."""
    index: dict[str, int] = {}
    low: dict[str, int] = {}
    stack: list[str] = []
    on_stack: set[str] = set()
    found: list[list[str]] = []

    def visit(node: str) -> None:
        index[node] = low[node] = len(index)
        stack.append(node)
        on_stack.add(node)
        for succ in graph.get(node, ()):
            if succ not in index:
                visit(succ)
                low[node] = min(low[node], low[succ])
            elif succ in on_stack:
                low[node] = min(low[node], index[succ])
        if low[node] == index[node]:
            component = []
            while True:
                item = stack.pop()
                on_stack.discard(item)
                component.append(item)
                if item == node:
                    break
            if len(component) > 1:
                found.append(sorted(component))

    for node in sorted(graph):
        if node not in index:
            visit(node)
    return found


def test_no_import_circle_between_kova_modules():
    graph = _import_graph()
    assert "kova.utils" in graph and graph["kova.utils"]  # the scan sees real imports
    assert _cycles(graph) == []


def test_cycle_finder_reports_a_circle():
    assert _cycles({"a": {"b"}, "b": {"c"}, "c": {"a"}, "d": {"a"}}) == [["a", "b", "c"]]


def test_analyses_load_without_ipywidgets():
    modules = (
        "kova.data.kestrin.kestrin, kova.workflow.trelliso, kova.models.morbeck, kova.data, "
        "kova.models, kova.diagnoser, kova.utils"
    )
    code = f"import sys, {modules}; print(sorted(m for m in sys.modules if 'ipywidgets' in m))"
    out = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, check=True, timeout=120
    )
    assert out.stdout.strip() == "[]"
