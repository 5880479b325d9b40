import pytest
from harness import lines

SUBINTERPRETERS = """
import _interpreters, sys
if sys.argv[1] == "before":
    import m0009
code = '''
for name in ("m0009", "m0005"):
    try:
        __import__(name)
        print(name, "imported")
    except ImportError as e:
        print(e)
'''
for kind in ("legacy", "isolated"):
    interpreter = _interpreters.create(_interpreters.new_config(kind))
    _interpreters.run_string(interpreter, code)
    _interpreters.destroy(interpreter)
import m0009
print(m0009.Thing(4).n())
"""


@pytest.mark.parametrize("main_imports", ["before", "after"])
def test_only_the_main_interpreter_loads_a_module_that_says_so(main_imports):
    # A module declared without it (m0005, pybind11's default) still loads
    # in a legacy sub-interpreter.
    refused = "module m0009 does not support loading in subinterpreters"
    assert lines(SUBINTERPRETERS, main_imports) == [
        refused,
        "m0005 imported",
        refused,
        "module m0005 does not support loading in subinterpreters",
        "4",
    ]
