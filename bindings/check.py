#!/usr/bin/env python3
"""Checks that the bindings say what lib/veltra.h and lib/veltra.def say.

1. generate.py, run again into a temporary folder, writes exactly the
   committed files.
2. Each binding, read with a small parser of its own language (not with the
   generator's templates), declares every export of lib/veltra.def and
   nothing else, each with the header's number of arguments, the kind of
   each argument (text in, buffer out, bytes in, int32 in, uint32 in, int32
   out, char** list) and the kind of its result; and it defines the header's
   size constants and result codes with their values.
3. The VB helpers module, which no machine here can run, calls each
   declared function with its number of arguments.

A language that spells two kinds alike (VB passes a text in and a text
buffer out both as ByVal String) is held to what it can say: the check
accepts either kind there.

usage: check.py [--root DIR] [--bindings DIR] [--no-generate]
(the repository and its bindings/ by default). Exits 1 naming each problem.
"""
import argparse
import ast
import filecmp
import os
import re
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))


def _read(path, newline=None):
    with open(path, encoding="utf-8", newline=newline) as f:
        return f.read()

# ---------------------------------------------------------------------------
# The C side: the header's prototypes and constants, the .def's exports

C_PARAM = {
    "const char*": "text_in",
    "char*": "buf_out",
    "const unsigned char*": "bytes_in",
    "unsigned char*": "buf_out",
    "int32_t": "int32_in",
    "uint32_t": "uint32_in",
    "int32_t*": "int32_out",
    "char**": "text_list",
}
C_RETURN = {"int32_t": "int32", "uint32_t": "uint32", "char*": "text"}


class Interface:
    def __init__(self, functions, data, constants, problems):
        self.functions = functions  # name -> (return kind, [param kinds])
        self.data = data  # names of exported data
        self.constants = constants  # name -> value (sizes and result codes)
        self.problems = problems


def _ctype(text):
    text = re.sub(r"\s+", " ", text.strip())
    return re.sub(r"\s*\*\s*", "*", text)


def read_interface(header, def_file):
    problems = []
    text = _read(header)
    text = re.sub(r"/\*.*?\*/", " ", text, flags=re.S)
    functions = {}
    for m in re.finditer(r"^ECR_API\s+([^;()]*?)\s*ECR_CALL\s+(\w+)\s*\(([^)]*)\)\s*;", text,
                         re.M):
        ret, name, args = _ctype(m.group(1)), m.group(2), m.group(3)
        kinds = []
        for a in ([] if args.strip() in ("", "void") else args.split(",")):
            t = _ctype(re.sub(r"\w+\s*$", "", a.strip()))
            if t not in C_PARAM:
                problems.append(f"veltra.h: {name}: no kind for parameter type {t!r}")
            kinds.append(C_PARAM.get(t, "?" + t))
        if ret not in C_RETURN:
            problems.append(f"veltra.h: {name}: no kind for result type {ret!r}")
        functions[name] = (C_RETURN.get(ret, "?" + ret), kinds)
    data = set(re.findall(r"^ECR_DATA\s+extern[^;]*?\b(ecr_\w+)\s*\[\]\s*;", text, re.M))
    constants = {n: int(v) for n, v in
                 re.findall(r"^#define\s+(ECR_\w+)\s+(-?\d+)\s*$", text, re.M)}
    constants.update({n: int(v) for n, v in
                      re.findall(r"XX\((\w+),\s*(-?\d+),\s*\"", text)})

    exports, exported_data = set(), set()
    for line in _read(def_file).splitlines():
        line = line.split(";")[0].strip()
        if not line or line.upper().startswith(("LIBRARY", "EXPORTS")):
            continue
        parts = line.split()
        (exported_data if "DATA" in parts[1:] else exports).add(parts[0])
    for n in sorted(exports - set(functions)):
        problems.append(f"veltra.def exports {n}, which veltra.h does not declare")
    for n in sorted(set(functions) - exports):
        problems.append(f"veltra.h declares {n}, which veltra.def does not export")
    if exported_data != data:
        problems.append(f"exported data differ: veltra.def {sorted(exported_data)}, "
                        f"veltra.h {sorted(data)}")
    functions = {n: f for n, f in functions.items() if n in exports}
    return Interface(functions, exported_data, constants, problems)


