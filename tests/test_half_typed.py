"""Code an editor sees while it is being typed: definition lines that name
nothing yet, and text that is not valid in any encoding.  Such a line must
not hide the definitions below it, nor make a query fail."""

import pytest

import pysource

BARE_DEF_THEN_CLASS = ("class A: ...\n"
                       "{half}\n"
                       "class B:\n"
                       "    def g(self):\n"
                       "        self.y = {{}}\n")

HALF_TYPED = ["def", "def  # to do", "class", "class 'x.y':", "async def", "def ():", "class 1:",
              "def if():"]


def _analyze(text):
    return pysource.Project(search_path=[]).analyze_source(text)


@pytest.mark.parametrize("half", HALF_TYPED)
@pytest.mark.parametrize("edited", [False, True], ids=["fresh", "edited"])
def test_a_nameless_definition_hides_nothing_below_it(half, edited):
    text = BARE_DEF_THEN_CLASS.format(half=half)
    if edited:
        mod = _analyze(BARE_DEF_THEN_CLASS.format(half="x = 1"))
        mod.set_source(text)
        mod.UpdateFromCache()
    else:
        mod = _analyze(text)
    impl = mod.impl
    b = impl.GetScopeDefForFullName("B")
    assert b is not None and b.tokens[:2] == ("class", "B")
    assert [name for name, _ in impl.GetInstanceAttributes("B", None)] == ["y"]
    assert impl.FindInstAttribTypeEquivs("y", "B", None) == [("B.g", ["::dict:"])]
    assert [mod.scope_of(line) for line in mod.lines] == ["", "", "", "B", "B.g"]
    full_names = [r.fFullName for r in impl.SearchForAttribs({})]
    assert full_names == ["A", "B", "B.g", "B.g.self.y"]
    mod.close()


@pytest.mark.parametrize("half", HALF_TYPED)
def test_queries_under_a_nameless_definition(half):
    mod = _analyze("%s\n    x = 1\n    def f(self):\n        self.a = []\n" % half)
    impl = mod.impl
    # The indented lines belong to no definition: the nameless line is not
    # a scope, and every full name found can be looked up again.
    assert [mod.scope_of(line) for line in mod.lines] == ["", "", "", "f"]
    assert impl.FindInstAttribTypeEquivs("a", "B", None) == []
    for ref in impl.SearchForAttribs({}):
        if ref.fLogical.type in (pysource.splitter.kClassDefIndex, pysource.splitter.kFunctionDefIndex):
            assert impl.GetScopeDefForFullName(ref.fFullName) is ref.fLogical
    assert "# to do" not in [r.fLocalName for r in impl.SearchForAttribs({})]
    mod.close()


@pytest.mark.parametrize("text", [
    "class \udc80: pass\n",
    "class \udc80:\n    def f(self):\n        self.\udc80 = {}\n",
    "class A\udc80:\n    def f(self): pass\n",
    "\udc80 = 1\nimport \udc80\nfrom \udc80 import x\nx = '\udc80'\n",
    "def g(\udc80): pass\n@\udc80\ndef f(): isinstance(x, \udc80)\n",
])
def test_lone_surrogates_are_analysed_without_error(text):
    mod = _analyze(text)
    for ref in mod.impl.SearchForAttribs({}):
        assert "\udc80" not in ref.fFullName
        mod.impl.GetScopeDefForFullName(ref.fFullName)
    assert all(mod.scope_of(line) is not None for line in mod.lines)
    mod.close()
