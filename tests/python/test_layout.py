"""ostrane._abi against the public headers as a C compiler sees them: a size, offset, value or
argument width copied wrong would corrupt memory or misread results."""
import ctypes
import os
import re
import subprocess

from ostrane import _abi

INCLUDE = os.path.join(os.path.dirname(__file__), os.pardir, os.pardir, "include")
CONSTANTS = {**_abi.FT_STATUS, **_abi.COMMS_RESULT, **_abi.DEFINES}


def c_lines(tmp_path, statements):
    """The output lines of a C program running `statements` with the headers included."""
    source = tmp_path / "probe.c"
    source.write_text("#include <stdio.h>\n#include <ostrane/ft60x.h>\n#include <ostrane/OstraneCommsUSB.h>\n"
                      "int main(void) {\n" + "\n".join(statements) + "\nreturn 0; }\n")
    subprocess.run(["cc", "-std=c99", "-Wall", "-Werror", "-I", INCLUDE, str(source), "-o",
                    str(tmp_path / "probe")], check=True)
    return subprocess.run([str(tmp_path / "probe")], check=True, capture_output=True, text=True).stdout.splitlines()


def test_records_and_constants_match_the_headers(tmp_path):
    want, c = [], []
    for record in _abi.RECORDS:
        name = record.__name__
        want.append(f"{name} {ctypes.sizeof(record)}")
        c.append(f'printf("{name} %zu\\n", sizeof({name}));')
        for field, *_ in record._fields_:
            d = getattr(record, field)
            want.append(f"{name}.{field} {d.offset} {d.size}")
            c.append(f'printf("{name}.{field} %zu %zu\\n", offsetof({name}, {field}), sizeof((({name}*)0)->{field}));')
    want += [f"{name} {value}" for name, value in CONSTANTS.items()]
    c += [f'printf("{name} %lld\\n", (long long)({name}));' for name in CONSTANTS]
    assert c_lines(tmp_path, c) == want


def test_prototypes_match_the_headers(tmp_path):
    declared = {}
    for header in ("ft60x.h", "OstraneCommsUSB.h"):
        text = open(os.path.join(INCLUDE, "ostrane", header)).read()
        for result, name, params in re.findall(r"^(?:FT60X|OSTRANE)_API\s+([\w ]+?)\s*(\w+)\((.*?)\);", text, re.S | re.M):
            declared[name] = [result] + [p.strip() if "*" in p else re.sub(r"\s*\b\w+$", "", p.strip())
                                         for p in params.split(",")]
    scalars = sorted({t for types in declared.values() for t in types if "*" not in t and t != "void"})
    sizes = dict(zip(scalars, map(int, c_lines(tmp_path, [f'printf("%zu\\n", sizeof({t}));' for t in scalars]))))
    for name, (restype, argtypes) in _abi.PROTOTYPES.items():
        assert len(argtypes) == len(declared[name]) - 1, name
        for c_type, ct in zip(declared[name], [restype] + argtypes):
            if "*" in c_type:  # a pointer stays a pointer
                assert ct is ctypes.c_void_p or issubclass(ct, (ctypes._Pointer, ctypes._CFuncPtr)), name
            else:  # a value keeps its width; void stays void
                assert (None if ct is None else ctypes.sizeof(ct)) == sizes.get(c_type), (name, c_type)