# ---------------------------------------------------------------------------
# What a binding declares


class Declared:
    def __init__(self, where):
        self.where = where
        self.functions = {}  # name -> (return spelling, [param spellings])
        self.data = set()
        self.constants = {}
        self.problems = []

    def add(self, name, ret, params):
        if name in self.functions:
            self.problems.append(f"{self.where}: {name} declared twice")
        self.functions[name] = (ret, params)


def _python(path, where):
    d = Declared(where)
    tree = ast.parse(_read(path), path)
    defs = {}
    for node in tree.body:
        if isinstance(node, ast.Assign) and len(node.targets) == 1 \
                and isinstance(node.targets[0], ast.Name):
            target = node.targets[0].id
            if isinstance(node.value, ast.Constant) and isinstance(node.value.value, int):
                d.constants[target] = node.value.value
            elif isinstance(node.value, ast.UnaryOp) and isinstance(node.value.op, ast.USub) \
                    and isinstance(node.value.operand, ast.Constant):
                d.constants[target] = -node.value.operand.value
            elif target == "PROTOTYPES" and isinstance(node.value, ast.Dict):
                for k, v in zip(node.value.keys, node.value.values):
                    if not (isinstance(v, ast.Tuple) and len(v.elts) == 2
                            and isinstance(v.elts[1], ast.List)):
                        d.problems.append(f"{d.where}: {ast.unparse(k)}: not (restype, [argtypes])")
                        continue
                    spell = [ast.unparse(e).replace("ctypes.", "") for e in v.elts[1].elts]
                    d.add(k.value, ast.unparse(v.elts[0]).replace("ctypes.", ""), spell)
        elif isinstance(node, ast.FunctionDef):
            defs[node.name] = node
    # Each export is also a function of its own name that passes its
    # arguments on, in order, to the library's function of that name.
    for name, (ret, params) in d.functions.items():
        f = defs.get(name)
        if f is None:
            d.problems.append(f"{d.where}: {name} has no function of its name")
            continue
        args = [a.arg for a in f.args.args]
        calls = [n for n in ast.walk(f) if isinstance(n, ast.Call)
                 and isinstance(n.func, ast.Attribute) and n.func.attr == name]
        passed = [ast.unparse(a) for a in calls[0].args] if calls else None
        if passed != args:
            d.problems.append(f"{d.where}: {name}({', '.join(args)}) passes {passed} to the library")
        if len(args) != len(params):
            d.problems.append(f"{d.where}: {name} takes {len(args)} argument(s), its argtypes "
                              f"{len(params)}")
    for name, f in defs.items():
        if name.startswith("ecr_") and name not in d.functions:
            texts = [n.args[0].value for n in ast.walk(f) if isinstance(n, ast.Call)
                     and isinstance(n.func, ast.Attribute) and n.func.attr == "text_list"
                     and n.args and isinstance(n.args[0], ast.Constant)]
            if texts == [name] and not f.args.args:
                d.data.add(name)
            else:
                d.add(name, "?", ["?"] * len(f.args.args))
    return d


PY_PARAM = {
    "c_char_p": {"text_in"},
    "POINTER(c_char)": {"buf_out"},
    "POINTER(c_ubyte)": {"bytes_in"},
    "c_int32": {"int32_in"},
    "c_uint32": {"uint32_in"},
    "POINTER(c_int32)": {"int32_out"},
    "POINTER(c_char_p)": {"text_list"},
}
PY_RETURN = {"c_int32": {"int32"}, "c_uint32": {"uint32"}, "c_char_p": {"text"}}


def _strip_c_comments(text):
    """C# source without comments; strings are kept (no comment marks in them here)."""
    text = re.sub(r"/\*.*?\*/", " ", text, flags=re.S)
    return re.sub(r"//[^\n]*", "", text)


