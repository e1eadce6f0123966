"""Splitting source text into logical lines: tokens, positions, indents,
flags and line kinds, checked on tricky inputs and against the interpreter's
own tokenizer over part of the standard library."""

import io
import os
import sysconfig
import tokenize

import logicalline as ll
import pytest

import pysource
from pysource.splitter import rescan_logical_lines, scan_logical_lines

U, A, S = ll.kUnknownIndex, ll.kAssignmentIndex, ll.kStringExpressionIndex


def lines(text):
    return [(toks, kind) for toks, _, _, _, _, kind, _, _ in scan_logical_lines(text)]


def kinds(text):
    return [kind for _, kind in lines(text)]


def test_statement_comment_and_blank_lines():
    text = "import os  # why\n\n   \n# note\n    # indented note\nx = 1"
    recs = scan_logical_lines(text)
    assert [(r[0], r[5]) for r in recs] == [
        (["import", "os", "# why"], ll.kImportIndex), ([], ll.kBlankLineIndex), ([], ll.kBlankLineIndex),
        (["# note"], ll.kCommentIndex), (["# indented note"], ll.kCommentIndex), (["x", "=", "1"], A)]
    # first_line, line_count, indent of each; the last line has no newline.
    assert [r[2:5] for r in recs] == [(1, 1, 0), (2, 1, 0), (3, 1, 3), (4, 1, 0), (5, 1, 4), (6, 1, 0)]
    assert recs[0][1] == [(1, 0), (1, 7), (1, 11)]
    assert scan_logical_lines("") == [] and scan_logical_lines("\n") == [([], [], 1, 1, 0, 22, False, False)]
    assert lines("# only") == [(["# only"], ll.kCommentIndex)]
    assert lines("x\n  ") == [(["x"], 0), ([], ll.kBlankLineIndex)]


def test_continuations_join_physical_lines():
    text = ("x = [1,\n     # inside\n\n     2]  # end\n"
            "y = a + \\\n    b\n"
            's = """one\ntwo""" + f(\n  3)\n'
            "z = 'a\\\nb'\n"
            "w = 1\r\nv = (\r\n 2)\r\n")
    recs = scan_logical_lines(text)
    # Tokens of continued lines in general are held to the interpreter's
    # tokenizer below; here a blank line in brackets, CRLF ends and a
    # backslash inside a string.
    assert recs[0][0] == ["x", "=", "[", "1", ",", "# inside", "2", "]", "# end"]
    assert [r[0] for r in recs[3:]] == [["z", "=", "'a\\\nb'"], ["w", "=", "1"], ["v", "=", "(", "2", ")"]]
    assert [(r[2], r[3]) for r in recs] == [(1, 4), (5, 2), (7, 3), (10, 2), (12, 1), (13, 2)]
    # Positions after a string spanning lines count from that string's end.
    assert recs[2][1] == [(7, 0), (7, 2), (7, 4), (8, 7), (8, 9), (8, 10), (9, 2), (9, 3)]
    assert recs[1][1][-1] == (6, 4) and recs[5][1][-2:] == [(14, 1), (14, 2)]


def test_strings_are_single_tokens():
    text = ("a = b'x' rb'\\'' F\"{x!r:>{w}}\" u'u' '''q'''\n"
            'b = f"{d["k"]}" f"{x:{"y"}}" f\'{a}\' "s"\n'
            "c = f'''{\n'x'\n}''' + 1\n")
    toks = [t for t, _ in lines(text)]
    assert toks[0][2:] == ["b'x'", "rb'\\''", 'F"{x!r:>{w}}"', "u'u'", "'''q'''"]
    assert toks[1][2:] == ['f"{d["k"]}"', 'f"{x:{"y"}}"', "f'{a}'", '"s"']
    assert toks[2] == ["c", "=", "f'''{\n'x'\n}'''", "+", "1"]


def test_names_hold_any_non_ascii_character():
    # Combining marks continue an identifier, though `\w` doesn't match them.
    assert lines("\u05e9\u05b4 = a\u0947b.\u00e9t\u00e9\n") == [
        (["\u05e9\u05b4", "=", "a\u0947b", ".", "\u00e9t\u00e9"], 4)]


def test_bad_source_still_splits():
    # Unterminated strings, stray characters and unbalanced brackets.
    text = "a = 'open\nb = $ ? !\nc = )\nd = 1\ne = '''never\nclosed\n"
    toks = [t for t, _ in lines(text)]
    assert toks == [["a", "=", "'open"], ["b", "=", "$", "?", "!"], ["c", "=", ")"], ["d", "=", "1"],
                    ["e", "=", "'''never\nclosed\n"]]
    assert lines("(") == [(["("], 0)] and lines("f(\n") == [(["f", "("], 0)]


