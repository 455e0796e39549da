"""Enumerations, constants, XANAction packing and record decoding of kinra_client."""
import random
import struct

import pytest

import kinra_client as kc
from kinra_client import KinraClient, XANAction

ACTION = kc.action_datatype


@pytest.mark.parametrize(
    "enum, name, value",
    [
        (kc.FestoFunctionEnum, "IO_SET_IO", 0),
        (kc.FestoFunctionEnum, "MOTOR_ENABLE", 7),
        (kc.AkribisFunctionEnum, "MOTOR_MOVE_ABS", 51),
        (kc.AkribisFunctionEnum, "MOTOR_ENABLE", 57),
        (kc.KinraDataIdxEnum, "KINRA_ID_POS_DATA", 2),
        (kc.KinraDataIdxEnum, "KINRA_ID_MOVE_TIME_DATA", 7),
        (kc.KinraConditionEnum, "KONRA_ID_SLAVE_STATUS_CONDITION", 0),
        (kc.KinraConditionEnum, "POS_GRATER", 0),
        (kc.KinraConditionEnum, "DIGITAL", 0),
        (kc.KinraConditionEnum, "CONTROLABLE", 0),
        (kc.KinraConditionEnum, "ANALOG_LESSTHAN", 3),
        (kc.KinraConditionEnum, "NEED_HOMING", -2),
        (kc.KinraConditionEnum, "ADMIN_AKRIBIS_STATE_SPAWNED", 503),
        (kc.KinraConditionEnum, "STOP", 7),
    ],
)
def test_enumeration_lookup_by_name_yields_the_listed_value(enum, name, value):
    member = enum[name]
    assert member == value and int(member) == value
    assert getattr(enum, name) is member
    assert member.name == name
    assert str(member) == repr(member) == str(value)
    assert isinstance(member, kc.EnumMember) and member.value == value


def test_members_sharing_a_value_keep_their_own_names():
    names = [m.name for m in kc.KinraConditionEnum if m == 0]
    assert names == ["KONRA_ID_SLAVE_STATUS_CONDITION", "POS_GRATER", "DIGITAL", "CONTROLABLE"]
    assert len(kc.KinraConditionEnum) == 27


@pytest.mark.parametrize("enum, name", [(kc.AkribisFunctionEnum, "IO_SET_IO"), (kc.KinraConditionEnum, ""),
                                        (kc.FestoFunctionEnum, "motor_home")])
def test_unknown_member_name_raises_key_error(enum, name):
    with pytest.raises(KeyError):
        enum[name]


def test_module_constants():
    assert (kc.BLANK_CONDITION, kc.CONDITION_START, kc.EACH_KINRA_CONDITION_NUM) == (150, 151, 10)
    assert struct.calcsize(kc.action_datatype) == 216 and struct.calcsize(kc.log_datatype) == 88


def test_packing_matches_the_record_layout():
    record = XANAction(3, 1, [7, 1000]).get_transmit_data()
    assert len(record) == 216
    fields = struct.unpack(ACTION, record)
    assert fields[:8] == (3, 1, 7, 1000, -1, -1, -1, -1)
    assert fields[8:13] == (b"\0" * 36,) * 5
    assert fields[13] == -1


@pytest.mark.parametrize(
    "args, sent",
    [
        ([2.9, -2.9], [2, -2]),
        (["12", True], [12, 1]),
        ([1, 2, 3, 4, 5, 6], [1, 2, 3, 4, 5, 6]),
        ([kc.KinraConditionEnum.POS_NEAR, 2**31 - 1, -(2**31)], [2, 2**31 - 1, -(2**31)]),
    ],
)
def test_arguments_are_converted_like_int(args, sent):
    fields = struct.unpack(ACTION, XANAction(0, 0, args).get_transmit_data())
    assert list(fields[2:2 + len(sent)]) == sent


@pytest.mark.parametrize(
    "kwargs, error",
    [
        (dict(arg_list=[1, 2, 3, 4, 5, 6, 7]), ValueError),
        (dict(arg_list=[2**31]), ValueError),
        (dict(arg_list=["x"]), ValueError),
        (dict(arg_list=[None]), TypeError),
        (dict(arg_list=[float("nan")]), ValueError),
        (dict(cmd_id=None), TypeError),
        (dict(dep_list=["a", 5]), TypeError),
        (dict(arg_list=5), TypeError),
    ],
)
def test_unpackable_requests_raise(kwargs, error):
    with pytest.raises(error):
        XANAction(1, 2, **kwargs).get_transmit_data()