def _csharp(path, where):
    d = Declared(where)
    text = _strip_c_comments(_read(path))
    lib = re.search(r"const\s+string\s+Library\s*=\s*\"([^\"]*)\"", text)
    if not lib or lib.group(1) != "veltra":
        d.problems.append(f"{d.where}: Library is not \"veltra\"")
    for m in re.finditer(r"static\s+extern\s+([\w\[\]]+)\s+(\w+)\s*\(([^)]*)\)\s*;", text):
        ret, name, params = m.groups()
        before = text[:m.start()]
        attr = re.search(r"\[\s*DllImport\s*\(((?:[^()\]]|\([^)]*\))*)\)\s*\]\s*(?:public\s+)?$",
                         before)
        if not attr:
            d.problems.append(f"{d.where}: {name} has no DllImport attribute")
            continue
        a = attr.group(1)
        entry = re.search(r"EntryPoint\s*=\s*\"(\w+)\"", a)
        for want in (r"CallingConvention\s*=\s*CallingConvention\.StdCall",
                     r"CharSet\s*=\s*CharSet\.Ansi"):
            if not re.search(want, a):
                d.problems.append(f"{d.where}: {name}: DllImport lacks {want.split(chr(92))[0]}"
                                  f" {want.split('.')[-1]}")
        if not re.match(r"\s*Library\b", a):
            d.problems.append(f"{d.where}: {name} is not imported from Library")
        spell = []
        for p in [p.strip() for p in params.split(",")] if params.strip() else []:
            # Attributes ([In], [Out], [MarshalAs(...)]) begin with a letter;
            # an array's brackets do not.
            found = re.findall(r"\[\s*([A-Za-z][^\]]*)\]", p)
            attrs = " ".join(sorted(x.strip() for x in ",".join(found).split(",") if x.strip()))
            rest = re.sub(r"\[\s*[A-Za-z][^\]]*\]", "", p).split()
            *mods, typ, _name = rest if len(rest) >= 2 else ["?", "?"]
            spell.append(" ".join(x for x in [attrs and "[" + attrs + "]", *mods, typ] if x))
        d.add(entry.group(1) if entry else name, ret, spell)
    for m in re.finditer(r"public\s+static\s+string\[\]\s+(ecr_\w+)\s*\(\s*\)", text):
        d.data.add(m.group(1))
    for m in re.finditer(r"public\s+const\s+int\s+(\w+)\s*=\s*(-?\d+)\s*;", text):
        d.constants[m.group(1)] = int(m.group(2))
    return d


CS_PARAM = {
    "string": {"text_in"},
    "StringBuilder": {"buf_out"},
    "[Out] byte[]": {"buf_out"},
    "IntPtr": {"buf_out"},
    "byte[]": {"bytes_in"},
    "[In] byte[]": {"bytes_in"},
    "int": {"int32_in"},
    "uint": {"uint32_in"},
    "out int": {"int32_out"},
    "ref int": {"int32_out"},
    "[Out] IntPtr[]": {"text_list"},
    "IntPtr[]": {"text_list"},
}
CS_RETURN = {"int": {"int32"}, "uint": {"uint32"}, "IntPtr": {"text"}}


PAS_CALL = "{$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}"


