#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets (corpus/<target>/). Run from fuzz/; the seeds
follow the input layout each target in fuzz_targets.h reads."""
import json
import os
import struct

BLOCKS = [7, 66, 62, 24, 11, 21, 11, 532, 529, 109, 8, 11, 12, 6, 60, 39, 11, 10, 10]


def frame(cid1, rtn, info=b"", ver=0x20, adr=0x01):
    lenid = len(info) * 2
    lchk = (-(lenid & 0xF) - (lenid >> 4 & 0xF) - (lenid >> 8 & 0xF)) & 0xF if lenid else 0
    body = b"%02X%02X%02X%02X%04X" % (ver, adr, cid1, rtn, lchk << 12 | lenid) + info.hex().upper().encode()
    chk = (-sum(body)) & 0xFFFF
    return b"~" + body + b"%04X" % chk + b"\r"


def put(target, name, data):
    os.makedirs(os.path.join("corpus", target), exist_ok=True)
    with open(os.path.join("corpus", target, name), "wb") as f:
        f.write(data)


# decoder: cap pick, piece count, piece sizes, bytes
good = frame(0x40, 0, bytes(range(7)))
put("decoder", "one_frame", b"\x00\x00" + good)
put("decoder", "split_frames", b"\x00\x04\x01\x05\x02\x07" + good + frame(0x41, 0, bytes(532)))
put("decoder", "garbage_then_frame", b"\x00\x00" + b"\x00\xffxy\r\n" + good)
bad = bytearray(good)
bad[-2] = ord("0") if bad[-2] != ord("0") else ord("1")
put("decoder", "bad_checksum", b"\x00\x00" + bytes(bad) + good)
put("decoder", "truncated_then_frame", b"\x00\x00" + good[:9] + good)
put("decoder", "capped_lenid", b"\x02\x00" + frame(0x40, 0, bytes(66)))
put("decoder", "rtn_and_empty", b"\x00\x00" + frame(0x40, 6) + frame(0xD4, 0))


# device_replies: mode, then ops
def reply_op(n, fill, rtn=0, cut=0):
    return bytes([2, rtn]) + struct.pack(">H", n) + bytes([fill]) * n + bytes([cut])


round_ops = b"\x00" + b"".join(reply_op(n, i + 1, cut=i) for i, n in enumerate(BLOCKS))
put("device_replies", "full_round_mode1", b"\x01" + round_ops)
put("device_replies", "full_round_mode5", b"\x00" + round_ops)
put("device_replies", "round_with_timeout", b"\x01\x00" + reply_op(7, 1) + b"\x03" + round_ops)
put("device_replies", "round_with_rtn", b"\x01\x00" + reply_op(7, 1) + reply_op(0, 0, rtn=0x86) + round_ops)
put("device_replies", "short_and_long", b"\x01\x00" + reply_op(3, 1) + reply_op(80, 2) + reply_op(0, 3))
req = b'{"signal_id":"D48101","SetValue":"500"}'
put("device_replies", "control_mid_round",
    b"\x01\x00" + reply_op(7, 1) + bytes([4, 3, len(req)]) + req + reply_op(4, 9) + round_ops)
put("device_replies", "control_codes",
    b"\x01" + bytes([4, 0, 0]) + reply_op(0, 0) + bytes([4, 2, 2, 0x34, 0x12]) + reply_op(0, 0)
    + bytes([4, 4, 6]) + b"D41101" + reply_op(0, 0))
put("device_replies", "raw_bytes", b"\x01\x00" + bytes([1, len(good)]) + good + b"\x01\x05\x7e000")
put("device_replies", "odd_states", b"\x01\x05\x03" + reply_op(4, 1) + b"\x05\x0b" + reply_op(7, 2) + b"\x06\x12" + reply_op(7, 2))


# io_control: mode, doc pick, then requests: code pick, outLen (int16), shape, in length, in, settle
def request(pick, out_len, data=b"", shape=0, settle=1):
    return bytes([pick]) + struct.pack(">h", out_len) + bytes([shape, len(data)]) + data + bytes([settle])


put("io_control", "codes_100_102", b"\x00\x00" + request(0, 4) + request(1, 3))
put("io_control", "code_106", b"\x00\x00" + request(2, 4, b"\x34\x12") + request(2, 4, b"\x34\x12\x00"))
put("io_control", "code_310", b"\x00\x00" + request(3, 0, b'{"signal_id":"D48001","SetValue":"-1"}')
    + request(3, 0, b'{"signal_id":"D48101","SetValue":"12.7"}') + request(3, 0, b"[1]"))
put("io_control", "code_320_mode1", b"\x00\x00" + request(4, 0, b"D41001") + request(4, 0, b"D41001\x00"))
put("io_control", "code_320_mode5", b"\x02\x00" + request(4, 0, b'{"signal_id":"D41101"}') + request(4, 0, b"{"))
put("io_control", "document", b"\x00\x03" + request(5, 4096) + request(5, 10) + request(6, 8) + request(6, 3))
put("io_control", "other_codes", b"\x01\x00" + request(7, 4) + request(8, 3) + request(255, -5, b"", 6) + b"\x7f\xff\xff\xff")

# init_setting: JSON text, NUL, model-file text
ini = open(os.path.join("..", "ini", "rtmk48_pv05.ini"), "rb").read()
rules = {"r": {"SignalName": "负载电流", "ID": "0411005001", "UpValue": "100", "UpReconverValue": 90,
               "UpAlarmLevel": 2, "LowValue": "1", "LowReconverValue": "2"}}
put("init_setting", "mode1_model_file", '{"appSetting":{"b_mode":1},"values":{"负载电流":12.5}}'.encode() + b"\0" + ini)
put("init_setting", "mode1_no_file", b'{}')
put("init_setting", "mode1_bad_ini", b'{}\0[AI\nx=1\n')
put("init_setting", "mode1_no_alarm", b'{}\0[AI]\na=1,2\n')
put("init_setting", "mode3", json.dumps({"appSetting": {"b_mode": 3}, "thresholdSetting": {
    "x": {"ID": 12}, "skip": 5, "full": {"NMAlarmID": "N1", "ID": "I1", "SignalNumber": 3}}}).encode())
put("init_setting", "mode5", json.dumps({"appSetting": {"b_mode": "5"}, "thresholdSetting": rules,
                                          "values": {"负载电流": 120}}, ensure_ascii=False).encode())
put("init_setting", "mode5_bad_types", b'{"appSetting":{"b_mode":5},"thresholdSetting":{"r":{"SignalName":[],"UpValue":{}}}}')
