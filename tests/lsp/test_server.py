"""`vemo lsp` over stdio: diagnostics as the text changes, completion, definitions, references and hovers."""

import shutil

import pytest
from lsprotocol import types

from lsp_support import ROOT, editor, position_of, run, text_at

EXAMPLES = ROOT / "examples"
PICK_PLACE = (EXAMPLES / "pick_place.vemo").read_text()


@pytest.fixture
def folder(tmp_path):
    """A script folder with the example cell beside the scripts."""
    shutil.copy(EXAMPLES / "cell.yaml", tmp_path / "cell.yaml")
    return tmp_path


def errors(diagnostics):
    return [d for d in diagnostics if d.severity == types.DiagnosticSeverity.Error]


@pytest.mark.parametrize("old, new, marked, words", [
    ("to place }", "to plce }", "plce", "no position 'plce'"),
    ("move @ZAxis to down }", "move @ZAxs to down }", "@ZAxs", "unknown module '@ZAxs'"),
    ("vacuum on", "vacum on", "vacum", "no IO point 'vacum'"),
    ("{ approach }", "{ approch }", "approch", "'approch' is not a block declared before this point"),
    ("wait z_lift", "wait z_back", "move @ZAxis to down", "wait cycle"),
    ("move @ZAxis to down }", "move @ZAxis down }", "down", "expected 'to'"),
    ("main = loop 3", "main = loop three", "three", "unexpected 'three'"),
])
def test_diagnostics_mark_the_fault_and_clear_when_it_is_fixed(folder, old, new, marked, words):
    script = folder / "pick_place.vemo"
    script.write_text(PICK_PLACE)
    broken = PICK_PLACE.replace(old, new, 1)

    async def session():
        async with editor() as ed:
            uri = ed.open(script)
            assert await ed.diagnostics(uri) == []
            ed.change(uri, broken)
            found = errors(await ed.diagnostics(uri))
            assert len(found) == 1 and words in found[0].message, found
            assert text_at(broken, found[0].range) == marked
            ed.change(uri, PICK_PLACE)
            assert await ed.diagnostics(uri) == []
    run(session)


def test_unknown_sequence_of_a_tray_module_is_marked(folder):
    text = (EXAMPLES / "tray_compete.vemo").read_text().replace("along reload", "along relod")
    script = folder / "tray.vemo"
    script.write_text(text)

    async def session():
        async with editor() as ed:
            found = errors(await ed.diagnostics(ed.open(script)))
            assert len(found) == 1 and "no sequence 'relod'" in found[0].message
            assert text_at(text, found[0].range) == "relod"
    run(session)


def test_script_without_a_cell_gets_syntax_diagnostics(tmp_path):
    script = tmp_path / "alone.vemo"
    script.write_text("main = { move @Nowhere to somewhere }\n")

    async def session():
        async with editor() as ed:
            uri = ed.open(script)
            found = await ed.diagnostics(uri)
            assert errors(found) == [] and "no cell description" in found[0].message
            ed.change(uri, "main = { move @Nowhere somewhere }\n")
            assert [text_at("main = { move @Nowhere somewhere }", d.range)
                    for d in errors(await ed.diagnostics(uri))] == ["somewhere"]
    run(session)


@pytest.mark.parametrize("cell_text", ["modules: [", "modules: {X: {kind: lathe, handler_id: 1}}", "", None])
def test_broken_cell_gets_one_diagnostic_naming_it_once_and_the_server_goes_on(folder, cell_text):
    cell = folder / "cell.yaml"
    cell.unlink()
    if cell_text is None:
        cell.mkdir()  # a cell path that cannot be read as a file
    else:
        cell.write_text(cell_text)
    script = folder / "pick_place.vemo"
    script.write_text(PICK_PLACE)

    async def session():
        async with editor(cell="cell.yaml") as ed:
            uri = ed.open(script)
            found = errors(await ed.diagnostics(uri))
            assert len(found) == 1 and found[0].message.count(str(cell.resolve())) == 1, found
            ed.change(uri, PICK_PLACE + "oops")
            assert any("unexpected" in d.message for d in await ed.diagnostics(uri))
    run(session)


@pytest.mark.parametrize("comment, options", [("# cell: ../cell.yaml\n", {}), ("", {"cell": "../cell.yaml"})],
                         ids=["comment", "setting"])
def test_cell_named_in_a_comment_or_a_setting_is_used(folder, tmp_path, comment, options):
    scripts = tmp_path / "scripts"
    scripts.mkdir()
    script = scripts / "named.vemo"
    script.write_text(comment + "main = { move @XAxis to nowhere }\n")

    async def session():
        async with editor(**options) as ed:
            found = await ed.diagnostics(ed.open(script))
            assert [d.message for d in found] == [
                "XAxis has no position 'nowhere' (known: park, pick, place)"]
    run(session)


