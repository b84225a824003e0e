#!/usr/bin/env python3
"""Kelvane for Windows, cross-built and run under Wine, end to end: its command line, and its
window on a private X display driven by keys and clicks as a user would.

scripts/windows test runs it with KELVANE_WINDOWS_DEPLOY (the folder of kelvane.exe and what
it loads), KELVANE_WINDOWS_D (the folder that is drive D: of the Wine prefix WINEPREFIX) and
KELVANE_WINE. A private MariaDB listens on 127.0.0.1 with a certificate of a CA made here. The
program works in D:\\work, reads the suite's configuration from D:\\zarnix\\programs\\zarfiles.ini
(the drive of its working folder) and the client options from C:\\windows\\my.ini, as on a
workstation of the suite. With KELVANE_SCREENSHOT_DIR set, the window's test saves the
screen there before each key (window.png, question.png, ...).
"""
import getpass
import glob
import os
import shutil
import socket
import subprocess
import tempfile
import time
import unittest

DEPLOY = os.environ["KELVANE_WINDOWS_DEPLOY"]
DRIVE_D = os.environ["KELVANE_WINDOWS_D"]
PREFIX = os.environ["WINEPREFIX"]
WINE = os.environ.get("KELVANE_WINE", "/usr/lib/wine/wine64")
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ADMIN = os.environ.get("KELVANE_ADMIN_USER") or getpass.getuser()
WORK = os.path.join(DRIVE_D, "work")
MY_INI = os.path.join(PREFIX, "drive_c", "windows", "my.ini")
# The profile tables, whose checksums with zz_data_ap's say whether anything changed.
TABLES = ["Bank", "ClassTypes", "Company", "CmpCont", "Department", "GLCodes", "Producer",
          "Trans", "Vendor", "AddInt2", "DLNAIC", "DLLines"]


def option_file_path(path):
    """A Unix path as a Windows option file names it: drive Z: (Wine's /), and forward
    slashes, since the option files read a backslash as an escape."""
    return "Z:" + path


