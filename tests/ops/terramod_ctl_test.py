"""tools/terramod-ctl against a real control server (tests/ops/tools/serve_control):
  terramod_ctl_test.py --server SERVE_CONTROL --client TERRAMOD_CTL
The server listens on a unix socket in a temporary folder and on a free
loopback port; it declares gain (10, 0 to 47 dB) and mute (0 or 1)."""
import argparse
import os
import socket
import subprocess
import sys
import tempfile
import unittest

ARGUMENTS = None
TIMEOUT = 20  # seconds, for any one program


class TerramodCtl(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.TemporaryDirectory(prefix="terramod-ctl-", dir="/tmp")
        cls.unix = "unix:" + os.path.join(cls.folder.name, "c.sock")
        cls.server = subprocess.Popen([ARGUMENTS.server, cls.unix, "tcp:0"],
                                      stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        lines = [cls.server.stdout.readline().split() for _ in range(2)]
        assert lines[0] == ["listening", cls.unix], lines
        assert lines[1][0] == "listening" and lines[1][1].startswith("tcp:127.0.0.1:"), lines
        cls.tcp = lines[1][1]

    @classmethod
    def tearDownClass(cls):
        cls.server.stdin.close()
        cls.server.wait(timeout=TIMEOUT)
        cls.folder.cleanup()

    def ctl(self, *arguments, stdin="", env=None):
        environment = dict(os.environ)
        environment.pop("TERRAMOD_CONTROL", None)
        environment.update(env or {})
        result = subprocess.run([ARGUMENTS.client] + list(arguments), input=stdin,
                                capture_output=True, text=True, timeout=TIMEOUT,
                                env=environment)
        return result.returncode, result.stdout, result.stderr

    def test_one_command_each_reply_and_status(self):
        cases = [
            ((self.unix, "set", "gain", "20"), 0, "ok 20\n"),
            ((self.tcp, "get", "gain"), 0, "ok 20\n"),
            ((self.unix, "set", "gain", "-3"), 1, "error gain must be 0 to 47 dB\n"),
            ((self.tcp, "set", "gain", "loud"), 1, "error 'loud' is not a number\n"),
            ((self.unix, "frob"), 1,
             "error unknown command frob (list, get NAME, set NAME VALUE)\n"),
            ((self.unix, "get"), 1, "error usage: get NAME\n"),
        ]
        for (endpoint, *command), status, output in cases:
            with self.subTest(command=command):
                code, out, err = self.ctl("-c", endpoint, *command)
                self.assertEqual((code, out), (status, output), err)

    def test_list(self):
        code, out, _ = self.ctl("--connect", self.tcp, "list")
        self.assertEqual(code, 0)
        names = [word.split("=")[0] for word in out.split()[1:]]
        self.assertEqual(names[:3], ["gain", "mute", "cycles_total"])

    def test_commands_from_standard_input(self):
        cases = [
            ("get mute\nset mute 1\n\nget mute\n", 0, "ok 0\nok 1\nok 1\n"),
            ("set mute 0\r\nset mute 2\nget mute\n", 1, "ok 0\nerror mute is 0 or 1\nok 0\n"),
            ("", 0, ""),
        ]
        for stdin, status, output in cases:
            with self.subTest(stdin=stdin):
                code, out, err = self.ctl("-c", self.unix, stdin=stdin)
                self.assertEqual((code, out), (status, output), err)

    def test_endpoint_from_the_environment(self):
        code, out, err = self.ctl("get", "mute", env={"TERRAMOD_CONTROL": self.tcp})
        self.assertEqual((code, out), (0, "ok 0\n"), err)
        # -c wins over the environment.
        code, out, err = self.ctl("-c", self.unix, "get", "mute",
                                  env={"TERRAMOD_CONTROL": "unix:/nonexistent/x.sock"})
        self.assertEqual((code, out), (0, "ok 0\n"), err)

    def test_cannot_connect(self):
        # A bound port nobody listens on refuses connections.
        refusing = socket.socket()
        refusing.bind(("127.0.0.1", 0))
        port = refusing.getsockname()[1]
        missing = os.path.join(self.folder.name, "none.sock")
        cases = [
            ("unix:" + missing, "cannot connect to unix:" + missing),
            ("tcp:127.0.0.1:%d" % port, "cannot connect to tcp:127.0.0.1:%d" % port),
            ("pipe:x", "'pipe:x': an endpoint is"),
            ("tcp:70000", "'tcp:70000': the port must be"),
        ]
        try:
            for endpoint, message in cases:
                with self.subTest(endpoint=endpoint):
                    code, out, err = self.ctl("-c", endpoint, "get", "gain")
                    self.assertEqual((code, out), (2, ""))
                    self.assertTrue(err.startswith("terramod-ctl: " + message), err)
        finally:
            refusing.close()
        if not os.path.exists("/run/terramod/terramod.sock"):
            code, _, err = self.ctl("get", "gain")
            self.assertEqual(code, 2)
            self.assertIn("cannot connect to unix:/run/terramod/terramod.sock", err)

    def test_help(self):
        code, out, _ = self.ctl("--help")
        self.assertEqual(code, 0)
        self.assertIn("usage: terramod-ctl", out)
        self.assertIn("TERRAMOD_CONTROL", out)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--server", required=True)
    parser.add_argument("--client", required=True)
    ARGUMENTS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest)
