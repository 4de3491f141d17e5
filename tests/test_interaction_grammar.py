"""The grammar of the library's interaction strings and parse_interaction."""

import pytest

from equilexproxy import entities

pp = entities.pp

FIRST = "1: *3 ( 1)-( 2)-( 4) : ( 8)"
SECOND = "4: *R ( 1)-( 3) : ( 6)-( 8)"


@pytest.mark.parametrize(
    "text, tokens, interaction, kind, species, power, model",
    [
        (FIRST, [1, "3", 1, 2, 4, ":", 8], 1, "3", [1, 2, 4, 8], None, None),
        (SECOND, [4, "R", 1, 3, ":", 6, 8], 4, "R", [1, 3, 6, 8], None, None),
        ("1: *3 ( 1)-( 2)^[2]-( 4) : ( 8)", [1, "3", 1, 2, 2, 4, ":", 8], 1, "3", [1, 2, 4, 8],
         [2], None),
        (SECOND + " (Quasichemical)", [4, "R", 1, 3, ":", 6, 8, "Quasichemical"], 4, "R",
         [1, 3, 6, 8], None, "Quasichemical"),
        ("2: *2 ( 2)-( 5) : ( 8) (Guts)", [2, "2", 2, 5, ":", 8, "Guts"], 2, "2", [2, 5, 8],
         None, "Guts"),
        ("3: *2 ( 1)-( 2)(Bragg-Williams)", [3, "2", 1, 2, "Bragg-Williams"], 3, "2", [1, 2],
         None, "Bragg-Williams"),
        ("***: *3 ( 1)-( 2)-( 4) : ( 8)", ["***", "3", 1, 2, 4, ":", 8], "***", "3",
         [1, 2, 4, 8], None, None),
        # Blanks before the number and the marker are skipped, a leading zero dropped, a
        # trailing "-" left unread.
        ("  01 : *3 ( 1)-", [1, "3", 1], 1, "3", [1], None, None),
        ("1: *3 ( 1)( 2)", [1, "3", 1], 1, "3", [1], None, None),
        ("1: *3 ( 1)^(2)", [1, "3", 1], 1, "3", [1], None, None),
        ("1: *3 ( 1) :", [1, "3", 1], 1, "3", [1], None, None),
        # Blanks inside the power's brackets; the model word is read case-sensitively.
        ("1: *3 ( 1)^[ 2 ] : ( 8) (guts)", [1, "3", 1, 2, ":", 8], 1, "3", [1, 8], [2], None),
        ("12: *2 (012)^[3]-( 2)^[04]", [12, "2", 12, 3, 2, 4], 12, "2", [12, 2], [3, 4], None),
        ("1: *3 ( 1) : ( 8) (Guts) trailing words", [1, "3", 1, ":", 8, "Guts"], 1, "3", [1, 8],
         None, "Guts"),
    ],
)
def test_parse_results(text, tokens, interaction, kind, species, power, model):
    result = entities.parse_interaction(text)
    assert isinstance(result, pp.ParseResults)
    assert result.asList() == tokens
    assert result["interaction_index"] == interaction
    assert result["some_index"] == kind
    assert isinstance(result["species_index"], pp.ParseResults)
    assert list(result["species_index"]) == species
    assert all(type(n) is int for n in result["species_index"])
    assert (None if result.get("power") is None else list(result.get("power"))) == power
    assert result.get("type") == model


def test_only_five_result_names():
    result = entities.parse_interaction("1: *3 ( 1)^[2]-( 2) : ( 8) (Guts)")
    assert sorted(result.keys()) == ["interaction_index", "power", "some_index", "species_index",
                                     "type"]


@pytest.mark.parametrize(
    "text",
    ["1:*3 ( 1)", "1:  *3 ( 1)", "1: *3", "1: *( 1)", "1: *3 x", "", "x: *3 ( 1)", "1: *3 (x)",
     "1; *3 ( 1)"],
)
def test_texts_that_do_not_parse(text):
    with pytest.raises(pp.ParseException):
        entities.parse_interaction(text)


def test_a_non_text_fails_as_the_parser_fails():
    with pytest.raises(Exception) as direct:
        entities._interaction_parser.parseString(12)
    with pytest.raises(type(direct.value)) as caught:
        entities.parse_interaction(12)
    assert str(caught.value) == str(direct.value)


def test_numbers_have_no_upper_bound():
    big = 10**30
    result = entities.parse_interaction(f"{big}: *2 ( {big})")
    assert result["interaction_index"] == big and list(result["species_index"]) == [big]


def test_each_grammar_is_new_and_parses_alike():
    first, second = entities._get_interaction_parser(), entities._get_interaction_parser()
    assert first is not second and entities._interaction_parser not in (first, second)
    assert isinstance(first, pp.ParserElement)
    for text in (FIRST, SECOND, "1: *3 ( 1)-( 2)^[2]-( 4) : ( 8) (Guts)"):
        assert first.parseString(text).asList() == second.parseString(text).asList()
        assert first.parseString(text).asList() == entities.parse_interaction(text).asList()


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((1,), {}, "_get_interaction_parser() takes exactly 0 positional arguments (1 given)"),
        ((1, 2), {"x": 3}, "_get_interaction_parser() takes exactly 0 positional arguments "
                           "(2 given)"),
        ((), {"x": 1}, "_get_interaction_parser() got an unexpected keyword argument 'x'"),
    ],
)
def test_the_grammar_builder_takes_no_arguments(args, kwargs, message):
    # The common argument texts of every function, not the short ones of isx64.
    with pytest.raises(TypeError) as caught:
        entities._get_interaction_parser(*args, **kwargs)
    assert str(caught.value) == message


def test_parse_interaction_reads_the_module_grammar_at_each_call(monkeypatch):
    seen = []

    class Grammar:
        def parseString(self, text):
            seen.append(text)
            return "parsed"

    monkeypatch.setattr(entities, "_interaction_parser", Grammar())
    assert entities.parse_interaction("anything") == "parsed" and seen == ["anything"]
