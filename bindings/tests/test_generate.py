"""generate.py on small headers: which comment goes with which function, the
types it refuses, and the Python it writes, run against a stand-in library.

Run: python3 bindings/tests/test_generate.py
"""
import os
import sys
import tempfile
import types
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))

import generate  # noqa: E402

HEAD = """/*
 * mini.h - a header in the shape of veltra.h.
 */
#define ECR_CALL
#ifdef __cplusplus
extern "C" {
#endif

/* Result codes. */
#define ECR_RESULT_MAP(XX)                        \\
    XX(ERR_ONE, -1, "the first failure")          \\
    XX(ERR_TWO, -2, "the second failure")

"""
TAIL = """
#ifdef __cplusplus
}
#endif
"""


def header(body):
    f = tempfile.NamedTemporaryFile("w", suffix=".h", delete=False)
    f.write(HEAD + body + TAIL)
    f.close()
    return f.name


class Parse(unittest.TestCase):
    def parse(self, body):
        path = header(body)
        self.addCleanup(os.unlink, path)
        return generate.parse_header(path)

    def groups_by_function(self, groups):
        return {f.name: g for g in groups for f in g.functions}

    def test_comment_over_constants_and_functions_goes_with_the_functions(self):
        _, groups = self.parse("""
/* The serial channel: ecr_enum: lists the ports. */
#define ECR_LIST_BUFSIZE 40
ECR_API int32_t ECR_CALL ecr_enum(char* string);
ECR_API int32_t ECR_CALL ecr_open(int32_t port);
""")
        g = self.groups_by_function(groups)["ecr_enum"]
        self.assertEqual(g.comments, [["The serial channel: ecr_enum: lists the ports."]])
        self.assertEqual(g.defines, [("ECR_LIST_BUFSIZE", 40)])
        self.assertEqual([f.name for f in g.functions], ["ecr_enum", "ecr_open"])

    def test_comment_over_constants_alone_stays_with_them(self):
        _, groups = self.parse("""
/* Sizes. */
#define ECR_A_BUFSIZE 7
/* ecr_a: fills a. */
ECR_API char* ECR_CALL ecr_a(char* a);
""")
        sizes = [g for g in groups if g.defines][0]
        self.assertEqual(sizes.comments, [["Sizes."]])
        self.assertFalse(sizes.functions)
        self.assertEqual(self.groups_by_function(groups)["ecr_a"].comments, [["ecr_a: fills a."]])

    def test_kinds_of_each_parameter_and_result(self):
        _, groups = self.parse("""
/* ecr_all: one of each. */
ECR_API uint32_t ECR_CALL ecr_all(const char* a, char* b, const unsigned char* c,
                                  unsigned char* d, int32_t e, uint32_t f, int32_t* g,
                                  char** h, char* bufptr);
""")
        f = self.groups_by_function(groups)["ecr_all"].functions[0]
        self.assertEqual(f.ret_kind, "uint32")
        self.assertEqual([p.kind for p in f.params],
                         ["text_in", "buf_out", "bytes_in", "buf_out", "int32_in", "uint32_in",
                          "int32_out", "text_list", "buf_out"])
        self.assertEqual([p.is_bytes for p in f.params],
                         [False, False, True, True, False, False, False, False, True])
        self.assertTrue(f.has_list)

    def test_results_and_data(self):
        _, groups = self.parse("""
/* ecr_names: a NULL-terminated array of 2 names: "A.BIN", "B.BIN". */
ECR_DATA extern const char* const ecr_names[];
""")
        results = [g for g in groups if g.results][0].results
        self.assertEqual(results, [("ERR_ONE", -1, "the first failure"),
                                   ("ERR_TWO", -2, "the second failure")])
        self.assertEqual([g.data for g in groups if g.data], [("ecr_names", ["A.BIN", "B.BIN"])])

    def test_refusals(self):
        cases = [
            ("a parameter type", "ECR_API int32_t ECR_CALL ecr_x(double d);\n",
             "parameter type 'double' has no binding"),
            ("a result type", "ECR_API void ECR_CALL ecr_x(int32_t a);\n",
             "return type 'void' has no binding"),
            ("a data list that miscounts",
             '/* ecr_n: a NULL-terminated array of 3 names: "A.BIN", "B.BIN". */\n'
             "ECR_DATA extern const char* const ecr_n[];\n", "must list its names and their count"),
        ]
        for name, body, message in cases:
            with self.subTest(name):
                with self.assertRaises(generate.HeaderError) as e:
                    self.parse(body)
                self.assertIn(message, str(e.exception))


