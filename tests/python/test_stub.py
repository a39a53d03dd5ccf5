"""The type stubs shipped beside the native modules describe the modules as they are."""

import ast
import inspect
import re
from pathlib import Path

import _cladomatic_engine
import cladomatic

PYTHON = Path(__file__).resolve().parents[2] / "python"
STUB = ast.parse((PYTHON / "cladomatic.pyi").read_text())
ENGINE_STUB = ast.parse((PYTHON / "_cladomatic_engine.pyi").read_text())


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


def bound_parameters(function):
    """Parameter names of a bound function, `self` left out, read from the signature it reports."""
    (signature, *_), *overloads = function.__nb_signature__
    assert not overloads
    # a name at the top level of the list is followed by its annotation, a comma or the closing parenthesis;
    # the dtype=, shape= inside an array's description are not
    names = re.findall(r"[(,] ?(\w+)(?=[:,)])", signature.split(" -> ")[0])
    return [name for name in names if name != "self"]


class TestEngineStub:
    def test_module_names(self):
        stubbed = {n.name for n in ENGINE_STUB.body if isinstance(n, (ast.FunctionDef, ast.ClassDef))}
        assert stubbed == {name for name in dir(_cladomatic_engine) if not name.startswith("_")}
        invariant = _cladomatic_engine.InvariantFailure
        assert issubclass(invariant, BaseException) and not issubclass(invariant, Exception)

    def test_functions_and_methods_match(self):
        engine = _cladomatic_engine.Engine
        (stub_class,) = [n for n in ENGINE_STUB.body if isinstance(n, ast.ClassDef) and n.name == "Engine"]
        members = stub_functions(stub_class.body)
        assert set(members) == {name for name in dir(engine) if not name.startswith("_")}
        for name, node in members.items():
            decorators = [ast.unparse(d) for d in node.decorator_list]
            runtime = inspect.getattr_static(engine, name)
            if isinstance(runtime, property):
                assert decorators == ["property"], name
                continue
            # a static method is bound as a plain function, not a method
            static = type(runtime) is type(_cladomatic_engine.format_rows)
            assert decorators == (["staticmethod"] if static else []), name
            assert parameters(node) == [(p, None) for p in bound_parameters(getattr(engine, name))], name
        format_rows = stub_functions(ENGINE_STUB.body)["format_rows"]
        assert parameters(format_rows) == [(p, None) for p in bound_parameters(_cladomatic_engine.format_rows)]
