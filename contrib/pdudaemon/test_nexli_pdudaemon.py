#!/usr/bin/python3
"""Debian's pdudaemon, configured by pdudaemon.conf, switching a hub with nexli.

Run inside hubsim with one paced 8-port hub on ttyUSB0 whose password is s3cret,
logging its requests, with Debian's Python (where python3-labgrid lives):

  hubsim --log LOG --hub 0 --ports 8 --password s3cret --pace -- \\
      /usr/bin/python3 contrib/pdudaemon/test_nexli_pdudaemon.py --nexli NEXLI --log LOG

The daemon listens on 127.0.0.1 and a free port, reads the password from where
the systemd drop-in tells nexli to, and its configuration's logger writes to a
listener on the sandbox's own /dev/log. Exits 77 (skipped) when pdudaemon or
labgrid is missing, unless CI=true, where that is a failure.
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
FOLDER = tempfile.TemporaryDirectory()
CREDENTIAL = None  # the password file, where systemd would put it
URL = None  # http://127.0.0.1:PORT/power/control/
DAEMON_LOG = None  # what pdudaemon prints, every command it runs included
SYSLOG = []  # what reached /dev/log, without the time stamps
CLIENT_ENV = {k: v for k, v in os.environ.items()
              if not k.lower().endswith("_proxy") and not k.startswith("NEXLI_")}


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


class Requests:
    """The set-state requests the hub receives from here on (hubsim's log)."""

    def __init__(self):
        self.offset = os.path.getsize(ARGS.log)

    def times(self):
        with open(ARGS.log, "rb") as log:
            log.seek(self.offset)
            entries = [line.split(" ", 2) for line in log.read().decode().splitlines()]
        return [(float(t), r) for t, _, r in entries if r.startswith("SP")]

    def sent(self):
        return [request for _, request in self.times()]


def listen_to_syslog():
    server = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    server.bind("/dev/log")

    def receive():
        while True:
            message = server.recv(4096).decode(errors="replace")
            SYSLOG.append(re.sub(r"^(<\d+>)\w{3} [ \d]\d \d\d:\d\d:\d\d ", r"\1", message))
    threading.Thread(target=receive, daemon=True).start()


def start_daemon():
    """pdudaemon with pdudaemon.conf listening on 127.0.0.1 (logging every command
    it runs), and the environment of the drop-in, %d a folder of ours."""
    global CREDENTIAL, URL
    drop_in = dict(line.strip().split("=", 1) for line in
                   open(os.path.join(HERE, "pdudaemon.service.d", "nexli.conf"))
                   if "=" in line and not line.startswith("#"))
    CREDENTIAL = os.path.join(FOLDER.name, drop_in["LoadCredential"].split(":")[0])
    variable, value = drop_in["Environment"].split("=", 1)
    env = dict(CLIENT_ENV, PATH=os.path.dirname(ARGS.nexli) + ":" + os.environ["PATH"])
    env[variable] = value.replace("%d", FOLDER.name)
    settings = json.load(open(os.path.join(HERE, "pdudaemon.conf")))
    log = os.path.join(FOLDER.name, "daemon.log")
    for _ in range(5):  # another program may take the free port first
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            port = probe.getsockname()[1]
        settings["daemon"].update(hostname="127.0.0.1", port=port, logging_level="DEBUG")
        with open(os.path.join(FOLDER.name, "pdudaemon.conf"), "w") as conf:
            json.dump(settings, conf)
        daemon = subprocess.Popen([PDUDAEMON, "--conf", conf.name], env=env,
                                  stdout=open(log, "w"), stderr=subprocess.STDOUT)
        listening = f"Listening on 127.0.0.1:{port}"
        wait_for(lambda: daemon.poll() is not None or listening in open(log).read(), True, 60)
        if daemon.poll() is None and listening in open(log).read():
            URL = f"http://127.0.0.1:{port}/power/control/"
            return daemon, log
        daemon.kill()
        daemon.wait()
        print(open(log).read())
    sys.exit("FAIL: pdudaemon did not start")


class PowerThroughPdudaemon(unittest.TestCase):
    def setUp(self):
        with open(CREDENTIAL, "w") as out:
            out.write(PASSWORD + "\n")
        nexli(f"/S:{HUB}", PASSWORD, "0:1,2,3,4,5,6,7,8")
        self.assertEqual(states(), "00000000\n")
        self.syslog = len(SYSLOG)

    def test_http_requests_switch_the_port(self):
        # Catches a command of the configuration that switches the wrong
        # port or state, and a reboot that does not keep the port off.
        ok = (0, "OK - accepted request\n")
        refused = (22, "curl: (22) The requested URL returned error: 500\n")
        for request, answer, sent, after in [
                ("on?hostname=nexli-hub0&port=3", ok, [r"SPs3cret  04000000\r"], "00000100"),
                ("on?hostname=nexli-hub0&port=5", ok, [r"SPs3cret  14000000\r"], "00010100"),
                ("off?hostname=nexli-hub0&port=3", ok, [r"SPs3cret  10000000\r"], "00010000"),
                ("reboot?hostname=nexli-hub0&port=5&delay=2", ok,
                 [r"SPs3cret  00000000\r", r"SPs3cret  10000000\r"], "00010000"),
                # What a client learns: the daemon has no such PDU, or the port
                # is not a number (so no shell text reaches the command).
                ("on?hostname=nexli-hub1&port=3", refused, [], "00010000"),
                ("on?hostname=nexli-hub0&port=3;reboot", refused, [], "00010000")]:
            with self.subTest(request=request):
                requests = Requests()
                self.assertEqual(curl(request), answer)
                self.assertEqual(wait_for(requests.sent, sent), sent)
                self.assertEqual(states(), after + "\n")
                if request.startswith("reboot"):  # off for the delay, at least
                    (off, _), (on, _) = requests.times()
                    self.assertGreaterEqual(on - off, 2.0)
        self.assertEqual(SYSLOG[self.syslog:], [])

    def test_labgrid_pdudaemon_driver(self):
        # Catches a labgrid environment whose PDU, port or daemon address the
        # daemon does not take (PDUDaemonDriver raises), or that switches
        # another port.
        os.environ.update(LG_PDUDAEMON=URL.split("/")[2], LG_NEXLI_PORT="3")
        environment = labgrid.Environment(os.path.join(HERE, "labgrid-pdudaemon.yaml"))
        power = environment.get_target("main").get_driver("PowerProtocol")
        requests = Requests()
        power.on()
        self.assertEqual(wait_for(states, "00000100\n"), "00000100\n")
        power.cycle()
        power.off()
        sent = [r"SPs3cret  04000000\r", r"SPs3cret  00000000\r", r"SPs3cret  04000000\r",
                r"SPs3cret  00000000\r"]
        self.assertEqual(wait_for(requests.sent, sent), sent)
        (_, _), (off, _), (on, _), (_, _) = requests.times()
        self.assertGreaterEqual(on - off, 2.0)  # the environment's delay

    def test_several_clients_at_once(self):
        # Catches a lost switch when requests for several ports of one paced hub
        # arrive together, from several clients and from nexli run beside the
        # daemon: each command must see the states the one before it left.
        env = dict(CLIENT_ENV, NEXLI_EXIT_STATUS="1", NEXLI_PASSWORD_FILE=CREDENTIAL)
        start = threading.Barrier(8)
        results = {}

        def client(port):
            start.wait()
            if port <= 6:
                results[port] = curl(f"on?hostname=nexli-hub0&port={port}")
            else:
                results[port] = nexli(f"/S:{HUB}", f"1:{port}", env=env)
        requests = Requests()
        threads = [threading.Thread(target=client, args=(port,)) for port in range(1, 9)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        accepted = (0, "OK - accepted request\n")
        self.assertEqual(results, {1: accepted, 2: accepted, 3: accepted, 4: accepted,
                                   5: accepted, 6: accepted, 7: "", 8: ""})
        self.assertEqual(wait_for(states, "11111111\n"), "11111111\n")
        self.assertEqual(len(requests.sent()), 8)

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
                requests, logged = Requests(), len(SYSLOG)
                self.assertEqual(curl(request), (0, "OK - accepted request\n"))
                self.assertEqual(wait_for(lambda: SYSLOG[logged:], [line]), [line])
                self.assertEqual(requests.sent(), sent)
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
    global ARGS, DAEMON_LOG
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--nexli", required=True, help="the nexli program")
    parser.add_argument("--log", required=True, help="hubsim's --log file")
    ARGS, rest = parser.parse_known_args()
    ARGS.nexli = os.path.abspath(ARGS.nexli)
    listen_to_syslog()
    daemon, DAEMON_LOG = start_daemon()
    try:
        result = unittest.main(argv=[sys.argv[0], "-v", *rest], exit=False).result
    finally:
        daemon.terminate()
        daemon.wait()
    sys.exit(0 if result.wasSuccessful() else 1)


if __name__ == "__main__":
    main()