class StandIn:
    """Plays the loaded library: records each call, answers 7."""

    def __init__(self, prototypes):
        self.prototypes = prototypes
        self.calls = []

    def __getattr__(self, name):
        if name not in self.prototypes:
            raise AttributeError(name)
        return lambda *args: self.calls.append((name, args)) or 7

    def text_list(self, name):
        self.calls.append(("text_list", (name,)))
        return [b"A.BIN"]


class PythonOutput(unittest.TestCase):
    def module(self, body):
        path = header(body)
        self.addCleanup(os.unlink, path)
        preamble, groups = generate.parse_header(path)
        source = generate.emit_python(preamble, groups)
        self.assertTrue(source.startswith("# " + generate.STAMP + "\n"))
        loader = types.ModuleType("fake._loader")
        loader.Library = StandIn
        pkg = types.ModuleType("fake")
        pkg.__path__ = []
        sys.modules["fake"], sys.modules["fake._loader"] = pkg, loader
        self.addCleanup(sys.modules.pop, "fake")
        self.addCleanup(sys.modules.pop, "fake._loader")
        mod = types.ModuleType("fake._api")
        mod.__package__ = "fake"
        exec(compile(source, "_api.py", "exec"), mod.__dict__)
        return mod

    def test_functions_pass_their_arguments_and_share_their_group_comment(self):
        mod = self.module("""
/* Tables: ecr_get_a and ecr_get_b fetch a table. */
ECR_API int32_t ECR_CALL ecr_get_a(const char* hostname, const char* filename);
ECR_API int32_t ECR_CALL ecr_get_b(const char* hostname, const char* filename);
/* ecr_one: alone. */
ECR_API uint32_t ECR_CALL ecr_one(int32_t day, uint32_t oro, char** var_list);
/* ecr_names: a NULL-terminated array of 1 names: "A.BIN". */
ECR_DATA extern const char* const ecr_names[];
""")
        self.assertEqual(mod.ecr_get_b(b"h", b"f"), 7)
        self.assertEqual(mod.ecr_one(1, 2, None), 7)
        self.assertEqual(mod.ecr_names(), [b"A.BIN"])
        self.assertEqual(mod._lib.calls, [("ecr_get_b", (b"h", b"f")), ("ecr_one", (1, 2, None)),
                                          ("text_list", ("ecr_names",))])
        self.assertEqual(mod.ecr_get_a.__doc__, mod.ecr_get_b.__doc__)
        self.assertIn("ecr_get_a and ecr_get_b fetch a table.", mod.ecr_get_a.__doc__)
        self.assertEqual(mod.ecr_one.__doc__.strip(), "ecr_one: alone.")
        self.assertIn("A.BIN", mod.ecr_names.__doc__)
        proto = {k: (r.__name__, [getattr(a, "__name__", str(a)) for a in args])
                 for k, (r, args) in mod.PROTOTYPES.items()}
        self.assertEqual(proto["ecr_one"], ("c_uint", ["c_int", "c_uint", "LP_c_char_p"]))
        self.assertEqual((mod.ERR_ONE, mod.ERR_TWO), (-1, -2))
        # A star import brings the interface, not ctypes' names.
        self.assertEqual(sorted(mod.__all__), sorted(["RESULTS", "PROTOTYPES", "ERR_ONE", "ERR_TWO",
                                                      "ecr_get_a", "ecr_get_b", "ecr_one",
                                                      "ecr_names"]))
        self.assertEqual(mod.RESULTS[1], ("ERR_TWO", -2, "the second failure"))


class OtherOutputs(unittest.TestCase):
    def test_reserved_parameter_names_are_renamed(self):
        path = header("/* ecr_send: one text. */\n"
                      "ECR_API int32_t ECR_CALL ecr_send(int32_t port, const char* string,"
                      " char* name);\n")
        self.addCleanup(os.unlink, path)
        preamble, groups = generate.parse_header(path)
        cs = generate.emit_csharp(preamble, groups)
        self.assertIn("public static extern int ecr_send(int port, string @string, "
                      "StringBuilder name);", cs)
        pas = generate.emit_pascal(preamble, groups)
        self.assertIn("function ecr_send(port: Int32; const string_: PAnsiChar; name: PAnsiChar)"
                      ": Int32;", pas)
        vb = generate.emit_vb(preamble, groups)
        joined = vb.replace(" _\r\n        ", " ").replace("( ", "(")
        self.assertIn('Declare PtrSafe Function ecr_send Lib "VELTRA.dll" (ByVal port As Long, '
                      "ByVal str As String, ByVal nome As String) As Long", joined)
        self.assertNotIn("\n", vb.replace("\r\n", ""))


if __name__ == "__main__":
    unittest.main()
