#!/usr/bin/python3
"""Debian's pdudaemon, configured by pdudaemon.conf, switching a hub with nexli.

Run inside hubsim (see tests/CMakeLists.txt: a paced 8-port hub on ttyUSB0 whose
password is s3cret, its requests logged to --log) with Debian's /usr/bin/python3.
The daemon listens on 127.0.0.1 and a free port, nexli reads the password where
the systemd drop-in puts it, and logger writes to a listener on the sandbox's
/dev/log. Exits 77 (skipped) when pdudaemon or labgrid is missing, unless CI=true.
"""

import argparse
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
HUB, PASSWORD = "ttyUSB0", "s3cret"
PDUDAEMON = shutil.which("pdudaemon") or "/usr/sbin/pdudaemon"
try:
    import labgrid
    if not os.access(PDUDAEMON, os.X_OK):
        raise ImportError("no pdudaemon")
except ImportError as error:
    if os.environ.get("CI") == "true":
        sys.exit(f"FAIL: {error} under CI")
    print(f"SKIP: {error}: apt-get install pdudaemon python3-labgrid")
    sys.exit(77)

ARGS = None  # --nexli and --log
FOLDER = tempfile.TemporaryDirectory()  # stands for the credentials directory, %d
CREDENTIAL = URL = DAEMON_LOG = None  # set by start_daemon
SYSLOG = []  # what reached /dev/log, without the time stamps
CLIENT_ENV = {k: v for k, v in os.environ.items()
              if not k.lower().endswith("_proxy") and not k.startswith("NEXLI_")}
OK = (0, "OK - accepted request\n")


def nexli(*args, env=CLIENT_ENV):
    return subprocess.run([ARGS.nexli, *args], env=env, stdout=subprocess.PIPE,
                          check=True).stdout.decode()


def states():
    return nexli(f"/G:{HUB}", "-B")


