"""The stub packages describe the modules as they are: every class, method
and function the stubs declare exists at run time with the same parameters
and defaults, and each starts its docstring with the module's own text."""

import ast
import inspect
import os
import sys

import pytest

import rtsp
import rtsp_logging


def stub_tree(module):
    for entry in sys.path:
        path = os.path.join(entry, f"{module.__name__}-stubs", "__init__.pyi")
        if os.path.exists(path):
            with open(path, encoding="utf-8") as stub:
                return ast.parse(stub.read())
    pytest.fail(f"no {module.__name__}-stubs package on sys.path")


def declarations(module):
    """(qualified name, runtime object, stub node) for each declaration."""
    tree = stub_tree(module)
    yield module.__name__, module, tree
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            cls = getattr(module, node.name)
            yield node.name, cls, node
            for member in node.body:
                if isinstance(member, ast.FunctionDef):
                    runtime = cls if member.name == "__new__" else getattr(cls, member.name)
                    yield f"{node.name}.{member.name}", runtime, member
        elif isinstance(node, ast.FunctionDef):
            yield node.name, getattr(module, node.name), node


def stub_parameters(node):
    args = node.args.args[1:] if node.args.args and node.args.args[0].arg in ("self", "cls") \
        else node.args.args
    defaults = [inspect.Parameter.empty] * (len(args) - len(node.args.defaults)) + \
        [ast.literal_eval(d) for d in node.args.defaults]
    return [(a.arg, d) for a, d in zip(args, defaults)]


def runtime_parameters(obj):
    params = list(inspect.signature(obj).parameters.values())
    if params and params[0].kind is inspect.Parameter.POSITIONAL_ONLY:
        params = params[1:]  # $self, $module
    return [(p.name, p.default) for p in params]


@pytest.mark.parametrize("module", [rtsp, rtsp_logging])
def test_stubs_match_the_runtime_signatures_and_texts(module):
    checked = 0
    for name, runtime, node in declarations(module):
        is_property = isinstance(node, ast.FunctionDef) and any(
            isinstance(d, ast.Name) and d.id == "property" for d in node.decorator_list)
        if isinstance(node, ast.FunctionDef) and not is_property:
            assert stub_parameters(node) == runtime_parameters(runtime), name
        text = inspect.getdoc(runtime) if not is_property else None
        if text:
            assert (ast.get_docstring(node) or "").startswith(text), name
        checked += 1
    assert checked > (10 if module is rtsp else 2)