@pytest.mark.parametrize("ws, indent, tabs, spaces", [
    ("", 0, False, False), ("    ", 4, False, True), ("\t", 8, True, False),
    ("  \t", 8, True, True), ("\t  ", 10, True, True), ("\t\t ", 17, True, True),
    ("       \t", 8, True, True), ("  \f  ", 2, False, True),
])
def test_indent_and_flags(ws, indent, tabs, spaces):
    rec = scan_logical_lines("if x:\n" + ws + "pass\n")[1]
    assert rec[4:5] + rec[6:] == (indent, tabs, spaces)


def test_async_merges_with_the_next_keyword():
    recs = scan_logical_lines("async def f(a):\n    async with a as b: await g(); x = 1\n    async = 2\n")
    assert [r[0][:2] for r in recs] == [["async def", "f"], ["async with", "a"], ["async", "="]]
    assert [r[5] for r in recs] == [ll.kFunctionDefIndex, ll.kUnknownIndex, ll.kUnknownIndex]
    assert recs[0][1][:2] == [(1, 0), (1, 10)]   # "async def" at the position of async


def test_keyword_line_kinds():
    text = ("class A(B): pass\ndef f(): return 1\nif x: y = 1\nelif x:\nelse:\nwhile x:\nfor x in y:\n"
            "async for x in y:\npass\nraise E\ntry:\nexcept E as e:\nfinally:\nassert x\nreturn\nimport a\n"
            "from a import b\ndel x\nbreak\ncontinue\nprint('x')\nglobal x\nwith a as b:\nyield x\n@dec(1)\n")
    names = ("ClassDef FunctionDef IfBeginning ElifBeginning ElseBeginning WhileBeginning ForBeginning "
             "ForBeginning Pass Raise Try Except Finally Assert Return Import FromImport Delete Break")
    assert kinds(text) == [getattr(ll, "k%sIndex" % n) for n in names.split()] + [U] * 6


@pytest.mark.parametrize("text, kind", [
    ("'''doc'''", S), ("'a' 'b'  # c", S), ("f'x'", U), ("b'x'", U), ("'a'.join(x)", U),
    ("a, *b = c", A), ("x[0] += 1", A), ("x: int", A), ("self.x: List[int] = []", A),
    ("x == 1", U), ("f(a=1)", U), ("(y := 2)", U), ("lambda: 0", U), ("f = lambda: 0", A), ("d[1:2]", U),
    ("x = 1; y", A), ("y; x = 1", U), ("match x:", U), ("match (a, b):", U), ("case [a, b]:", U),
    ("case {'k': v} if v: x = 1", U), ("match = 1", A), ("case: int = 2", A), ("match[0] = 1", A), ("match(x)", U),
])
def test_line_kinds(text, kind):
    assert kinds(text) == [kind]


def test_logical_line_objects_share_pooled_tokens():
    pool = {}
    a, x, y = pysource.split_logical_lines("class A:\n\tx = (1,\n\t     2)\nx = A\n", pool)
    assert type(a) is ll.LogicalLine and a.tokens == ("class", "A", ":") and a.type == ll.kClassDefIndex
    assert (x.first_line, x.line_count, x.indent, x.tabs_in_indent, x.spaces_in_indent) == (2, 2, 8, True, False)
    assert x.positions == ((2, 1), (2, 3), (2, 5), (2, 6), (2, 7), (3, 6), (3, 7)) and not x.parsed
    assert y.tokens[0] is x.tokens[0] is pool["x"] and y.tokens[2] is a.tokens[1]
    assert all(pool[t] is t for line in (a, x, y) for t in line.tokens)


def test_positions_saturate_at_16_bits():
    text = "x = 1\n" * 3 + "y = [" + " " * 70000 + "1]\n" + "\n" * 70000 + "z = 2\n"
    objs = pysource.split_logical_lines(text)
    assert objs[3].positions[-2:] == ((4, 65535), (4, 65535))
    assert objs[-1].positions == ((65535, 0), (65535, 2), (65535, 4)) and objs[-1].first_line == 70005


def _tokenize_lines(text):
    """Statement lines as the interpreter's tokenizer sees them: (token,
    position) lists, with comment-only and blank lines as in the splitter."""
    out, cur, after_comment = [], [], False
    rows = io.StringIO(text).readlines()
    fstring_start = getattr(tokenize, "FSTRING_START", None)  # 3.12 splits f-strings up
    depth = 0
    for t in tokenize.generate_tokens(io.StringIO(text).readline):
        if t.type in (tokenize.INDENT, tokenize.DEDENT, tokenize.ENDMARKER):
            continue
        if depth or t.type == fstring_start:
            # One token for the whole f-string, as the splitter makes it.
            if t.type == fstring_start:
                depth += 1
                if depth == 1:
                    start = t.start
            elif t.type == tokenize.FSTRING_END:
                depth -= 1
                if depth == 0:
                    (r0, c0), (r1, c1) = start, t.end
                    piece = rows[r0 - 1][c0:] if r0 != r1 else rows[r0 - 1][c0:c1]
                    if r0 != r1:
                        piece += "".join(rows[r0:r1 - 1]) + rows[r1 - 1][:c1]
                    cur.append((piece, start))
            continue
        if t.type == tokenize.NEWLINE:
            out.append(cur)
            cur = []
        elif t.type == tokenize.NL:
            if not cur and not after_comment:
                out.append([])
            after_comment = False
        elif t.type == tokenize.COMMENT and not cur:
            out.append([(t.string, t.start)])
            after_comment = True
        elif t.string in ("def", "for", "with") and len(cur) == 1 and cur[0][0] == "async":
            cur[0] = ("async " + t.string, cur[0][1])
        else:
            cur.append((t.string, t.start))
    return out


