#!/usr/bin/python3
"""The end-to-end harness's own rules, without running a program: which spellings of the folder
it forgives in DLrec.txt and the messages, and what it still calls a difference."""
import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e_wine  # noqa: E402

APP = "/work/runs/x/subject/app"
REF_APP = "/work/runs/x/reference/app"


def make_run(role, app_parent, log, out=b"", trace=()):
    run = e2e_wine.Run(e2e_wine.SCENARIOS[0], role, app_parent, {})
    run.log = log
    run.out = out
    run.trace = list(trace)
    return run


def head(path):
    return (b"Ver:2.4\r\nFTP Download...\r\n" + path + b"\r\n\xb5\xa5 100ms\xb5\xb2\xa7\xf4"
            b"\xb5{\xa6\xa1\r\n")


class FolderSpelling(unittest.TestCase):
    def setUp(self):
        self.windows = e2e_wine.Role("windows", "/nowhere", "/work")
        self.linux = e2e_wine.Role("linux", "/nowhere", "/work")

    def test_spellings_of_the_folder_are_forgiven(self):
        table = [
            (self.windows, b"Z:\\work\\runs\\x\\subject\\app\\update.exe"),
            (self.windows, b"z:\\WORK\\runs\\x\\subject\\app\\update.exe"),
            (self.windows, b"Z:/work/runs/x/subject/app/update.exe"),
            (self.windows, b"/work/runs/x/subject/app/update.exe"),
            (self.linux, b"/work/runs/x/subject/app/update.exe"),
        ]
        for role, line in table:
            with self.subTest(role=role.kind, line=line):
                self.assertEqual(role.folder_pattern(APP).sub(b"<FOLDER>/", line),
                                 b"<FOLDER>/update.exe")

    def test_other_folders_and_other_text_are_kept(self):
        table = [
            (self.windows, b"C:\\work\\runs\\x\\subject\\app\\update.exe"),  # another drive
            (self.windows, b"Z:\\work\\runs\\x\\subject\\app2\\update.exe"),  # a longer name
            (self.windows, b"Z:\\work\\runs\\x\\subject\\update.exe"),  # the parent
            (self.windows, b"see Z:\\work\\runs\\x\\subject\\app\\update.exe"),  # not at the start
            (self.linux, b"Z:\\work\\runs\\x\\subject\\app\\update.exe"),  # not a Linux spelling
            (self.linux, b"/WORK/runs/x/subject/app/update.exe"),  # Linux names keep their case
        ]
        for role, line in table:
            with self.subTest(role=role.kind, line=line):
                self.assertEqual(role.folder_pattern(APP).sub(b"<FOLDER>/", line), line)


class Comparison(unittest.TestCase):
    def setUp(self):
        self.ref = e2e_wine.Role("linux", "/nowhere", "/work")
        self.win = e2e_wine.Role("windows", "/nowhere", "/work")

    def runs(self, ref_log, sub_log, ref_out=b"", sub_out=b"", ref_trace=(), sub_trace=()):
        with tempfile.TemporaryDirectory() as empty:
            # velka.ini is read from each run's folder: both missing compare equal.
            a = make_run(self.ref, os.path.join(empty, "a"), ref_log, ref_out, ref_trace)
            b = make_run(self.win, os.path.join(empty, "b"), sub_log, sub_out, sub_trace)
            a.app, b.app = REF_APP, APP
            return e2e_wine.compare(a, b)

    def test_the_same_run_in_two_spellings_is_equal(self):
        self.assertEqual(self.runs(head(REF_APP.encode() + b"/update.exe"),
                                   head(b"Z:\\work\\runs\\x\\subject\\app\\update.exe"),
                                   b"[PC-VELKA] ok\n", b"[PC-VELKA] ok\n",
                                   ["USER velk", "RETR update.exe"],
                                   ["USER velk", "RETR update.exe"]), [])

    def test_differences_are_reported(self):
        same = head(REF_APP.encode() + b"/update.exe")
        sub = head(b"Z:\\work\\runs\\x\\subject\\app\\update.exe")
        self.assertEqual(self.runs(same, sub), [])
        table = [
            ("another line", sub.replace(b"FTP Download...", b"FTP Download..")),
            ("LF for CR LF", sub.replace(b"Ver:2.4\r\n", b"Ver:2.4\n")),
            ("a line more", sub + b"DLretry=1\r\n"),
            ("no log", None),
            ("another file name", sub.replace(b"update.exe", b"update.ex_")),
        ]
        for name, b in table:
            with self.subTest(name):
                problems = self.runs(same, b)
                self.assertEqual(len(problems), 1, problems)
                self.assertIn("DLrec", problems[0])
        problems = self.runs(same, sub, b"[PC-VELKA] ok\n", b"[PC-VELKA] ok\r\n")
        self.assertEqual(len(problems), 1)
        self.assertIn("messages", problems[0])
        problems = self.runs(same, sub, ref_trace=["PASV", "RETR update.exe"],
                             sub_trace=["PORT 127,0,0,1,4,1", "RETR update.exe"])
        self.assertEqual(len(problems), 1)
        self.assertIn("FTP commands", problems[0])


class UpdateStandIns(unittest.TestCase):
    def test_both_are_padded_to_one_size(self):
        script = e2e_wine.pad_script(e2e_wine.LINUX_UPDATE, e2e_wine.UPDATE_SIZE)
        self.assertEqual(len(script), e2e_wine.UPDATE_SIZE)
        self.assertTrue(script.startswith(e2e_wine.LINUX_UPDATE))
        with tempfile.NamedTemporaryFile() as program:
            program.write(b"MZ" + b"x" * 1000)
            program.flush()
            role = e2e_wine.Role("windows", "/nowhere", "/work",
                                 {"pc1": "", "update": program.name})
            served = role.update_bytes()
            self.assertEqual(len(served), e2e_wine.UPDATE_SIZE)
            self.assertTrue(served.startswith(b"MZ" + b"x" * 1000))
            program.write(b"x" * e2e_wine.UPDATE_SIZE)
            program.flush()
            with self.assertRaises(RuntimeError):
                role.update_bytes()


if __name__ == "__main__":
    unittest.main()
