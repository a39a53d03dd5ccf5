"""The hand-written type stub shipped beside the cladomatic module describes the module as it is (the engine's
stub is generated from the built module)."""

import ast
import inspect
from pathlib import Path

import cladomatic

PYTHON = Path(__file__).resolve().parents[2] / "python"
STUB = ast.parse((PYTHON / "cladomatic.pyi").read_text())


def stub_functions(body):
    return {node.name: node for node in body if isinstance(node, ast.FunctionDef)}


def parameters(node):
    """(name, default as source text or None) of each parameter, `self` left out."""
    args = node.args
    positional = [*args.posonlyargs, *args.args]
    defaults = [None] * (len(positional) - len(args.defaults)) + [ast.unparse(d) for d in args.defaults]
    return [(a.arg, d) for a, d in zip(positional, defaults, strict=True) if a.arg != "self"]


def runtime_parameters(function):
    return [
        (p.name, None if p.default is inspect.Parameter.empty else repr(p.default))
        for p in inspect.signature(function).parameters.values()
    ]


class TestStub:
    def test_all_lists_the_same_names_in_the_same_order(self):
        (assignment,) = [n for n in STUB.body if isinstance(n, ast.Assign) and n.targets[0].id == "__all__"]
        assert ast.literal_eval(assignment.value) == cladomatic.__all__

    def test_function_signatures_match_the_module(self):
        functions = stub_functions(STUB.body)
        exported = [name for name in cladomatic.__all__ if name != "ProgressCounter"]
        assert sorted(functions) == sorted(exported)
        for name in exported:
            assert parameters(functions[name]) == runtime_parameters(getattr(cladomatic, name)), name

    def test_counter_methods_match_the_module(self):
        (counter,) = [n for n in STUB.body if isinstance(n, ast.ClassDef) and n.name == "ProgressCounter"]
        methods = stub_functions(counter.body)
        assert parameters(methods.pop("__init__")) == []
        public = {name for name in dir(cladomatic.ProgressCounter) if not name.startswith("_")}
        assert set(methods) == public
        for name, node in methods.items():
            assert parameters(node) == runtime_parameters(getattr(cladomatic.ProgressCounter(), name)), name