def test_agrees_with_the_tokenizer_on_the_standard_library():
    stdlib = sysconfig.get_paths()["stdlib"]
    names = sorted(n for n in os.listdir(stdlib) if n.endswith(".py"))[::4]
    assert len(names) >= 30
    for name in names:
        text = pysource.read_source(os.path.join(stdlib, name))
        mine = [list(zip(r[0], r[1])) for r in scan_logical_lines(text)]
        assert mine == _tokenize_lines(text), name


def test_rescanning_an_edit_gives_the_records_of_a_full_scan():
    # Edits that change how much of the rest is one logical line (brackets,
    # strings, continuations) as well as local ones.
    import random
    rnd = random.Random(7)
    snippets = ["(", ")", '"""', "'", "\\\n", "\n", "    ", "#", "def f(x):\n", "x = [\n", "]\n",
                'f"{a}"', "\t", "async def g():\n", ":"]
    for name in ("textwrap.py", "string.py"):
        text = open(os.path.join(sysconfig.get_paths()["stdlib"], name), encoding="utf-8").read()
        records = scan_logical_lines(text)
        for _ in range(120):
            i = rnd.randrange(len(text) + 1)
            if rnd.random() < 0.5:
                new = text[:i] + rnd.choice(snippets) + text[i:]
            else:
                new = text[:i] + text[i + rnd.randrange(1, 80):]
            records = rescan_logical_lines(text, records, new)
            assert records == scan_logical_lines(new)
            text = new


@pytest.mark.parametrize("text", ["def", "def  # to do", "class 'x.y':", "def (", "class if:", "async def (x):",
                                  "def 1():", "class €:"])
def test_a_definition_line_needs_a_name_second(text):
    assert kinds(text) == [U]


@pytest.mark.parametrize("text, kind", [("def f(", ll.kFunctionDefIndex), ("class match:", ll.kClassDefIndex),
                                        ("async def _():", ll.kFunctionDefIndex), ("class é", ll.kClassDefIndex)])
def test_half_typed_definitions_keep_their_kind(text, kind):
    assert kinds(text) == [kind]


def test_a_replacement_field_over_several_rows_is_part_of_one_line():
    text = 'def f():\n    x = f"{\na}" + f"{a +\nb!r:>{w}}"\n    y = f"{d[\n1]  # why\n}"\n    return x\n'
    recs = scan_logical_lines(text)
    assert [r[0] for r in recs] == [["def", "f", "(", ")", ":"], ["x", "=", 'f"{\na}"', "+", 'f"{a +\nb!r:>{w}}"'],
                                    ["y", "=", 'f"{d[\n1]  # why\n}"'], ["return", "x"]]
    assert [r[2:5] for r in recs] == [(1, 1, 0), (2, 3, 4), (5, 3, 4), (8, 1, 4)]
    assert recs[1][1] == [(2, 4), (2, 6), (2, 8), (3, 4), (3, 6)]


def test_a_continuation_at_column_0_keeps_the_scope():
    text = ("class A:\n    def m(self):\n        self.x = f'{\n1}'\n        self.y = [\n2]\n"
            "        self.z = 1 + \\\n3\n    def n(self): pass\n")
    mod = pysource.analyze_source(text)
    assert [mod.scope_of(line) for line in mod.lines] == ["", "A", "A.m", "A.m", "A.m", "A"]


def test_deeply_nested_format_specs_do_not_exhaust_the_stack():
    text = 'x = f"' + "{a:" * 2000 + '"\ny = 1\n'
    recs = scan_logical_lines(text)
    assert recs[-1][0] == ["y", "=", "1"]


def test_rows_past_16_bits_from_lone_carriage_returns_saturate():
    objs = pysource.split_logical_lines("\r" * 40000 + "\n" * 40000 + "z = 2\n")
    assert objs[-1].positions[0] == (65535, 0)


def test_lines_stay_out_of_the_cyclic_collector_until_they_hold_a_module():
    import gc
    mod = pysource.analyze_source("import os\nx = 1\n")
    imp, x = mod.lines
    assert not gc.is_tracked(x) and not gc.is_tracked(pysource.split_logical_lines("y = 2\n")[0])
    mod.analyze()
    # The import entry holds the analysis object of `os`, which can lead back.
    assert gc.is_tracked(imp) and not gc.is_tracked(x)