def test_completion_offers_the_cells_names_where_they_fit(folder):
    script = folder / "pick_place.vemo"
    script.write_text(PICK_PLACE)
    cases = [  # text typed on a new line of main, what must be offered, what must not
        ("    { move @", {"XAxis", "ZAxis", "Gripper", "Loader"}, {"move"}),
        ("    { move @XAxis to ", {"park", "pick", "place"}, {"down", "move"}),
        ("    { set @Gripper ", {"vacuum", "blow"}, {"park"}),
        ("    { transfer @Loader tray 1 along ", {"unload", "reload"}, {"park"}),
        ("    { call @XAxis.", {"home", "dwell"}, {"setup", "run"}),
        ("    wait ", {"x_pick", "z_lift", "grip"}, {"cycle"}),
        ("    { ", {"approach", "cycle", "move", "call"}, {"XAxis"}),
        # After `loop` a count or `forever` (a keyword there only); after the count `times`.
        ("shift = loop ", {"forever"}, {"times", "cycle", "move"}),
        ("shift = loop fo", {"forever"}, {"times"}),
        ("shift = loop 12 ", {"times"}, {"forever", "cycle"}),
        ("shift = loop forever ", {"cycle", "loop", "async"}, {"forever"}),
    ]

    async def session():
        async with editor() as ed:
            uri = ed.open(script)
            await ed.diagnostics(uri)
            for typed, wanted, unwanted in cases:
                text = PICK_PLACE + typed
                ed.change(uri, text)
                lines = text.split("\n")
                result = await ed.request("text_document_completion_async", types.CompletionParams(
                    types.TextDocumentIdentifier(uri), types.Position(len(lines) - 1, len(lines[-1]))))
                labels = {item.label for item in result.items}
                assert wanted <= labels and not unwanted & labels, (typed, labels)
    run(session)


@pytest.mark.parametrize("at, skip, target, skip_target", [
    ("{ approach }", 3, "approach =", 0),      # a block used by name -> its declaration
    ("wait z_lift", 6, "z_lift:", 0),          # a wait -> the step label
    ("x_pick:", 0, "x_pick:", 0),              # a label is its own definition
])
def test_definition_goes_to_the_declaration_or_label(folder, at, skip, target, skip_target):
    script = folder / "pick_place.vemo"
    script.write_text(PICK_PLACE)

    async def session():
        async with editor() as ed:
            uri = ed.open(script)
            found = await ed.request("text_document_definition_async", types.DefinitionParams(
                types.TextDocumentIdentifier(uri), position_of(PICK_PLACE, at, skip)))
            assert found.range.start == position_of(PICK_PLACE, target, skip_target)
            assert text_at(PICK_PLACE, found.range) == target.rstrip(" =:")
    run(session)


def test_references_list_every_wait_on_a_label(folder):
    script = folder / "pick_place.vemo"
    script.write_text(PICK_PLACE)

    async def session():
        async with editor() as ed:
            uri = ed.open(script)
            found = await ed.request("text_document_references_async", types.ReferenceParams(
                text_document=types.TextDocumentIdentifier(uri), position=position_of(PICK_PLACE, "z_drop:"),
                context=types.ReferenceContext(include_declaration=True)))
            assert [(r.range.start, text_at(PICK_PLACE, r.range)) for r in found] == [
                (position_of(PICK_PLACE, "z_drop:"), "z_drop"), (position_of(PICK_PLACE, "wait z_drop", 5), "z_drop")]
    run(session)


def test_hover_tells_what_an_action_sends_and_what_a_declaration_runs(folder):
    script = folder / "pick_place.vemo"
    script.write_text(PICK_PLACE)

    async def session():
        async with editor() as ed:
            uri = ed.open(script)
            action = await ed.request("text_document_hover_async", types.HoverParams(
                types.TextDocumentIdentifier(uri), position_of(PICK_PLACE, "move @ZAxis to down", 12)))
            text = action.contents.value
            # ZAxis: handler id 2, position down = 85, 100 mm/s and 800 mm/s² from up = 0: 85/100 + 100/800 s.
            assert "point-to-point move of axis 2 to 85 at speed 100, acceleration 800" in text
            assert "Estimated duration: 0.97 s (runs 3 times)" in text
            assert text_at(PICK_PLACE, action.range) == "move @ZAxis to down"
            declaration = await ed.request("text_document_hover_async", types.HoverParams(
                types.TextDocumentIdentifier(uri), position_of(PICK_PLACE, "approach =")))
            assert "XAxis (axis, handler id 1): 2 actions" in declaration.contents.value
            # park (20 mm from home 0, 2 * sqrt(20/1000) s), then pick (100 mm, 100/250 + 250/1000 s).
            assert "Estimated duration: 0.93 s" in declaration.contents.value
    run(session)


