#!/usr/bin/env python3
"""Kelvane for Windows, cross-built and run under Wine, end to end through its command line.

scripts/windows test runs it with KELVANE_WINDOWS_DEPLOY (the folder of kelvane.exe and what
it loads), KELVANE_WINDOWS_D (the folder that is drive D: of the Wine prefix WINEPREFIX) and
KELVANE_WINE. A private MariaDB listens on 127.0.0.1 with a certificate of a CA made here. The
program works in D:\\work, reads the suite's configuration from D:\\zarnix\\programs\\zarfiles.ini
(the drive of its working folder) and the client options from C:\\windows\\my.ini, as on a
workstation of the suite.
"""
import getpass
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
             "--character-set-server=utf8mb4", "--innodb-buffer-pool-size=32M"] + root,
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


class WindowsCommandLine(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = Server()
        os.makedirs(os.path.join(DRIVE_D, "zarnix", "programs"), exist_ok=True)
        with open(os.path.join(DRIVE_D, "zarnix", "programs", "zarfiles.ini"), "w") as ini:
            ini.write("[ZarfilesNdx]\r\nmdbserv=127.0.0.1\r\nmdbuser=kelvane\r\n"
                      "mdbpass=kelvane\r\nmdbbase=kwin\r\n")
        os.makedirs(WORK, exist_ok=True)

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    def setUp(self):
        self.write_my_ini("")
        self.server.sql("DROP DATABASE kwin; CREATE DATABASE kwin CHARACTER SET utf8mb4", "")
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


if __name__ == "__main__":
    unittest.main()
