#!/usr/bin/python3
"""labgrid's ExternalPowerDriver, configured by nexli-power.yaml, against a hub.

Run inside hubsim with one 8-port hub on ttyUSB0 whose password is s3cret,
logging its requests, with Debian's Python (where python3-labgrid lives):

  hubsim --log LOG --hub 0 --ports 8 --password s3cret -- \\
      /usr/bin/python3 contrib/labgrid/test_nexli_power.py --nexli NEXLI --log LOG

on, off and cycle must switch port 3 of the hub, with the password read from a
file that nexli-power.yaml names and never on a command line; with a wrong
password in the file, or a port the hub lacks, labgrid must raise and the hub
must stay as it was.

Exits 77 (skipped) when labgrid cannot be imported, unless CI=true, where a
missing labgrid is a failure: CI installs python3-labgrid.
"""

import argparse
import os
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
CONFIG = os.path.join(HERE, "nexli-power.yaml")
HUB = "ttyUSB0"
PASSWORD = "s3cret"

try:
    import labgrid
except ImportError as error:
    if os.environ.get("CI") == "true":
        print(f"FAIL: labgrid cannot be imported under CI: {error}")
        sys.exit(1)
    print(f"SKIP: labgrid cannot be imported ({error}): apt-get install python3-labgrid")
    sys.exit(77)

ARGS = None  # --nexli and --log
FOLDER = tempfile.TemporaryDirectory()  # the password files, gone at exit


def power_driver(password=PASSWORD, port="3"):
    """The ExternalPowerDriver of nexli-power.yaml, for HUB with these values;
    the password goes to a file of its own (mkstemp: mode 0600)."""
    fd, password_file = tempfile.mkstemp(dir=FOLDER.name)
    with os.fdopen(fd, "w") as out:
        out.write(password + "\n")
    os.environ.update(LG_NEXLI=ARGS.nexli, LG_NEXLI_HUB=HUB,
                      LG_NEXLI_PASSWORD_FILE=password_file, LG_NEXLI_PORT=port)
    target = labgrid.Environment(CONFIG).get_target("main")
    return target.get_driver("PowerProtocol")


def nexli(*args):
    """Runs nexli as a person would (no NEXLI_EXIT_STATUS); its output."""
    env = {k: v for k, v in os.environ.items() if k != "NEXLI_EXIT_STATUS"}
    return subprocess.run([ARGS.nexli, *args], env=env, stdout=subprocess.PIPE,
                          check=True).stdout.decode()


def states():
    return nexli(f"/G:{HUB}", "-B")


class Requests:
    """The requests the hub receives from here on, from hubsim's log."""

    def __init__(self):
        self.offset = os.path.getsize(ARGS.log)

    def sent(self):
        """[(seconds, request as logged)] for the set-state requests."""
        with open(ARGS.log, "rb") as log:
            log.seek(self.offset)
            lines = log.read().decode("latin-1").splitlines()
        entries = [line.split(" ", 2) for line in lines]
        return [(float(stamp), request) for stamp, _device, request in entries
                if request.startswith("SP")]


class PowerThroughNexli(unittest.TestCase):
    def setUp(self):
        nexli(f"/S:{HUB}", PASSWORD, "0:1,2,3,4,5,6,7,8")
        self.assertEqual(states(), "00000000\n")

    def test_on_and_off_switch_the_port(self):
        power = power_driver()
        power.on()
        self.assertEqual(states(), "00000100\n")
        power.off()
        self.assertEqual(states(), "00000000\n")

    def test_cycle_switches_off_then_on(self):
        power = power_driver()
        power.on()
        requests = Requests()
        power.cycle()
        self.assertEqual(states(), "00000100\n")
        sent = requests.sent()
        self.assertEqual([request for _, request in sent],
                         [r"SPs3cret  00000000\r", r"SPs3cret  04000000\r"])
        # Off for nexli's default 2 seconds (C:3), at least: hubsim logs a
        # request before it answers it.
        self.assertGreaterEqual(sent[1][0] - sent[0][0], 2.0)

    def test_wrong_password_raises(self):
        power = power_driver(password="wrong")
        requests = Requests()
        for action in (power.on, power.off, power.cycle):
            with self.subTest(action=action.__name__):
                with self.assertRaises(subprocess.CalledProcessError) as raised:
                    action()
                self.assertEqual(raised.exception.returncode, 1)
                self.assertIn(b"Password Error!", raised.exception.output)
                # labgrid reports the command it ran: no password in it.
                self.assertNotIn("wrong", str(raised.exception.cmd))
        # The hub refused every request: the port never came on.
        self.assertEqual(states(), "00000000\n")
        self.assertEqual([request for _, request in requests.sent()],
                         [r"SPwrong   04000000\r", r"SPwrong   00000000\r",
                          r"SPwrong   00000000\r"])

    def test_port_the_hub_lacks_raises(self):
        power = power_driver(port="9")
        requests = Requests()
        with self.assertRaises(subprocess.CalledProcessError) as raised:
            power.on()
        self.assertEqual(raised.exception.returncode, 2)
        self.assertIn(b"Invalid Number!", raised.exception.output)
        self.assertEqual(requests.sent(), [])


def main():
    global ARGS
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--nexli", required=True, help="the nexli program")
    parser.add_argument("--log", required=True, help="hubsim's --log file")
    ARGS, rest = parser.parse_known_args()
    ARGS.nexli = os.path.abspath(ARGS.nexli)
    unittest.main(argv=[sys.argv[0], "-v", *rest])


if __name__ == "__main__":
    main()