def test_closing_a_document_clears_its_diagnostics_and_reopening_checks_it_again(folder):
    script = folder / "s.vemo"
    script.write_text("main = { move @XAxis to nowhere }\n")

    async def session():
        async with editor() as ed:
            uri = ed.open(script)
            assert len(await ed.diagnostics(uri)) == 1
            ed.client.text_document_did_close(types.DidCloseTextDocumentParams(types.TextDocumentIdentifier(uri)))
            ed.versions[uri] = None  # a cleared document's diagnostics come without a version
            assert await ed.diagnostics(uri) == []
            assert len(await ed.diagnostics(ed.open(script))) == 1
    run(session)


@pytest.mark.parametrize("dynamic", [True, False])
def test_server_asks_the_client_to_watch_cell_files_when_it_can(folder, dynamic):
    capabilities = types.ClientCapabilities(workspace=types.WorkspaceClientCapabilities(
        did_change_watched_files=types.DidChangeWatchedFilesClientCapabilities(dynamic_registration=dynamic)))
    script = folder / "s.vemo"
    script.write_text("main = { move @XAxis to nowhere }\n")

    async def session():
        async with editor(capabilities) as ed:
            uri = ed.open(script)
            assert len(await ed.diagnostics(uri)) == 1
            watched = [r for r in ed.registrations if r.method == types.WORKSPACE_DID_CHANGE_WATCHED_FILES]
            if not dynamic:
                assert watched == []
                return
            assert len(watched) == 1
            patterns = {w["globPattern"] for w in watched[0].register_options["watchers"]}
            assert "**/*.yaml" in patterns
            # What the client then reports: the cell gained the position, the script checks clean.
            (folder / "cell.yaml").write_text((folder / "cell.yaml").read_text().replace(
                "park: 20", "park: 20, nowhere: 30", 1))
            ed.published_versions.pop(uri)  # the check again is of the same version
            ed.client.workspace_did_change_watched_files(types.DidChangeWatchedFilesParams(
                [types.FileEvent((folder / "cell.yaml").as_uri(), types.FileChangeType.Changed)]))
            assert await ed.diagnostics(uri) == []
    run(session)


def test_definitions_references_and_hovers_answer_from_the_last_text_that_parsed(folder):
    script = folder / "pick_place.vemo"
    script.write_text(PICK_PLACE)
    # A line added at the top moves everything; a half-written line at the end breaks the parse.
    broken = "# a note\n" + PICK_PLACE + "oops = {\n"

    async def session():
        async with editor() as ed:
            uri = ed.open(script)
            assert await ed.diagnostics(uri) == []
            ed.change(uri, broken)
            assert any("expected" in d.message or "unexpected" in d.message for d in await ed.diagnostics(uri))
            at = types.TextDocumentIdentifier(uri)
            found = await ed.request("text_document_definition_async", types.DefinitionParams(
                at, position_of(broken, "{ approach }", 3)))
            assert found.range.start == position_of(broken, "approach =")
            uses = await ed.request("text_document_references_async", types.ReferenceParams(
                text_document=at, position=position_of(broken, "z_drop:"),
                context=types.ReferenceContext(include_declaration=False)))
            assert [u.range.start for u in uses] == [position_of(broken, "wait z_drop", 5)]
            shown = await ed.request("text_document_hover_async", types.HoverParams(
                at, position_of(broken, "move @ZAxis to down", 12)))
            assert "Estimated duration: 0.97 s" in shown.contents.value
            assert text_at(broken, shown.range) == "move @ZAxis to down"
    run(session)


def test_docs_list_every_request_the_server_answers():
    import re

    import vemo.lsp.handlers  # noqa: F401 (registers the handlers)
    from vemo.lsp.server import server

    text = (ROOT / "docs" / "editors.md").read_text()
    table = text[text.index("| Feature | Protocol method |"):text.index("## Which cell")]
    documented = {method for row in table.splitlines()[2:] if row.startswith("|")
                  for method in re.findall(r"`([a-zA-Z]+/[a-zA-Z/]+)`", row.split("|")[2])}
    lifecycle = {types.INITIALIZE, types.INITIALIZED, types.SHUTDOWN, types.TEXT_DOCUMENT_DID_OPEN,
                 types.TEXT_DOCUMENT_DID_CHANGE, types.TEXT_DOCUMENT_DID_CLOSE, types.TEXT_DOCUMENT_DID_SAVE,
                 types.WORKSPACE_DID_CHANGE_CONFIGURATION, types.WORKSPACE_DID_CHANGE_WATCHED_FILES}
    answered = set(server.protocol.fm.features) - lifecycle
    assert documented - {types.TEXT_DOCUMENT_PUBLISH_DIAGNOSTICS} == answered
