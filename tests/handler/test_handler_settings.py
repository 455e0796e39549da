"""KinraClient construction: settings file, IO offsets, module lookup, sockets and identifiers."""
import re
import time

import pytest
import yaml

import kinra_client as kc
from kinra_fake_server import SETTINGS

ORACLE_TEXTS = [
    "a: 1\nb: -0x1F\nc: 0b101\nd: 017\ne: 1_000\nf: 1:30\ng: 08\nh: +12\n",
    "a: 1.5\nb: 1.\nc: .5\nd: 1e3\ne: 1.0e+3\nf: -.inf\ng: 1_0.5\nh: 6.8523015e+5\n",
    "a: yes\nb: No\nc: on\nd: OFF\ne: y\nf: TRUE\ng: 'true'\n",
    "a: ~\nb: null\nc:\nd: Null\ne: 'null'\nf: \"\"\n",
    "z: 1\ny: 2\nx: {w: 3, v: [1, two, 3.0]}\n1: int key\n2.5: float key\nnull: none key\n",
    "base: &b {speed: 100, accel: 10}\nfirst: *b\nsecond:\n  <<: *b\n  speed: 50\n",
    "m1: &m1 {a: 1, b: 1}\nm2: &m2 {b: 2, c: 2}\nboth:\n  <<: [*m1, *m2]\n  d: 4\n",
    "a: !!str 12\nb: !!float 3\nc: !!int '7'\nd: |\n  two\n  lines\ne: >-\n  folded\n  text\n",
    "list:\n  - a\n  - - nested\n    - 2\n  - {k: v}\nbig: 123456789012345678901234567890\n",
    "dup: 1\nother: 2\ndup: 3\n",
    "",
    "just text\n",
    SETTINGS.format(address="127.0.0.1"),
]


@pytest.fixture
def reader(client):
    """Loads any settings file into an existing client (construction itself needs IO modules)."""

    def load(path):
        client.config_fp = path
        client.config_data = None
        client.load_config()
        return client.config_data

    return load


@pytest.mark.parametrize("text", ORACLE_TEXTS)
def test_settings_give_the_values_of_a_safe_yaml_load(write_settings, reader, text, capsys):
    loaded = reader(write_settings(text, "oracle.yaml"))
    expected = yaml.safe_load(text)
    # An empty file gives None, whose membership test for "xan_handler" fails: that only warns.
    assert bool(capsys.readouterr().out) == (expected is None)
    assert loaded == expected
    assert _key_order(loaded) == _key_order(expected)
    assert _types(loaded) == _types(expected)


def _key_order(value):
    if isinstance(value, dict):
        return [(k, _key_order(v)) for k, v in value.items()]
    if isinstance(value, list):
        return [_key_order(v) for v in value]
    return None


def _types(value):
    if isinstance(value, dict):
        return {k: _types(v) for k, v in value.items()}
    if isinstance(value, list):
        return [_types(v) for v in value]
    return type(value).__name__


@pytest.mark.parametrize(
    "text, reason",
    [
        ("a: &a [x, x, x, x, x, x, x, x, x, x]\n"
         + "".join("%s: &%s [%s]\n" % (c, c, ", ".join(["*" + p] * 10)) for p, c in zip("abcdefgh", "bcdefghi")),
         "aliases"),
        ("a: " + "[" * 300 + "]" * 300 + "\n", "nest"),
        ("a: " + "[" * 50000 + "\n", ""),
        ("a: !!python/object/apply:os.system ['true']\n", "tag"),
        ("a: [unclosed\n", ""),
    ],
)
def test_hostile_or_broken_settings_only_warn_at_load(client, write_settings, text, reason, capsys):
    client.config_fp = write_settings(text, "bad.yaml")
    client.config_data = "unchanged"
    client.load_config()
    out = capsys.readouterr().out
    assert out.startswith("[Warning] Filed to load config file at %s, because " % client.config_fp)
    assert reason in out and out.count("\n") == 1
    assert client.config_data == "unchanged"


def test_missing_settings_file_warns_then_construction_fails(capsys):
    with pytest.raises(TypeError):
        kc.KinraClient("/nonexistent/handler.yaml")
    assert capsys.readouterr().out == (
        "[Warning] Filed to load config file at /nonexistent/handler.yaml, because "
        "[Errno 2] No such file or directory: '/nonexistent/handler.yaml'\n")


