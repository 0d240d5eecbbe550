"""check.py finds a binding that drifted from the header: each case changes
a copy of one binding (or of the header) the way a hand edit would, and the
check must name what changed. An untouched copy must pass, so each failure
below comes from its change alone.

Run: python3 bindings/tests/test_check.py
"""
import os
import re
import shutil
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
BINDINGS = os.path.dirname(HERE)
ROOT = os.path.dirname(BINDINGS)
sys.path.insert(0, BINDINGS)

import check  # noqa: E402

FILES = {
    "python": "python/veltra/_api.py",
    "csharp": "csharp/Veltra.cs",
    "pascal": "pascal/veltra.pas",
    "vb": "vb/Veltra.bas",
}

# (name, binding, pattern, replacement, message the check must print)
DRIFTS = [
    ("python drops an argument", "python",
     r"'ecr_ping': \(c_int32, \[c_char_p, c_int32\]\)", "'ecr_ping': (c_int32, [c_char_p])",
     "ecr_ping takes 1 argument(s); the header has 2"),
    ("python passes a uint32 as int32", "python",
     r"'ecr_oro_encode': \(c_char_p, \[c_uint32,", "'ecr_oro_encode': (c_char_p, [c_int32,",
     "ecr_oro_encode argument 1 is 'c_int32', which does not carry uint32_in"),
    ("python takes a buffer for a text in", "python",
     r"'ecr_rel_update': \(c_int32, \[c_char_p,", "'ecr_rel_update': (c_int32, [POINTER(c_char),",
     "ecr_rel_update argument 1 is 'POINTER(c_char)', which does not carry text_in"),
    ("python returns int for a text", "python",
     r"'ecr_get_ver': \(c_char_p,", "'ecr_get_ver': (c_int32,",
     "ecr_get_ver returns 'c_int32', which does not carry text"),
    ("python renames a function", "python", r"\becr_get_status_new\b", "ecr_get_status_nuovo",
     "ecr_get_status_new is not declared"),
    ("python swaps the arguments it passes on", "python",
     r"return _lib\.ecr_ping\(hostname, numsec\)", "return _lib.ecr_ping(numsec, hostname)",
     "ecr_ping(hostname, numsec) passes ['numsec', 'hostname']"),
    ("python misstates a buffer size", "python", r"ECR_INFO_BUFSIZE = 513", "ECR_INFO_BUFSIZE = 512",
     "constant ECR_INFO_BUFSIZE is 512; the header says 513"),
    ("python loses the exported data", "python", r"def ecr_files_list\(\):", "def files_list():",
     "the exported data ecr_files_list is missing"),
    ("c# drops an argument", "csharp", r", int rsplen\)", ")",
     "ecr_command takes 4 argument(s); the header has 5"),
    ("c# uses cdecl", "csharp",
     r"CallingConvention\.StdCall(?=[^\n]*\n\s*public static extern int ecr_ping\b)",
     "CallingConvention.Cdecl", "ecr_ping: DllImport lacks CallingConvention"),
    ("c# takes an int for an int32 out", "csharp", r"out int hst_conn", "int hst_conn",
     "ecr_get_status argument 2 is 'int', which does not carry int32_out"),
    ("c# takes an int for an oro value", "csharp", r"ecr_oro_encode\(uint oro", "ecr_oro_encode(int oro",
     "ecr_oro_encode argument 1 is 'int', which does not carry uint32_in"),
    ("c# takes one pointer for var_list", "csharp",
     r"(ecr_get_info\([^)]*)\[Out\] IntPtr\[\] var_list", r"\1IntPtr var_list",
     "ecr_get_info argument 4 is 'IntPtr', which does not carry text_list"),
    ("c# declares a function the library lacks", "csharp",
     r"(\n\s*public static extern int ecr_ping\([^)]*\);)",
     r"\1\n        [DllImport(Library, CallingConvention = CallingConvention.StdCall, "
     r"CharSet = CharSet.Ansi)]\n        public static extern int ecr_pong(string hostname);",
     "ecr_pong is declared but not exported"),
    ("c# renames through EntryPoint", "csharp",
     r"(ExactSpelling = true)(\)\]\n\s*public static extern int ecr_ping\b)",
     r'\1, EntryPoint = "ecr_pings"\2', "ecr_ping is not declared"),
    ("pascal drops the Windows convention", "pascal",
     r"(function ecr_ping\([^)]*\): Int32;) \{\$IFDEF MSWINDOWS\}stdcall\{\$ELSE\}cdecl\{\$ENDIF\}",
     r"\1 cdecl", "ecr_ping: calling convention 'cdecl'"),
    ("pascal drops an argument", "pascal", r"(ecr_oro_decode\([^)]*); second: Int32\)", r"\1)",
     "ecr_oro_decode takes 5 argument(s); the header has 6"),
    ("pascal takes a buffer for a text in", "pascal",
     r"function ecr_ping\(const hostname", "function ecr_ping(hostname",
     "ecr_ping argument 1 is 'pansichar', which does not carry text_in"),
    ("pascal returns Int32 for an oro value", "pascal",
     r"(function ecr_oro_2long\([^)]*\)): UInt32", r"\1: Int32",
     "ecr_oro_2long returns 'int32', which does not carry uint32"),
    ("pascal renames a function", "pascal", r"function ecr_rel_update\(", "function ecr_rel_updat(",
     "ecr_rel_update is not declared"),
    ("pascal passes var_list by reference", "pascal",
     r"(ecr_get_info\([^)]*)var_list: PPAnsiChar", r"\1var var_list: PAnsiChar",
     "ecr_get_info argument 4 is 'var pansichar', which does not carry text_list"),
    ("vba drops PtrSafe", "vb", r"Declare PtrSafe Function ecr_ping\b", "Declare Function ecr_ping",
     "(VBA7): ecr_ping: PtrSafe must be there"),
    ("vb6 gets LongPtr", "vb",
     r"(#Else\r\nPublic Declare Function ecr_get_info[^#]*?)ByRef var_list As Long\)",
     r"\1ByRef var_list As LongPtr)", "(VB6): ecr_get_info uses LongPtr"),
    ("vb6 loses a declaration", "vb",
     r"#Else\r\nPublic Declare Function ecr_ping [^\r]*\r\n", "#Else\r\n",
     "(VB6): ecr_ping is not declared"),
    ("vb takes a text for an int32", "vb", r"ByVal numsec As Long", "ByVal numsec As String",
     "ecr_ping argument 2 is 'ByVal String', which does not carry int32_in"),
    ("vb passes an int32 in by reference", "vb", r"ByVal sockid As Long", "sockid As Long",
     "argument 1 is 'ByRef Long', which does not carry int32_in"),
    ("vb names another library", "vb", r"(Function ecr_oro_check Lib )\"VELTRA\.dll\"",
     r'\1"VELTRA2.dll"', "ecr_oro_check is declared from 'VELTRA2.dll'"),
    ("vb loses its CR LF", "vb", r"\r\n", "\n", "lines do not all end in CR LF"),
    ("vb helpers pass one argument too few", "vb/VeltraHelpers.bas",
     r"ecr_oro_encode oro, buf", "ecr_oro_encode buf",
     "ecr_oro_encode gets 1 argument(s); Veltra.bas declares 2"),
    ("vb helpers call a function nobody declared", "vb/VeltraHelpers.bas",
     r"ecr_get_ver buf", "ecr_get_version buf", "ecr_get_version is not declared in Veltra.bas"),
    ("vb misstates a result code", "vb", r"ERR_TIMEOUT As Long = -6", "ERR_TIMEOUT As Long = -7",
     "constant ERR_TIMEOUT is -7; the header says -6"),
]


