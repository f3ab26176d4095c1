"""What the module offers, and what a failure looks like.

Reads the registry's JSON description (every public function with its
parameters, every result type with its fields), then makes two calls that
fail: one names a function that does not exist, one passes an argument of a
type that no function accepts. Each failure is a VeltraException carrying a
machine-readable code.
"""

import json

from veltra import _veltra


def make_result(type_name, fields):
    # The package around the module decides which class builds each result
    # type; a plain tuple is enough here.
    return (type_name, fields)


def main():
    registry = json.loads(_veltra.registry_json())
    functions = registry["functions"]
    print(f"{len(functions)} functions (required arguments -> result types):")
    for fn in functions:
        required = [p["name"] for p in fn["params"] if p["required"]]
        results = ", ".join(fn["result_types"]) or "a float64 vector"
        print(f"  {fn['name']}({', '.join(required)}) -> {results}")
    print(f"{len(registry['result_types'])} result types:")
    for rt in registry["result_types"]:
        print(f"  {rt['name']}: {len(rt['fields'])} fields")

    print("errors:")
    for name, arguments in [
        ("pls2_fit", {}),
        ("pls1_fit", {"X": [[1.0, 2.0], [3.0, 4.0]], "y": object()}),
    ]:
        try:
            _veltra.call(name, arguments, make_result)
        except _veltra.VeltraException as exc:
            print(f"  call({name!r}, ...) raised VeltraException, code={exc.code!r}: {exc}")


if __name__ == "__main__":
    main()