def test_io_offsets_follow_slot_order(write_settings):
    path = write_settings("""\
        xan_handler:
          IOModule:
            Modules:
              - {Slot: 3, InputBytes: 1, OutputBytes: 1}
              - {Slot: 1, InputBytes: 2, OutputBytes: 0}
              - {Slot: 2, InputBytes: 0, OutputBytes: 4}
        """)
    client = kc.KinraClient(path)
    assert client.input_start_byte == [0, -1, 2, 3]
    assert client.output_start_byte == [-1, 0, 4, 5]


@pytest.mark.parametrize("file_address, expected", [(None, "127.4.4.4"), ("127.5.5.5", "127.5.5.5")])
def test_file_server_address_overrides_the_keyword(write_settings, file_address, expected):
    line = "  server_address: %s\n" % file_address if file_address else ""
    path = write_settings("xan_handler:\n" + line + "  IOModule:\n    Modules: []\n")
    client = kc.KinraClient(path, server_address="127.4.4.4", unrelated_option=1)
    assert client.server_address == expected
    assert (client.action_dequeue_sub_port, client.action_enqueue_req_port, client.logger_req_port) == (5001, 5002, 5003)


def test_module_lookup_merges_ancestor_keys_and_is_cached(client):
    found = client.getKinraDict(13)
    assert list(found)[:3] == ["xan_handler", "Festo", "Motors"]
    assert found["SlaveNo"] == 2 and found["KinraID"] == 13
    assert found["Festo"] == client.config_data["xan_handler"]["Festo"]
    assert found["Festo"] is not client.config_data["xan_handler"]["Festo"]
    assert client.getKinraDict(13) is found
    assert client.getKinraDict("14")["SlaveNo"] == 3  # text identifiers match by value
    io = client.getKinraDict(10)
    assert "IOModule" in io and io["Slot"] == 2


def test_unknown_module_gives_cached_empty_map(client):
    empty = client.getKinraDict(99)
    assert empty == {}
    client.config_data = None  # a second search would find nothing anyway; the cache answers
    assert client.getKinraDict(99) is empty


def test_module_search_rules(client):
    tree = {"outer": {"KinraID": 1, "inner": {"KinraID": 2, "x": 1}},
            "list": [{"KinraID": 3, "a": 1, "b": 1}, {"KinraID": "3", "b": 2, "c": 2}]}
    assert client.getKinraDictHelper(tree, 2, {}) == {}
    merged = client.getKinraDictHelper(tree, 3, {})
    assert merged == {"list": tree["list"], "KinraID": "3", "a": 1, "b": 2, "c": 2}
    assert client.getKinraDictHelper(5, 3, {"seed": 1}) == {}
    assert client.getKinraDictHelper({"KinraID": 4}, 4, {"seed": [1]}) == {"seed": [1], "KinraID": 4}
    with pytest.raises(ValueError):
        client.getKinraDictHelper({"KinraID": "four"}, 4, {})


def test_module_search_of_a_cyclic_tree_raises_instead_of_crashing(client):
    cyclic = {"a": []}
    cyclic["a"].append(cyclic)
    with pytest.raises(RecursionError):
        client.getKinraDictHelper(cyclic, 1, {})


def test_identifiers_carry_the_construction_time_and_wrap_after_999(client):
    assert re.fullmatch(r"PC\d{10}-", client.func_id_prefix)
    stamp = time.strftime("%m%d%H%M", time.localtime())
    assert client.func_id_prefix[2:10] in {stamp, time.strftime("%m%d%H%M", time.localtime(time.time() - 60))}
    ids = [client.generate_func_id() for _ in range(1001)]
    assert ids[:3] == [client.func_id_prefix + n for n in ("0", "1", "2")]
    assert ids[999] == client.func_id_prefix + "999" and ids[1000] == client.func_id_prefix + "0"
    assert len(set(ids[:1000])) == 1000


def test_init_socket_reports_an_unusable_address(client, capsys):
    client.server_address = "bad address with spaces"
    assert client.init_socket(True) == 0
    out = capsys.readouterr().out
    assert out.startswith("[Zmq Socket Error] ") and out.count("\n") == 1
    client.server_address = "127.0.0.1"
    assert client.init_socket(True) == 1
    assert client.action_req_socket_status and client.logger_req_socket_status