def _pascal(path, where):
    d = Declared(where)
    text = _read(path)
    # Comments go, compiler directives stay: the calling convention is one.
    text = re.sub(r"\(\*.*?\*\)", " ", text, flags=re.S)
    text = re.sub(r"\{(?!\$).*?\}", " ", text, flags=re.S)
    text = re.sub(r"//[^\n]*", "", text)
    m = re.search(r"\binterface\b(.*?)\bimplementation\b", text, re.S | re.I)
    if not m:
        d.problems.append(f"{d.where}: no interface section")
        return d
    intf = m.group(1)
    for m in re.finditer(r"\b(function|procedure)\s+(\w+)\s*(?:\(([^)]*)\))?\s*(?::\s*(\w+))?\s*;",
                         intf, re.I):
        kind, name, params, ret = m.groups()
        ext = re.match(r"((?:\s|\{\$[^}]*\}|[A-Za-z]+)*?)\s*;\s*external\s+(\w+|'[^']*')"
                       r"(?:\s+name\s+'(\w+)')?\s*;", intf[m.end():], re.I)
        if not ext:
            # A function of the unit's own: the data reader, or a helper.
            if re.fullmatch(r"ecr_\w+", name) and not params and ret:
                d.data.add(name)
            continue
        # stdcall on Windows (32-bit: the DLL's convention), cdecl elsewhere.
        call = re.fullmatch(r"\{\$IFDEF\s+(\w+)\}\s*(\w+)\s*\{\$ELSE\}\s*(\w+)\s*\{\$ENDIF\}",
                            ext.group(1).strip(), re.I)
        if not call or [g.lower() for g in call.groups()] != ["mswindows", "stdcall", "cdecl"]:
            d.problems.append(f"{d.where}: {name}: calling convention "
                              f"{' '.join(ext.group(1).split())!r}, not {PAS_CALL}")
        spell = []
        for group in [g.strip() for g in (params or "").split(";") if g.strip()]:
            names, _, typ = group.partition(":")
            words = names.replace(",", " , ").split()
            mod = words[0].lower() if words and words[0].lower() in (
                "const", "var", "out", "constref") else ""
            count = len([w for w in words[1 if mod else 0:] if w != ","])
            spell += [(mod + " " + typ.strip().lower()).strip()] * count
        d.add(ext.group(3) or name, (ret or "").lower() if kind.lower() == "function" else "",
              spell)
    for sect in re.findall(r"\bconst\b(.*?)(?=\b(?:type|function|procedure|var|const|"
                           r"implementation)\b|\{\$)", intf, re.S | re.I):
        for n, v in re.findall(r"(\w+)\s*=\s*(-?\d+)\s*;", sect):
            d.constants[n] = int(v)
    return d


PAS_PARAM = {
    "const pansichar": {"text_in"},
    "pansichar": {"buf_out"},
    "const pbyte": {"bytes_in"},
    "pbyte": {"buf_out"},
    "int32": {"int32_in"},
    "uint32": {"uint32_in"},
    "pecrint32": {"int32_out"},
    "ppansichar": {"text_list"},
}
PAS_RETURN = {"int32": {"int32"}, "uint32": {"uint32"}, "pansichar": {"text"}}


def _vb(path, where):
    raw = _read(path, newline="")
    vba7, vb6 = Declared(where + " (VBA7)"), Declared(where + " (VB6)")
    if "\n" in raw.replace("\r\n", ""):
        vba7.problems.append(f"{where}: lines do not all end in CR LF (VB6 reads nothing else)")
    text = re.sub(r" _\r?\n\s*", " ", raw)
    branch = None  # None: both; "vba7"; "vb6"
    for line in text.splitlines():
        code = re.sub(r"'.*$", "", line) if '"' not in line.split("'")[0] else line
        s = code.strip()
        if not s:
            continue
        if re.fullmatch(r"#If\s+VBA7\s+Then", s, re.I):
            branch = "vba7"
            continue
        if re.fullmatch(r"#Else", s, re.I):
            branch = "vb6"
            continue
        if re.fullmatch(r"#End\s+If", s, re.I):
            branch = None
            continue
        m = re.match(r"(?:Public\s+|Private\s+)?Declare\s+(PtrSafe\s+)?(Function|Sub)\s+(\w+)\s+"
                     r"Lib\s+\"([^\"]+)\"(?:\s+Alias\s+\"(\w+)\")?\s*\((.*)\)\s*(?:As\s+(\w+))?$",
                     s, re.I)
        if m:
            safe, kind, name, lib, alias, params, ret = m.groups()
            targets = {"vba7": [vba7], "vb6": [vb6], None: [vba7, vb6]}[branch]
            for t in targets:
                if lib.lower() != "veltra.dll":
                    t.problems.append(f"{t.where}: {name} is declared from {lib!r}")
                if (t is vba7) != bool(safe):
                    t.problems.append(f"{t.where}: {name}: PtrSafe must be "
                                      + ("there" if t is vba7 else "absent"))
                spell = []
                for p in [p.strip() for p in params.split(",") if p.strip()]:
                    pm = re.fullmatch(r"(?:Optional\s+)?(ByVal\s+|ByRef\s+)?(\w+)(\(\))?\s+As\s+(\w+)",
                                      p, re.I)
                    if not pm:
                        spell.append("? " + p)
                        continue
                    how = (pm.group(1) or "ByRef").strip()
                    spell.append(f"{how} {pm.group(4)}" + (" ()" if pm.group(3) else ""))
                t.add(alias or name, ret if kind.lower() == "function" else "", spell)
            continue
        m = re.match(r"Public\s+Const\s+(\w+)\s+As\s+Long\s*=\s*(-?\d+)$", s, re.I)
        if m:
            for t in (vba7, vb6):
                t.constants[m.group(1)] = int(m.group(2))
            continue
        m = re.match(r"Public\s+Function\s+(ecr_\w+)\s*\(\s*\)\s+As\s+Variant$", s, re.I)
        if m:
            for t in (vba7, vb6):
                t.data.add(m.group(1))
    for name, (_, params) in vb6.functions.items():
        if any("LongPtr" in p for p in params):
            vb6.problems.append(f"{vb6.where}: {name} uses LongPtr, which VB6 does not have")
    return [vba7, vb6]