def curl(request):
    """curl -sSf, as a LAVA device dictionary runs it: (status, output)."""
    done = subprocess.run(["curl", "-sSf", URL + request], env=CLIENT_ENV, timeout=120,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    return done.returncode, done.stdout.decode()


def wait_for(fetch, expected, seconds=30):
    """fetch() once it returns expected, or when seconds have passed."""
    deadline = time.monotonic() + seconds
    while (got := fetch()) != expected and time.monotonic() < deadline:
        time.sleep(0.05)
    return got


def log_size():
    return os.path.getsize(ARGS.log)


def set_requests(offset, times=False):
    """The set-state requests in hubsim's log from offset on, with their times."""
    with open(ARGS.log) as log:
        log.seek(offset)
        entries = [line.split(" ", 2) for line in log.read().splitlines()]
    return [(float(t), r) if times else r for t, _, r in entries if r.startswith("SP")]


def listen_to_syslog():
    server = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    server.bind("/dev/log")

    def receive():
        while True:
            message = server.recv(4096).decode(errors="replace")
            SYSLOG.append(re.sub(r"^(<\d+>)\w{3} [ \d]\d \d\d:\d\d:\d\d ", r"\1", message))
    threading.Thread(target=receive, daemon=True).start()


def start_daemon():
    """pdudaemon with pdudaemon.conf on 127.0.0.1, logging every command it runs,
    with the drop-in's NEXLI_PASSWORD_FILE."""
    global CREDENTIAL, URL, DAEMON_LOG
    with open(os.path.join(HERE, "pdudaemon.service.d", "nexli.conf")) as drop_in:
        unit = dict(line.strip().split("=", 1) for line in drop_in
                    if "=" in line and not line.startswith("#"))
    CREDENTIAL = os.path.join(FOLDER.name, unit["LoadCredential"].split(":")[0])
    variable, value = unit["Environment"].split("=", 1)
    env = dict(CLIENT_ENV, PATH=os.path.dirname(ARGS.nexli) + ":" + os.environ["PATH"])
    env[variable] = value.replace("%d", FOLDER.name)
    with open(os.path.join(HERE, "pdudaemon.conf")) as conf:
        settings = json.load(conf)
    DAEMON_LOG = os.path.join(FOLDER.name, "daemon.log")
    read_log = lambda: open(DAEMON_LOG).read()  # noqa: E731
    for _ in range(5):  # another program may take the free port first
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            port = probe.getsockname()[1]
        settings["daemon"].update(hostname="127.0.0.1", port=port, logging_level="DEBUG")
        with open(os.path.join(FOLDER.name, "pdudaemon.conf"), "w") as conf:
            json.dump(settings, conf)
        daemon = subprocess.Popen([PDUDAEMON, "--conf", conf.name], env=env,
                                  stdout=open(DAEMON_LOG, "w"), stderr=subprocess.STDOUT)
        listening = f"Listening on 127.0.0.1:{port}"
        wait_for(lambda: daemon.poll() is not None or listening in read_log(), True, 60)
        if daemon.poll() is None and listening in read_log():
            URL = f"http://127.0.0.1:{port}/power/control/"
            return daemon
        daemon.kill()
        daemon.wait()
        print(read_log())
    sys.exit("FAIL: pdudaemon did not start")


class PowerThroughPdudaemon(unittest.TestCase):
    def setUp(self):
        with open(CREDENTIAL, "w") as out:
            out.write(PASSWORD + "\n")
        nexli(f"/S:{HUB}", PASSWORD, "0:1,2,3,4,5,6,7,8")
        self.assertEqual(states(), "00000000\n")

    def test_http_requests_switch_the_port(self):
        # Catches a command of the configuration that switches the wrong port or
        # state, a reboot that does not keep the port off, a success logged.
        logged = len(SYSLOG)
        refused = (22, "curl: (22) The requested URL returned error: 500\n")
        for request, answer, sent, after in [
                ("on?hostname=nexli-hub0&port=3", OK, [r"SPs3cret  04000000\r"], "00000100"),
                ("on?hostname=nexli-hub0&port=5", OK, [r"SPs3cret  14000000\r"], "00010100"),
                ("off?hostname=nexli-hub0&port=3", OK, [r"SPs3cret  10000000\r"], "00010000"),
                ("reboot?hostname=nexli-hub0&port=5&delay=2", OK,
                 [r"SPs3cret  00000000\r", r"SPs3cret  10000000\r"], "00010000"),
                # What a client learns: the daemon has no such PDU, or the port
                # is not a number (so no shell text reaches the command).
                ("on?hostname=nexli-hub1&port=3", refused, [], "00010000"),
                ("on?hostname=nexli-hub0&port=3;reboot", refused, [], "00010000")]:
            with self.subTest(request=request):
                offset = log_size()
                self.assertEqual(curl(request), answer)
                self.assertEqual(wait_for(lambda: set_requests(offset), sent), sent)
                self.assertEqual(states(), after + "\n")
                if request.startswith("reboot"):  # off for the delay, at least
                    (off, _), (on, _) = set_requests(offset, times=True)
                    self.assertGreaterEqual(on - off, 2.0)
        self.assertEqual(SYSLOG[logged:], [])

    def test_labgrid_pdudaemon_driver(self):
        # Catches a labgrid environment whose PDU, port or daemon address the
        # daemon does not take (PDUDaemonDriver raises), or another port or delay.
        os.environ.update(LG_PDUDAEMON=URL.split("/")[2], LG_NEXLI_PORT="3")
        environment = labgrid.Environment(os.path.join(HERE, "labgrid-pdudaemon.yaml"))
        power = environment.get_target("main").get_driver("PowerProtocol")
        offset = log_size()
        power.on()
        self.assertEqual(wait_for(states, "00000100\n"), "00000100\n")
        power.cycle()
        power.off()
        sent = [r"SPs3cret  04000000\r", r"SPs3cret  00000000\r", r"SPs3cret  04000000\r",
                r"SPs3cret  00000000\r"]
        self.assertEqual(wait_for(lambda: set_requests(offset), sent), sent)
        (_, _), (off, _), (on, _), (_, _) = set_requests(offset, times=True)
        self.assertGreaterEqual(on - off, 2.0)  # the environment's delay

    def test_several_clients_at_once(self):
        # Catches a lost switch when requests for several ports of one paced hub
        # arrive together, from several clients and from nexli run beside the
        # daemon: each command must see the states the one before it left.
        env = dict(CLIENT_ENV, NEXLI_EXIT_STATUS="1", NEXLI_PASSWORD_FILE=CREDENTIAL)
        start, results, offset = threading.Barrier(8), {}, log_size()

        def client(port):
            start.wait()
            results[port] = (curl(f"on?hostname=nexli-hub0&port={port}") if port <= 6
                             else nexli(f"/S:{HUB}", f"1:{port}", env=env))
        threads = [threading.Thread(target=client, args=(port,)) for port in range(1, 9)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        self.assertEqual(results, {1: OK, 2: OK, 3: OK, 4: OK, 5: OK, 6: OK, 7: "", 8: ""})
        self.assertEqual(wait_for(states, "11111111\n"), "11111111\n")
        self.assertEqual(len(set_requests(offset)), 8)

    def test_refused_switch_goes_to_syslog(self):
        # Catches a configuration whose failed or refused switch leaves no trace
        # (no NEXLI_EXIT_STATUS=1, no logger), or that puts the password where
        # the daemon logs it. The client is told OK all the same.
        for password, request, line, sent in [
                ("b4dpass\n", "on?hostname=nexli-hub0&port=4",
                 "<27>nexli: nexli-hub0 port 4 on failed: Password Error! (ttyUSB0, status 1)",
                 [r"SPb4dpass 08000000\r"]),
                (None, "off?hostname=nexli-hub0&port=4",
                 "<27>nexli: nexli-hub0 port 4 off failed: Password File Error! (ttyUSB0, status 2)",
                 []),
                (PASSWORD + "\n", "on?hostname=nexli-hub0&port=9",
                 "<27>nexli: nexli-hub0 port 9 on failed: Invalid Number! (ttyUSB0, status 2)",
                 [])]:
            with self.subTest(request=request):
                if password is None:
                    os.remove(CREDENTIAL)
                else:
                    with open(CREDENTIAL, "w") as out:
                        out.write(password)
                offset, logged = log_size(), len(SYSLOG)
                self.assertEqual(curl(request), OK)
                self.assertEqual(wait_for(lambda: SYSLOG[logged:], [line]), [line])
                self.assertEqual(set_requests(offset), sent)
                self.assertEqual(states(), "00000000\n")
        with open(DAEMON_LOG) as log:
            seen = log.read() + "".join(SYSLOG)
        self.assertIn("running p=4; out=$(NEXLI_EXIT_STATUS=1 nexli", seen)
        self.assertNotIn(PASSWORD, seen)
        self.assertNotIn("b4dpass", seen)

    def test_drop_in_verifies(self):
        # Catches a misspelt setting or specifier in the drop-in, which systemd
        # only warns about, starting the daemon without the group or password.
        if not shutil.which("systemd-analyze") and os.environ.get("CI") != "true":
            self.skipTest("no systemd-analyze: apt-get install systemd")
        done = subprocess.run(["systemd-analyze", "verify", "pdudaemon.service"],
                              env=dict(os.environ, SYSTEMD_UNIT_PATH=HERE + ":"),
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.assertEqual((done.returncode, done.stdout.decode()), (0, ""))


def main():
    global ARGS
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--nexli", required=True, help="the nexli program")
    parser.add_argument("--log", required=True, help="hubsim's --log file")
    ARGS, rest = parser.parse_known_args()
    ARGS.nexli = os.path.abspath(ARGS.nexli)
    listen_to_syslog()
    daemon = start_daemon()
    try:
        result = unittest.main(argv=[sys.argv[0], "-v", *rest], exit=False).result
    finally:
        daemon.terminate()
        daemon.wait()
    sys.exit(0 if result.wasSuccessful() else 1)


if __name__ == "__main__":
    main()