class Server:
    """A MariaDB of the tests' own on 127.0.0.1, user kelvane, database kwin."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="kelvane-wine-server.")
        run(["sh", "-c", "openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem"
             " -days 2 -subj '/CN=Kelvane test CA' && openssl req -newkey rsa:2048 -nodes"
             " -keyout server.key -out server.csr -subj '/CN=127.0.0.1' && printf"
             " 'subjectAltName=IP:127.0.0.1\\n' > ext.cnf && openssl x509 -req -in server.csr"
             " -CA ca.pem -CAkey ca.key -CAcreateserial -out server.pem -days 2 -extfile ext.cnf"
             " && openssl req -x509 -newkey rsa:2048 -nodes -keyout other.key -out other.pem"
             " -days 2 -subj '/CN=Some other CA'"], cwd=self.dir)
        root = ["--user=root"] if os.geteuid() == 0 else []
        run(["mariadb-install-db", "--no-defaults", "--datadir=" + self.path("data"),
             "--auth-root-authentication-method=socket", "--auth-root-socket-user=" + ADMIN,
             "--skip-test-db"] + root)
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            self.port = probe.getsockname()[1]
        self.process = subprocess.Popen(
            ["mariadbd", "--no-defaults", "--datadir=" + self.path("data"),
             "--socket=" + self.path("sock"), "--bind-address=127.0.0.1",
             "--port=%d" % self.port, "--skip-name-resolve", "--ssl-ca=" + self.path("ca.pem"),
             "--ssl-cert=" + self.path("server.pem"), "--ssl-key=" + self.path("server.key"),
             "--character-set-server=utf8mb4", "--innodb-buffer-pool-size=64M"] + root,
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(600):
            if subprocess.run(self.client() + ["-e", "SELECT 1"], capture_output=True).returncode == 0:
                break
            time.sleep(0.1)
        self.sql("CREATE USER kelvane@'127.0.0.1' IDENTIFIED BY 'kelvane';"
                 " GRANT ALL ON *.* TO kelvane@'127.0.0.1';"
                 " CREATE DATABASE kwin CHARACTER SET utf8mb4", database="")

    def path(self, name):
        return os.path.join(self.dir, name)

    def client(self):
        return ["mariadb", "--no-defaults", "--socket=" + self.path("sock"), "-u", ADMIN,
                "--default-character-set=utf8mb4", "-N", "-B"]

    def sql(self, statements, database="kwin"):
        return run(self.client() + ([database] if database else []), stdin=statements).rstrip("\n")

    def stop(self):
        self.process.kill()
        self.process.wait()
        shutil.rmtree(self.dir, ignore_errors=True)


def run(argv, cwd=None, stdin=None):
    return subprocess.run(argv, cwd=cwd, input=stdin, capture_output=True, text=True,
                          check=True).stdout


SERVER = None


def setUpModule():
    global SERVER
    SERVER = Server()
    os.makedirs(os.path.join(DRIVE_D, "zarnix", "programs"), exist_ok=True)
    with open(os.path.join(DRIVE_D, "zarnix", "programs", "zarfiles.ini"), "w") as ini:
        ini.write("[ZarfilesNdx]\r\nmdbserv=127.0.0.1\r\nmdbuser=kelvane\r\n"
                  "mdbpass=kelvane\r\nmdbbase=kwin\r\n")
    os.makedirs(WORK, exist_ok=True)


def tearDownModule():
    SERVER.stop()


class WindowsTest(unittest.TestCase):
    """The private server with the demo database loaded afresh, and a port-only my.ini."""

    def setUp(self):
        self.server = SERVER
        self.write_my_ini("")
        self.server.sql("DROP DATABASE kwin; CREATE DATABASE kwin CHARACTER SET utf8mb4;"
                        " ALTER USER kelvane@'127.0.0.1' REQUIRE NONE", "")
        with open(os.path.join(ROOT, "sql", "schema.sql")) as schema, \
                open(os.path.join(ROOT, "sql", "demo.sql")) as demo:
            self.server.sql(schema.read() + demo.read())

    def write_my_ini(self, more):
        with open(MY_INI, "w") as ini:
            ini.write("[client]\r\nport=%d\r\n%s" % (self.server.port, more))

    def kelvane(self, *args):
        result = subprocess.run([WINE, os.path.join(DEPLOY, "kelvane.exe")] + list(args),
                                cwd=WORK, capture_output=True)
        return (result.returncode, result.stdout.decode("utf-8"),
                result.stderr.decode("utf-8"))

    def everything(self):
        return self.server.sql("CHECKSUM TABLE " + ", ".join(TABLES + ["zz_data_ap"]))

    def bank_count(self, code):
        return self.server.sql("SELECT COUNT(*) FROM Bank WHERE AgyCode = '%s'" % code)


class CommandLine(WindowsTest):
    def test_copy_is_exact_and_leaves_the_connection_file_and_a_backup(self):
        status, out, err = self.kelvane("--from", "01", "--to", "02")
        self.assertEqual(0, status, err)
        self.assertEqual(["Banks", "Classes"], out.splitlines()[:2])
        status, out, err = self.kelvane("--from", "01", "--to", "02", "--verify")
        self.assertEqual(0, status, out + err)
        self.assertIn("The destination matches the source.", out)
        with open(os.path.join(WORK, "Utility.ini"), "rb") as ini:
            self.assertEqual(b"DriverID=MySQL\r\nserver=127.0.0.1\r\nUser_Name=kelvane\r\n"
                             b"Password=kelvane\r\ndatabase=kwin\r\n", ini.read())
        status, out, err = self.kelvane("--history")
        self.assertEqual(0, status, err)
        self.assertIn("01 -> 02", out)
        self.assertIn("\\AppData\\Local\\Kelvane\\backups\\", out)

    def test_restore_puts_the_profile_back_exactly(self):
        before = self.everything()
        status, out, err = self.kelvane("--from", "01", "--to", "02", "--json")
        self.assertEqual(0, status, err)
        backup = out.split('"backup_file":"')[1].split('"')[0].replace("\\\\", "\\")
        self.assertNotEqual(before, self.everything())
        status, out, err = self.kelvane("--restore", backup)
        self.assertEqual(0, status, out + err)
        self.assertEqual(before, self.everything())

    def test_refusals_change_nothing(self):
        before = self.everything()
        for args, words in [(["--from", "0", "--to", "02"], "is not two letters or digits"),
                            (["--from", "01", "--to", "01"], "the same agency"),
                            (["--bogus"], "unknown argument")]:
            status, out, err = self.kelvane(*args)
            self.assertEqual(2, status, out + err)
            self.assertIn(words, err)
        self.assertEqual(before, self.everything())

    def test_a_refused_row_rolls_the_whole_run_back(self):
        self.server.sql("CREATE TRIGGER refuse BEFORE INSERT ON AddInt2 FOR EACH ROW SIGNAL"
                        " SQLSTATE '45000' SET MESSAGE_TEXT = 'This row is refused'")
        before = self.everything()
        status, out, err = self.kelvane("--from", "01", "--to", "02")
        self.assertEqual(1, status, out + err)
        self.assertIn("This row is refused", err)
        self.assertIn("exactly as before the run", err)
        self.assertEqual(before, self.everything())

    def test_an_agency_in_use_by_another_run_is_refused(self):
        holder = subprocess.Popen(self.server.client() + ["--unbuffered", "kwin"],
                                  stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE, text=True)
        holder.stdin.write("SELECT GET_LOCK('kelvane.kwin.02', 0);\n")
        holder.stdin.flush()
        holder.stdout.readline()
        try:
            status, out, err = self.kelvane("--from", "01", "--to", "02")
        finally:
            holder.stdin.close()
            holder.wait()
            holder.stdout.close()
        self.assertEqual(1, status, out + err)
        self.assertIn("Agency 02 is in use", err)

    def test_tls_as_my_ini_sets_it_up(self):
        self.server.sql("ALTER USER kelvane@'127.0.0.1' REQUIRE SSL")
        self.write_my_ini("ssl-ca=%s\r\nssl-verify-server-cert=1\r\n"
                          % option_file_path(self.server.path("ca.pem")))
        status, out, err = self.kelvane("--from", "01", "--to", "02", "--dry-run")
        self.assertEqual(0, status, out + err)
        before = self.everything()
        self.write_my_ini("ssl-ca=%s\r\nssl-verify-server-cert=1\r\n"
                          % option_file_path(self.server.path("other.pem")))
        status, out, err = self.kelvane("--from", "01", "--to", "02")
        self.assertEqual(1, status, out + err)
        self.assertIn("certificate", err)
        self.assertEqual(before, self.everything())

    def test_names_with_accents_come_out_as_utf8(self):
        status, out, err = self.kelvane("--restore", "D:\\work\\Größe für Société.sql")
        self.assertEqual(1, status, out + err)
        self.assertIn("Größe für Société.sql", err)


class Window(WindowsTest):
    """The window, as the Linux test of the real window drives it: a cancelled run, a
    confirmed one, and the profile put back by a second start."""
    PATIENCE = 120  # seconds a window may take to come or go: a bound against a hang

    @classmethod
    def setUpClass(cls):
        cls.display_dir = tempfile.mkdtemp(prefix="kelvane-wine-display.")
        with open(os.path.join(cls.display_dir, "number"), "w") as number:
            cls.xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(number.fileno()), "-screen",
                                         "0", "1280x1024x24", "-nolisten", "tcp"],
                                        pass_fds=[number.fileno()], stderr=subprocess.DEVNULL)
        deadline = time.time() + 30
        while time.time() < deadline and not cls.read(cls.display_dir, "number").endswith("\n"):
            time.sleep(0.05)
        cls.display = ":" + cls.read(cls.display_dir, "number").strip()
        # The prefix's Wine session keeps the display its first program found (none, for the
        # command line's tests); a new one starts on this display.
        cls.end_wine_session()

    @staticmethod
    def end_wine_session():
        subprocess.run([os.path.join(os.path.dirname(WINE), "wineserver64"), "-k"],
                       stderr=subprocess.DEVNULL)
        subprocess.run([os.path.join(os.path.dirname(WINE), "wineserver64"), "-w"],
                       stderr=subprocess.DEVNULL)

    @classmethod
    def tearDownClass(cls):
        cls.end_wine_session()
        cls.xvfb.terminate()
        cls.xvfb.wait()
        shutil.rmtree(cls.display_dir, ignore_errors=True)

    @staticmethod
    def read(folder, name):
        with open(os.path.join(folder, name)) as text:
            return text.read()

    def xdo(self, *args):
        return subprocess.run(["xdotool"] + list(args), env=dict(os.environ, DISPLAY=self.display),
                              capture_output=True, text=True)

    def wait_for(self, title, present=True):
        deadline = time.time() + self.PATIENCE
        while time.time() < deadline:
            found = self.xdo("search", "--onlyvisible", "--name", title)
            if (found.returncode == 0 and bool(found.stdout.strip())) == present:
                return found.stdout.split()[0] if present else ""
            time.sleep(0.1)
        self.fail("window %s did not %s; display %s; the program said: %s" % (
            title, "come" if present else "go", self.display,
            self.read(self.display_dir, "program.log")))

    def start(self, program=os.path.join(DEPLOY, "kelvane.exe")):
        log = open(os.path.join(self.display_dir, "program.log"), "ab")
        self.addCleanup(log.close)
        self.program = subprocess.Popen([WINE, program], cwd=WORK,
                                        env=dict(os.environ, DISPLAY=self.display),
                                        stdout=log, stderr=log)
        self.main_window = self.wait_for("^Kelvane$")

    def keys(self, title, keys, shot=""):
        window = self.wait_for(title)
        self.xdo("windowactivate", "--sync", window)
        self.xdo("windowfocus", "--sync", window)
        # Wine takes the focus a moment after X gives it.
        time.sleep(0.5)
        shots = os.environ.get("KELVANE_SCREENSHOT_DIR")
        if shots and shot:
            subprocess.run(["import", "-window", "root", os.path.join(shots, shot + ".png")],
                           env=dict(os.environ, DISPLAY=self.display), check=True)
        self.xdo("key", "--clearmodifiers", keys)

    def click_go(self):
        self.xdo("windowactivate", "--sync", self.main_window)
        time.sleep(0.5)
        # The middle of "GO!" (616, 16, 113 x 65) in the client area.
        self.xdo("mousemove", "--window", self.main_window, "672", "48", "click", "1")

    def test_copy_through_the_window_then_put_the_profile_back(self):
        before = self.everything()
        self.start()
        shots = os.environ.get("KELVANE_SCREENSHOT_DIR")
        if shots:
            time.sleep(1)
            subprocess.run(["import", "-window", "root", os.path.join(shots, "window.png")],
                           env=dict(os.environ, DISPLAY=self.display), check=True)
        # GO!, Esc: nothing changes, the window stays.
        self.click_go()
        self.keys("replace a profile", "Escape", "question")
        self.wait_for("replace a profile", present=False)
        self.assertIsNone(self.program.poll())
        self.assertEqual(before, self.everything())
        # GO!, Enter, Enter: the copy, and the program ends well.
        self.click_go()
        self.keys("replace a profile", "Return")
        self.keys("profile copied", "Return", "result")
        self.assertEqual(0, self.program.wait(self.PATIENCE))
        self.assertEqual(self.bank_count("01"), self.bank_count("02"))
        self.assertNotEqual(before, self.everything())
        # Started again: Alt+H, Enter, Enter, Enter puts the profile back as it was.
        self.start()
        self.keys("^Kelvane$", "alt+h")
        self.keys("saved profiles", "Return", "history")
        self.keys("put back a profile", "Return", "put-back-question")
        self.keys("profile put back", "Return", "put-back-result")
        self.wait_for("profile put back", present=False)
        self.assertEqual(before, self.everything())
        self.keys("saved profiles", "Escape")
        self.wait_for("saved profiles", present=False)
        self.assertIsNone(self.program.poll())
        self.program.terminate()
        self.program.wait()

    @unittest.skipUnless(os.environ.get("KELVANE_WINDOWS_INSTALLED"), "no installed program")
    def test_the_installed_program_opens_its_window(self):
        self.start(os.environ["KELVANE_WINDOWS_INSTALLED"])
        self.assertIsNone(self.program.poll())
        self.program.terminate()
        self.program.wait()


if __name__ == "__main__":
    unittest.main()
