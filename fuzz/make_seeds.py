#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets (fuzz/corpus/<target>/). The seeds are committed;
run this again only to change them. Each seed is a valid or nearly valid input of the target's
input format, so that the fuzzer starts from the interesting paths."""
import os
import sys

root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")


def write(target, name, data):
    folder = os.path.join(root, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


# --- serial_frame_fuzz: mode, clock byte, port byte, then chunks [control][length][bytes]
def chunk(data, delay_steps=0, new_reply=False):
    """delay_steps of 16 ms"""
    assert len(data) < 256 and delay_steps < 64
    return bytes([(0x80 if new_reply else 0) | delay_steps, len(data)]) + data


def flood(byte, sixteens, delay_steps=0, new_reply=False):
    return bytes([(0x80 if new_reply else 0) | 0x40 | delay_steps, sixteens, byte])


def frame(body):
    length = len(body) + 3
    f = bytes([length >> 8, length & 0xFF]) + body
    return f + bytes([sum(f) & 0xFF])


info = bytes([0x10, 0x02, 5]) + bytes(range(3, 99))  # device type 5
device_reply = frame(b"v" + info)
assert len(device_reply) == 103
nothing = chunk(b"", 0, True)

serial = {
    "frame_whole": bytes([0, 0x10, 0]) + chunk(device_reply),
    "frame_split": bytes([0, 0xF0, 0]) + chunk(device_reply[:1]) + chunk(device_reply[1:5], 10)
    + chunk(device_reply[5:], 15),
    "frame_late": bytes([0, 0xFF, 0]) + chunk(device_reply, 35),
    "frame_flood_after_header": bytes([0, 0, 0]) + chunk(bytes([0x01, 0xF0, 0x76, 0x00]))
    + flood(0x55, 40, 1),
    "frame_flood_waiting": bytes([0, 0, 0]) + flood(0xAA, 255),
    "frame_overflow": bytes([0, 0, 0]) + chunk(bytes([0x02, 0x00, 0x76, 0x00]) + bytes(100)),
    "frame_short_length": bytes([0, 0, 0]) + chunk(bytes([0x00, 0x02, 0x76, 0x01, 0x02])),
    "frame_header_only": bytes([0, 0, 0]) + chunk(bytes([0x00, 0x67, 0x76, 0x00])),
    "transact_third": bytes([1, 0x80, 0]) + nothing + nothing + chunk(device_reply, 2, True),
    "device_info": bytes([2, 0, 0]) + chunk(device_reply),
    "device_info_prefixed": bytes([2, 0, 1]) + chunk(device_reply),
    "device_info_other_reply": bytes([2, 0, 0]) + chunk(frame(b"x" + info)),
    "search_direct": bytes([3, 0, 5]) + chunk(device_reply),
    "search_fast_link": bytes([3, 0xC0, 7]) + nothing + nothing + nothing + nothing
    + chunk(b"RD", 1, True) + nothing + chunk(device_reply, 1, True),
    "search_all_ports": bytes([3, 0x40, 1]) + nothing * 40 + chunk(device_reply, 0, True),
    "probe_rd": bytes([4, 0, 0]) + nothing + chunk(b"RD", 2, True) + nothing
    + chunk(device_reply, 1, True),
    "probe_other": bytes([4, 0, 0]) + nothing + chunk(b"RX", 2, True),
    "raw_burst": bytes([5, 0xF8, 0]) + chunk(bytes(range(200))) + chunk(bytes(200), 2)
    + chunk(b"late", 5) + flood(0x01, 200, 1),
}
for name, data in serial.items():
    write("serial_frame_fuzz", name, data)


# --- ini_file_fuzz: [len]section [len]key [len]value, then the file
def ini_input(section, key, value, text):
    out = b""
    for field in (section, key, value):
        out += bytes([len(field)]) + field
    return out + text


velka = b"[VERSION]\r\nSetup=1\r\nPc1=12\r\nInterface=3\r\n\r\n[Language]\r\nLanguage=0\r\n"
ini = {
    "velka_replace": ini_input(b"VERSION", b"Pc1", b"13", velka),
    "velka_case": ini_input(b"version", b"PC1", b"-7", velka),
    "velka_new_key": ini_input(b"VERSION", b"Extra", b"$FFFFFFFF", velka),
    "new_section": ini_input(b"Language", b"Language", b"0x7fffffff", b"[VERSION]\nPc1=1"),
    "empty_file": ini_input(b"VERSION", b"Pc1", b"2147483647", b""),
    "bom_quotes_comments": ini_input(
        b"VERSION", b"Pc1", b"' 9 '",
        b"\xef\xbb\xbf[VERSION]\n; comment\nPc1 = \"12\"\n[VERSION]\nPc1=99\n"),
    "no_eol_last": ini_input(b"S", b"k", b"v", b"[S]\r\na=1"),
    "bad_names": ini_input(b"a]b", b"k=1", b"x", b"[a]b]\nk=1=2\n"),
    "unterminated_header": ini_input(b"sec", b"key", b"  padded  ", b"[sec\nkey\n[other]\nkey=1\n"),
    "cr_only": ini_input(b"A", b"b", b"-2147483648", b"[A]\rb=1\r[B]\rc=2\r"),
}
for name, data in ini.items():
    write("ini_file_fuzz", name, data)

# --- server_settings_fuzz: the file itself
template = open(os.path.join(os.path.dirname(root), "..", "assets", "server.ini.in"), "rb").read()
shipped = (template.replace(b"@PCV_DEFAULT_HOST@", b"update.example.com")
           .replace(b"@PCV_DEFAULT_DB_BACKEND@", b"odbc")
           .replace(b"@PCV_DEFAULT_DB_DRIVER@", b"FreeTDS")
           .replace(b"@PCV_DEFAULT_DB_USER@", b"velkadb")
           .replace(b"@PCV_DEFAULT_DB_PASSWORD@", b"velkapwd")
           .replace(b"@PCV_DEFAULT_FTP_USER@", b"velk")
           .replace(b"@PCV_DEFAULT_FTP_PASSWORD@", b"velkaftp"))
settings = {
    "shipped": shipped,
    "sqlite_demo": b"[Server]\nHost=127.0.0.1\n[Database]\nBackend=SQLite\nDirectory=/tmp/db/../db\n"
    b"[Ftp]\nPort=2121 ; local\nUser=demo\nPassword=pa;ss\n[Interface]\nDevices=/tmp/dev\n",
    "bad_ports": b"[Database]\nPort=0x10000\nBackend=oracle\nDirectory=\n[Ftp]\nPort=-21\n",
    "hex_ports": b"[Database]\nPort=$5432\n[Ftp]\nPort=0x15\n",
    "comments_everywhere": b"[Server] ; s\r\nHost = \"h o s t\" ; c\r\n[Ftp]\r\nUser=\t; nobody\r\n",
}
for name, data in settings.items():
    write("server_settings_fuzz", name, data)

# --- pad_dbcs_message_fuzz: mode byte, then the text
big5_update = "軟體更新完成".encode("cp950")
big5_two = "下載".encode("cp950")
pad = {
    "ascii_spaces": b"\x00ab  ",
    "big5": b"\x02" + big5_update,
    "big5_in_buffer": b"\x03" + big5_two + b"   x",
    "lone_lead": b"\x00ab\xa4",
    "long_big5": b"\x02" + big5_two * 300,
    "long_ascii": b"\x01" + b"x" * 1100,
    "utf8_text": b"\x06" + "軟體更新完成 ✓ €".encode("utf-8"),
    "nul_inside": b"\x00abc\x00def",
}
for name, data in pad.items():
    write("pad_dbcs_message_fuzz", name, data)

# --- connection_string_fuzz: flags, [len]password [len]user [len]catalog [len]host [len]port,
# then a connection string
def conn_input(flags, fields, text):
    out = bytes([flags])
    for field in fields:
        data = field.encode("utf-8")
        out += bytes([len(data)]) + data
    return out + text.encode("utf-8")


production = ("Provider=SQLOLEDB.1;Password='velkapwd';User ID='velkadb';persist security "
              "catalog=experiment;Initial Catalog='軟體版本';Data Source='update.example.com'")
conn = {
    "production_freetds": conn_input(0, ["velkapwd", "velkadb", "軟體版本", "update.example.com",
                                         ""], production),
    "microsoft_port": conn_input(1, ["p}w{d", "sa", "會員資料", "127.0.0.1", "1433"], production),
    "postgres_sqlite_dir": conn_input(6, ["pa'ss;x=1", "u", "軟體版本", "localhost", " 5432 "],
                                      "Password=\"a\"\"b\";UID=x;Database=y;Server=z"),
    "driver_from_host": conn_input(3, ["", "", "..", "{Drv} x", "0"],
                                   "Password='unterminated;User ID=u"),
    "injection_attempt": conn_input(0, ["x';Data Source='evil", "u;PWD=1", "c", "h", "+21"],
                                    "Data Source=a;Server=b"),
    "odd_spacing": conn_input(4, ["  ", "user id", "a.b", "h o s t", "-2147483648"],
                              "  ;; password = ' x ' ; user id=  y  ;initial catalog=z;junk"),
}
for name, data in conn.items():
    write("connection_string_fuzz", name, data)

# --- update_file_name_fuzz: flags (bit 0: Big5 bytes, bits 1-2: folder), then the name
names = {
    "plain": b"\x00pc1_setup_13.exe",
    "padded_big5": b"\x01 \t" + "更新13.exe".encode("cp950") + b"\r\n ",
    "traversal": b"\x02../../etc/passwd",
    "backslash": b"\x04..\\pc1.exe",
    "long_name": b"\x06" + b"x" * 130 + b".exe",
    "not_big5": b"\x00" + "update-€-✓.exe".encode("utf-8"),
    "dots": b"\x00...",
    "control": b"\x00up\x7fdate\x01.exe",
}
for name, data in names.items():
    write("update_file_name_fuzz", name, data)

# --- ftp_reply_fuzz: flags (bit 0: ReadLn + FinishReply, else Transaction), then what the
# server sends
replies = {
    "one_line": b"\x00220 Service ready\r\n",
    "multi_line": b"\x00211-Features:\r\n MDTM\r\n REST STREAM\r\n SIZE\r\n211 End\r\n",
    "multi_line_finish": b"\x01230-Welcome\r\n230-second\r\n 230 not the end\r\n230 Done\r\n"
    b"250 next reply\r\n",
    "cut_by_close": b"\x01150-Opening\r\n still going",
    "closed_in_reply": b"\x00150-Opening\r\n",
    "big_code": b"\x0099999 too big\r\n",
    "ten_digits": b"\x0100000012345678 code\r\n",
    "no_code": b"\x00hello\n-\n",
    "bare_lf_lines": b"\x01226-a\n226-b\n226 c\nrest",
    "empty": b"\x00",
}
for name, data in replies.items():
    write("ftp_reply_fuzz", name, data)

# --- ftp_fields_fuzz: selector (0: PASV reply, 1: StrToInt, 2: NthField with N + 8 and the
# delimiter as the next two bytes, 3: announced byte count), then the text as Latin-1
fields = {
    "pasv": b"\x00227 Entering Passive Mode (127,0,0,1,195,80)",
    "pasv_zero_port": b"\x00227 Entering Passive Mode (127,0,0,1,0,0)",
    "pasv_out_of_range": b"\x00227 Entering Passive Mode (127,0,0,1,256,1)",
    "pasv_no_paren": b"\x00227 Entering Passive Mode (127,0,0,1,4,1",
    "pasv_signed": b"\x00227 =127,0,0,1, -0,+7)",
    "pasv_short": b"\x00227 Passive 4,1)",
    "pasv_bare": b"\x00227 Entering Passive Mode 127,0,0,1,4,5",
    "pasv_blanks": b"\x00227 Entering Passive Mode (127, 0, 0, 1, 4, 5).",
    "pasv_seven": b"\x00227 (127,0,0,1,4,5,6)",
    "pasv_second_list": b"\x00227 v1,2,3,4,5,6 2,3 (10,0,0,1,0,80)",
    "pasv_glued_end": b"\x00227 (127,0,0,1,19,1.5)",
    "int_max": b"\x01 2147483647",
    "int_min": b"\x01-2147483648",
    "int_overflow": b"\x0199999999999999999999",
    "int_trailing": b"\x0112 ",
    "field_third": b"\x02\x0b,a,b,c,d",
    "field_zero": b"\x02\x08;x;y",
    "field_past_end": b"\x02\x40 one two",
    "bytes_retr": b"\x03150 Opening BINARY mode data connection for pc1.exe (123456 bytes)",
    "bytes_lower": b"\x03150 data (42 Bytes)",
    "bytes_large": b"\x03150 (3000000000 bytes)",
    "bytes_huge": b"\x03150 (123456789012345678901234567890 bytes)",
    "bytes_none": b"\x03150 Opening data connection",
    "bytes_latin1": b"\x03150 \xdf\xdf 77 bytes",
}
for name, data in fields.items():
    write("ftp_fields_fuzz", name, data)

print("seeds written to", root, file=sys.stderr)
