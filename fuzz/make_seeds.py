#!/usr/bin/env python3
"""make_seeds.py - writes the seed corpora of the dispatcher, write-back,
boot-loader environment and enciphered-frame fuzz targets into
fuzz/corpus/<target>/. Each seed is one ordinary case the fuzzer starts from:
every command of the frame, the file shapes the loader and the write-back
know, the listings fw_printenv prints.

Inputs that once crashed a target are kept beside the seeds as regress_*
files; this script leaves them alone.

Usage: fuzz/make_seeds.py   (run from anywhere)
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


def frame(cmd, name=b"", value=b"", location=b"", pid=4242, size=1024):
    f = bytearray(size)
    struct.pack_into("<ii", f, 0, pid, cmd)
    f[12:12 + len(name)] = name[:63]
    f[76:76 + len(value)] = value[:799]
    if size > 876:
        f[876:876 + len(location)] = location[:63]
    return bytes(f)


def listing(*texts):
    return b"".join(t + b"\0" for t in texts) + b"\0"


def write(target, seeds):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)


def example(path):
    with open(os.path.join(ROOT, "examples", path), "rb") as f:
        return f.read()


def dispatcher_seeds():
    unterminated = bytearray(frame(2))
    unterminated[12:1024] = b"A" * (1024 - 12)
    return {
        "get_user": frame(1, b"hostname"),
        "get_isp": frame(3, b"hostname"),
        "get_missing": frame(1, b"no_such_name"),
        "set_user": frame(2, b"sys_lan_ip", b"10.0.0.1"),
        "set_isp": frame(4, b"hostname", b"isp-box"),
        "set_both": frame(5, b"hostname", b"both-box"),
        "set_new": frame(2, b"brand_new", b"v"),
        "set_empty": frame(2, b"hostname", b""),
        "delete_user": frame(9, b"sys_lan_mask"),
        "delete_isp": frame(10, b"sys_rm_type"),
        "delete_both": frame(11, b"sys_lan_ip"),
        "add_user": frame(12, b"added", b"1", b"lan.conf"),
        "add_isp": frame(13, b"added", b"1", b"sysini.conf"),
        "add_refused": frame(14, b"added", b"1", b"lan.conf"),
        "write_now": frame(16),
        "replace_user": frame(17, b"hostname", b"replaced"),
        "replace_isp": frame(18, b"hostname", b"replaced"),
        "replace_both": frame(19, b"hostname", b"replaced"),
        "push": frame(33, b"queue", b"job"),
        "pop": frame(34, b"queue"),
        "mset": frame(35, value=listing(b"hostname", b"a", b"sys_lan_ip", b"")),
        "mget": frame(36, value=listing(b"hostname", b"nothing", b"sys_lan_ip")),
        "dump": frame(37, value=b"/tmp/dump.txt"),
        "unterminated": bytes(unterminated),
        "set_write_get": frame(2, b"hostname", b"next") + frame(16) +
                         frame(1, b"hostname"),
        "add_set_write": frame(12, b"added", b"1", b"lan.conf") +
                         frame(2, b"added", b"2") + frame(16),
        "push_push_pop": frame(33, b"q", b"1") + frame(33, b"q", b"2") +
                         frame(34, b"q"),
    }


def write_back_seeds():
    # First byte: bit 0 an ISP-side copy too; bits 1-2 the side sets change.
    return {
        "lan": b"\x00" + example("user/lan.conf"),
        "sysini_both": b"\x03" + example("user/sysini.conf"),
        "isp_only_sets": b"\x05" + example("isp/user/sysini.conf"),
        "shapes": b"\x00# comment\na=1\nb 2\nc\t3\nbare\n\nd=\n"
                  b"######end of file######\n",
        "duplicates": b"\x01a=1\nb=2\na=3\n",
        "no_final_line_feed": b"\x00# c\na=1\nb=2",
        "crlf": b"\x00a=1\r\nb=2\r\n",
        "leading_blanks": b"\x00 a=1\n\tb=2\n=c=3\n",
        "long_line": b"\x00x=" + b"y" * 900 + b"\nz=1\n",
        "long_name": b"\x00" + b"n" * 70 + b"=1\n",
        "hash_name": b"\x00\t#=1\n#x=2\n",
        "doubled_indented": b"\x00 spacey=old\nspacey=cur\ndupx=1\ndupx=2\n"
                            + b"n" * 70 + b"=x\n",
    }


def fw_env_seeds():
    # First byte: bit 0 set when reset_default asks to strip "cust_".
    env = (b"baudrate=115200\nbootdelay=3\nethaddr=00:11:22:33:44:55\n"
           b"eq=a=b\nempty=\ncust_hostname=box\nnoequals\n"
           b"firmware_creation_date=Mon Jan 1 00:00:00 UTC 2024\n"
           b"bootrom_version=\nbootrom_creation_date=\n")
    return {
        "plain": b"\x00" + env,
        "strip_cust": b"\x01" + env,
        "crlf": b"\x00crlf=1\r\nbaudrate=9600\r\n",
        "cut_short": b"\x00hostname=x\nsys_lan_if=eth",
        "nul": b"\x00a=1\n\x00b=2\n",
        "odd_names": b"\x01cust_=1\n=2\nbad name=3\n#c=4\n" +
                     b"l" * 70 + b"=5\n",
        "long_value": b"\x00hostname=" + b"v" * 300 + b"\n",
    }


def cipher_seeds():
    # First byte: bits 0-1 how the frame goes on the wire (0 as it is,
    # 1 sealed, 2 sealed with a flipped byte, 3 sealed under a bad key file);
    # bit 2 the frame twice. Sealed seeds carry the 984-byte plaintext.
    def plain(cmd, name=b"", value=b"", location=b""):
        return frame(cmd, name, value, location, size=984)
    return {
        "get": b"\x01" + plain(1, b"hostname"),
        "set_twice": b"\x05" + plain(2, b"hostname", b"sealed"),
        "mget": b"\x01" + plain(36, value=listing(b"hostname", b"x")),
        "write_now": b"\x01" + plain(16),
        "dump": b"\x01" + plain(37, value=b"/tmp/dump.txt"),
        "flipped": b"\x02\x10" + plain(1, b"hostname"),
        "bad_key": b"\x03" + plain(1, b"hostname"),
        "raw_plain_frame": b"\x00" + frame(1, b"hostname"),
        "raw_short": b"\x00" + b"\x01" * 40,
    }


def main():
    write("dispatcher_fuzz", dispatcher_seeds())
    write("write_back_fuzz", write_back_seeds())
    write("fw_env_fuzz", fw_env_seeds())
    write("cipher_frame_fuzz", cipher_seeds())


if __name__ == "__main__":
    main()