def _vb_calls(path, where, declared):
    """The helpers module is VB no machine here runs: each of its calls of a
    declared function must at least pass that function's number of
    arguments."""
    problems = []
    raw = _read(path, newline="")
    if "\n" in raw.replace("\r\n", ""):
        problems.append(f"{where}: lines do not all end in CR LF (VB6 reads nothing else)")
    text = re.sub(r" _\r?\n\s*", " ", raw)
    for number, line in enumerate(text.splitlines(), 1):
        code = re.sub(r"'[^\"]*$", "", line)
        for m in re.finditer(r"\b(ecr_\w+)\b", code):
            name = m.group(1)
            if name not in declared:
                problems.append(f"{where}:{number}: {name} is not declared in Veltra.bas")
                continue
            rest = code[m.end():]
            if rest.lstrip().startswith("("):
                depth, args = 0, ""
                for ch in rest.lstrip():
                    depth += ch == "("
                    depth -= ch == ")"
                    args += ch
                    if depth == 0:
                        break
                args = args[1:-1]
            elif code[:m.start()].strip() == "":
                args = rest  # a call as a statement: the rest of the line
            else:
                continue
            depth, count = 0, 0 if not args.strip() else 1
            for ch in args:
                depth += ch == "("
                depth -= ch == ")"
                count += ch == "," and depth == 0
            if count != declared[name]:
                problems.append(f"{where}:{number}: {name} gets {count} argument(s); Veltra.bas "
                                f"declares {declared[name]}")
    return problems


VBA7_PARAM = {
    "ByVal String": {"text_in", "buf_out"},
    "ByRef Byte": {"bytes_in", "buf_out"},
    "ByVal Long": {"int32_in", "uint32_in"},
    "ByRef Long": {"int32_out"},
    "ByRef LongPtr": {"text_list"},
}
VBA7_RETURN = {"Long": {"int32", "uint32"}, "LongPtr": {"text"}}
VB6_PARAM = dict(VBA7_PARAM)
del VB6_PARAM["ByRef LongPtr"]
VB6_PARAM["ByRef Long"] = {"int32_out", "text_list"}
VB6_RETURN = {"Long": {"int32", "uint32", "text"}}


# ---------------------------------------------------------------------------