def test_identifiers_are_cut_to_the_field_and_only_four_dependencies_sent():
    action = XANAction(1, 2, [], ["d%d" % k for k in range(6)] + [5], "x" * 40)
    fields = struct.unpack(ACTION, action.get_transmit_data())
    assert fields[8] == b"x" * 36
    assert [f.rstrip(b"\0") for f in fields[9:13]] == [b"d0", b"d1", b"d2", b"d3"]
    exact = struct.unpack(ACTION, XANAction(1, 2, cmd_id="y" * 36).get_transmit_data())
    assert exact[8] == b"y" * 36


def test_unicode_identifiers_are_sent_as_utf8():
    fields = struct.unpack(ACTION, XANAction(1, 2, cmd_id="Zürich").get_transmit_data())
    assert fields[8].rstrip(b"\0") == "Zürich".encode()


def test_constructor_keeps_given_lists_and_makes_separate_new_ones():
    args, deps = [1], ["a"]
    action = XANAction(1, 2, args, deps)
    assert action.arg_list is args and action.dep_list is deps and action.cmd_id == ""
    only_args = XANAction(1, 2, arg_list=args)
    assert only_args.dep_list == [] and only_args.arg_list is args
    only_deps = XANAction(1, 2, dep_list=deps)
    assert only_deps.dep_list is deps and only_deps.arg_list == []
    bare = XANAction(1, 2)
    assert bare.arg_list is not bare.dep_list and bare.arg_list is not XANAction(1, 2).arg_list
    before = list(args)
    action.get_transmit_data()
    assert args == before and action.cmd_id == ""


def test_reference_cycle_through_an_action_is_collected():
    import gc
    import weakref

    class Marker:
        pass

    marker = Marker()
    action = XANAction(1, 2)
    action.arg_list.append(action)
    action.dep_list.append(marker)
    probe = weakref.ref(marker)
    del action, marker
    gc.collect()
    assert probe() is None


@pytest.mark.parametrize(
    "text, decoded",
    [(b"12.5", "12.5"), (b"1\x002", "12"), (b"", ""), (b"\x00\x00abc", "abc")],
)
def test_log_reply_text_loses_every_nul(text, decoded):
    record = struct.pack(kc.log_datatype, 13, 2, text)
    assert KinraClient.unpack_struct_helper(kc.log_datatype, record) == [13, 2, decoded]


def test_decoding_any_layout_with_native_alignment():
    record = struct.pack("3si2s", b"ab", 7, b"\x00z")
    assert KinraClient.unpack_struct_helper("3si2s", bytearray(record)) == ["ab", 7, "z"]
    assert KinraClient.unpack_struct_helper("2i", struct.pack("2i", -5, 6)) == [-5, 6]


@pytest.mark.parametrize("length", [0, 215, 217, 88])
def test_decoding_a_record_of_the_wrong_length_raises(length):
    with pytest.raises(ValueError):
        KinraClient.unpack_struct_helper(ACTION, b"\0" * length)


def test_decoding_non_ascii_text_raises_unicode_decode_error():
    record = struct.pack(kc.log_datatype, 1, 2, "é".encode())
    with pytest.raises(UnicodeDecodeError):
        KinraClient.unpack_struct_helper(kc.log_datatype, record)


def test_bad_layout_text_raises_value_error():
    with pytest.raises(ValueError):
        KinraClient.unpack_struct_helper("iq", b"\0" * 8)


def test_random_bytes_decode_or_raise_but_never_crash():
    rng = random.Random(7)
    for round_ in range(3000):
        size = 216 if round_ % 2 else rng.randrange(0, 300)
        data = bytes(rng.randrange(128 if round_ % 4 == 1 else 256) for _ in range(size))
        try:
            fields = KinraClient.unpack_struct_helper(ACTION, data)
        except (ValueError, UnicodeDecodeError):
            continue
        expected = struct.unpack(ACTION, data)
        assert fields[:8] == list(expected[:8]) and fields[13] == expected[13]
        assert fields[8] == expected[8].decode("ascii").replace("\0", "")