class Tree:
    """A copy of lib/ and bindings/ that a case may change."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="veltra-check-test-")
        os.mkdir(os.path.join(self.dir, "lib"))
        for name in ("veltra.h", "veltra.def"):
            shutil.copy(os.path.join(ROOT, "lib", name), os.path.join(self.dir, "lib", name))
        shutil.copytree(BINDINGS, os.path.join(self.dir, "bindings"),
                        ignore=shutil.ignore_patterns("__pycache__", "tests"))

    def path(self, rel):
        return os.path.join(self.dir, rel)

    def edit(self, rel, pattern, replacement):
        path = self.path(rel)
        with open(path, encoding="utf-8", newline="") as f:
            text = f.read()
        changed, n = re.subn(pattern, replacement, text)
        if n == 0:
            raise AssertionError(f"{pattern!r} not found in {rel}: the case no longer applies")
        with open(path, "w", encoding="utf-8", newline="") as f:
            f.write(changed)

    def problems(self):
        found, _, _ = check.check_bindings(self.dir, self.path("bindings"))
        return found

    def generated_problems(self):
        return check.check_generated(self.dir, self.path("bindings"))

    def remove(self):
        shutil.rmtree(self.dir, ignore_errors=True)


class CheckFindsDrift(unittest.TestCase):
    def setUp(self):
        self.tree = Tree()
        self.addCleanup(self.tree.remove)

    def test_the_committed_bindings_pass(self):
        self.assertEqual(self.tree.problems(), [])
        self.assertEqual(self.tree.generated_problems(), [])

    def test_each_drift_is_named(self):
        for name, binding, pattern, replacement, message in DRIFTS:
            with self.subTest(name):
                tree = Tree()
                try:
                    rel = FILES.get(binding, binding)
                    tree.edit("bindings/" + rel, pattern, replacement)
                    problems = tree.problems()
                    self.assertTrue(any(message in p for p in problems),
                                    f"{message!r} not among {problems}")
                    # Whatever a hand edit of a generated file changes, the
                    # generator's output no longer matches it.
                    if binding in FILES:
                        self.assertIn(f"{rel} differs from what generate.py writes now "
                                      "(run python3 bindings/generate.py)",
                                      tree.generated_problems())
                finally:
                    tree.remove()

    def test_a_new_export_is_missing_from_every_binding(self):
        self.tree.edit("lib/veltra.h", r"(ECR_API int32_t ECR_CALL ecr_ping\([^)]*\);)",
                       r"\1\nECR_API int32_t ECR_CALL ecr_pong(const char* hostname);")
        self.tree.edit("lib/veltra.def", r"(    ecr_ping\n)", r"\1    ecr_pong\n")
        problems = self.tree.problems()
        for where in ("python/veltra/_api.py", "csharp/Veltra.cs", "pascal/veltra.pas",
                      "vb/Veltra.bas (VBA7)", "vb/Veltra.bas (VB6)"):
            self.assertIn(f"{where}: ecr_pong is not declared", problems)
        self.assertEqual(len(self.tree.generated_problems()), 4)

    def test_a_changed_parameter_type_in_the_header_is_found(self):
        self.tree.edit("lib/veltra.h", r"ecr_ping\(const char\* hostname, int32_t numsec\)",
                       "ecr_ping(const char* hostname, uint32_t numsec)")
        problems = self.tree.problems()
        self.assertIn("python/veltra/_api.py: ecr_ping argument 2 is 'c_int32', which does not "
                      "carry uint32_in", problems)
        self.assertIn("csharp/Veltra.cs: ecr_ping argument 2 is 'int', which does not carry "
                      "uint32_in", problems)
        self.assertIn("pascal/veltra.pas: ecr_ping argument 2 is 'int32', which does not carry "
                      "uint32_in", problems)
        # VB spells both with Long: it cannot tell them apart.
        self.assertFalse([p for p in problems if p.startswith("vb/")], problems)

    def test_the_def_and_the_header_must_agree(self):
        self.tree.edit("lib/veltra.def", r"    ecr_ping\n", "    ecr_ping\n    ecr_pang\n")
        self.assertIn("veltra.def exports ecr_pang, which veltra.h does not declare",
                      self.tree.problems())
        self.tree.edit("lib/veltra.def", r"    ecr_oro_check\n", "")
        self.assertIn("veltra.h declares ecr_oro_check, which veltra.def does not export",
                      self.tree.problems())

    def test_a_header_type_without_a_kind_is_named(self):
        self.tree.edit("lib/veltra.h", r"ecr_ping\(const char\* hostname, int32_t numsec\)",
                       "ecr_ping(const char* hostname, double numsec)")
        self.assertIn("veltra.h: ecr_ping: no kind for parameter type 'double'",
                      self.tree.problems())

    def test_the_command_line_fails_and_names_the_problem(self):
        self.tree.edit("bindings/csharp/Veltra.cs", r"int numsec\)", "int numsec, int extra)")
        import io
        import contextlib
        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            rc = check.main(["--root", self.tree.dir])
        self.assertEqual(rc, 1)
        self.assertIn("csharp/Veltra.cs: ecr_ping takes 3 argument(s); the header has 2",
                      out.getvalue())
        self.assertIn("csharp/Veltra.cs differs from what generate.py writes now", out.getvalue())


if __name__ == "__main__":
    unittest.main()