def compare(iface, d, params_map, returns_map):
    problems = list(d.problems)
    w = d.where
    for name, (ret_kind, kinds) in iface.functions.items():
        if name not in d.functions:
            problems.append(f"{w}: {name} is not declared")
            continue
        ret, params = d.functions[name]
        if len(params) != len(kinds):
            problems.append(f"{w}: {name} takes {len(params)} argument(s); the header has "
                            f"{len(kinds)}")
            continue
        for i, (p, k) in enumerate(zip(params, kinds)):
            if k not in params_map.get(p, ()):
                problems.append(f"{w}: {name} argument {i + 1} is {p!r}, which does not carry "
                                f"{k}")
        if ret_kind not in returns_map.get(ret, ()):
            problems.append(f"{w}: {name} returns {ret!r}, which does not carry {ret_kind}")
    for name in sorted(set(d.functions) - set(iface.functions)):
        problems.append(f"{w}: {name} is declared but not exported")
    for name in sorted(iface.data - d.data):
        problems.append(f"{w}: the exported data {name} is missing")
    for name in sorted(d.data - iface.data):
        problems.append(f"{w}: {name} reads data that is not exported")
    for name, value in iface.constants.items():
        if name not in d.constants:
            problems.append(f"{w}: constant {name} is missing")
        elif d.constants[name] != value:
            problems.append(f"{w}: constant {name} is {d.constants[name]}; the header says {value}")
    return problems


def check_bindings(root, bindings):
    iface = read_interface(os.path.join(root, "lib", "veltra.h"),
                           os.path.join(root, "lib", "veltra.def"))
    problems = list(iface.problems)
    jobs = [
        ("python/veltra/_api.py", _python, PY_PARAM, PY_RETURN),
        ("csharp/Veltra.cs", _csharp, CS_PARAM, CS_RETURN),
        ("pascal/veltra.pas", _pascal, PAS_PARAM, PAS_RETURN),
    ]
    for rel, parse, pm, rm in jobs:
        path = os.path.join(bindings, rel)
        if not os.path.exists(path):
            problems.append(f"{rel} is missing")
            continue
        problems += compare(iface, parse(path, rel), pm, rm)
    vb = os.path.join(bindings, "vb", "Veltra.bas")
    if os.path.exists(vb):
        vba7, vb6 = _vb(vb, "vb/Veltra.bas")
        problems += compare(iface, vba7, VBA7_PARAM, VBA7_RETURN)
        problems += compare(iface, vb6, VB6_PARAM, VB6_RETURN)
        helpers = os.path.join(bindings, "vb", "VeltraHelpers.bas")
        if os.path.exists(helpers):
            counts = {n: len(p) for n, (_, p) in vba7.functions.items()}
            problems += _vb_calls(helpers, "vb/VeltraHelpers.bas", counts)
    else:
        problems.append("vb/Veltra.bas is missing")
    return problems, len(iface.functions), len(iface.data)


def check_generated(root, bindings):
    """Runs the generator into a temporary folder and compares."""
    sys.path.insert(0, HERE)
    import generate  # noqa: E402
    problems = []
    with tempfile.TemporaryDirectory(prefix="veltra-bindings-") as tmp:
        try:
            written = generate.generate(os.path.join(root, "lib", "veltra.h"), tmp)
        except generate.HeaderError as e:
            return [f"generate.py: {e}"]
        for rel in written:
            mine = os.path.join(bindings, rel)
            if not os.path.exists(mine):
                problems.append(f"{rel} is missing (run python3 bindings/generate.py)")
            elif not filecmp.cmp(mine, os.path.join(tmp, rel), shallow=False):
                problems.append(f"{rel} differs from what generate.py writes now "
                                "(run python3 bindings/generate.py)")
    return problems


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--root", default=os.path.dirname(HERE))
    ap.add_argument("--bindings", default=None)
    ap.add_argument("--no-generate", action="store_true",
                    help="only read the bindings; do not run the generator")
    args = ap.parse_args(argv)
    bindings = args.bindings or os.path.join(args.root, "bindings")
    problems = [] if args.no_generate else check_generated(args.root, bindings)
    more, nfunc, ndata = check_bindings(args.root, bindings)
    problems += more
    for p in problems:
        print(p)
    if problems:
        print(f"check.py: {len(problems)} problem(s)")
        return 1
    print(f"check.py: {nfunc} functions and {ndata} data export(s) match in Python, C#, "
          "Pascal, VBA7 and VB6" + ("" if args.no_generate else "; generated files are current"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
