"""The Windows build under Wine's own Service Control Manager and registry:
the registration commands, the state and configuration they leave behind,
and the service's passes and orderly stop as the manager sees them.

State is read from the Linux side with Wine's `sc` and `reg`. The service
process inherits its environment from the manager, not from the command that
starts it, so the loopback server is named to it as a system environment
variable (http_proxy), set before the manager starts its first service."""

import os
import re
import shutil
import subprocess
import tempfile
import time
import unittest

import harness
from harness import EXIT_MINUS_1, EXIT_MINUS_2, Tree, TreeTestCase

SERVICE = "Orvane Autoupdate Service"
SERVICE_KEY = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\" + SERVICE
SOURCE_KEY = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + SERVICE
ENVIRONMENT_KEY = "HKLM\\System\\CurrentControlSet\\Control\\Session Manager\\Environment"
DESCRIPTION = "Autoupdates TARN, Orvane Client, Wickmoor and development tools."
REMOTE = "~tarn/latest"
WAIT = 30.0  # upper bound of every wait; never reached when the program works

STOPPED, START_PENDING, STOP_PENDING, RUNNING = 1, 2, 3, 4
NOT_INSTALLED = b"Error opening service. Service not installed ?"

UNDER_WINE = harness.WINDOWS and bool(harness.RUNNER) and bool(os.environ.get("WINEPREFIX"))
WINESERVER = os.environ.get("ORVANE_WINESERVER") or os.path.join(
    os.path.dirname(harness.RUNNER or "/usr/lib/wine/wine64"), "wineserver64")
# The tests' own program that tells whether the manager is busy.
PROBE = os.environ.get("ORVANE_SERVICE_PROBE", "")

site = None


def wine(*args, timeout=WAIT):
    """Runs one of Wine's own tools; returns (exit code, output as text)."""
    # Output through a file: a Wine process that the command starts and that
    # outlives it (the service manager) must not hold a pipe of ours open.
    with tempfile.TemporaryFile() as out:
        code = subprocess.run([harness.RUNNER] + list(args), stdin=subprocess.DEVNULL,
                              stdout=out, stderr=subprocess.DEVNULL, timeout=timeout).returncode
        out.seek(0)
        return code, out.read().decode("latin-1").replace("\r\n", "\n")


def restart_wine():
    """Ends every process of the prefix, the service manager included, and
    starts its server again, kept alive between commands."""
    quiet = {"stdin": subprocess.DEVNULL, "stdout": subprocess.DEVNULL,
             "stderr": subprocess.DEVNULL, "timeout": WAIT}
    subprocess.run([WINESERVER, "-k"], **quiet)
    subprocess.run([WINESERVER, "-w"], **quiet)
    # The server outlives the call: it must not hold this process's pipes.
    subprocess.run([WINESERVER, "-p"], **quiet)
    # Likewise the session's own processes, started by its first command.
    subprocess.run([harness.RUNNER, "wineboot"], **quiet)
    settle()


def settle(quiet=2.0, timeout=60.0):
    """Waits (bounded) until the manager has been idle for `quiet` seconds
    running: no service starting or stopping, no control pipe waiting for a
    process. Wine's own services go on starting for a while after a boot, and
    a console run or a start of ours meanwhile would meet one of them."""
    deadline = time.monotonic() + timeout
    idle_since, reasons = None, ""
    while time.monotonic() < deadline:
        code, out = wine(PROBE)
        if code == 2:
            raise RuntimeError("the service probe failed: " + out)
        now = time.monotonic()
        if code != 0:
            idle_since, reasons = None, out
        elif idle_since is None:
            idle_since = now
        elif now - idle_since >= quiet:
            return
        time.sleep(0.2)
    raise RuntimeError("the service manager stayed busy: " + reasons)


def service_status():
    """The service's status fields as `sc query` shows them, or None when
    the manager knows no such service."""
    code, out = wine("sc", "query", SERVICE)
    if code != 0:
        return None
    fields = {}
    for line in out.split("\n"):
        match = re.match(r"\s*([A-Z_0-9]+)\s*:\s*(\S+)", line)
        if match:
            fields[match.group(1)] = match.group(2)
    if "STATE" not in fields:
        return None
    return {"state": int(fields["STATE"]), "checkpoint": int(fields["CHECKPOINT"], 16),
            "wait_hint": int(fields["WAIT_HINT"], 16),
            "exit": (fields.get("WIN32_EXIT_CODE"), fields.get("SERVICE_EXIT_CODE"))}


def service_values(key=SERVICE_KEY):
    """The values of the service's registry key: name -> (type, data)."""
    code, out = wine("reg", "query", key)
    if code != 0:
        return {}
    values = {}
    for line in out.split("\n"):
        match = re.match(r"^    (.+?)    (REG_[A-Z_]+)    (.*)$", line)
        if match:
            values[match.group(1)] = (match.group(2), match.group(3))
    return values


def eventually(predicate, timeout=WAIT, step=0.1):
    return harness.eventually(predicate, timeout, step)


def windows_path(path):
    """A Linux path as a Windows program sees it (drive Z: is the root)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def remove_service():
    status = service_status()
    if status is None:
        return
    if status["state"] != STOPPED:
        wine("sc", "stop", SERVICE)
        eventually(lambda: (service_status() or {"state": STOPPED})["state"] == STOPPED)
    wine("sc", "delete", SERVICE)
    eventually(lambda: service_status() is None)


def setUpModule():
    global site
    if not UNDER_WINE:
        return
    if not PROBE:
        raise RuntimeError("ORVANE_SERVICE_PROBE names no service probe")
    site = harness.Site(REMOTE)
    remove_service()
    code, out = wine("reg", "add", ENVIRONMENT_KEY, "/v", "http_proxy", "/d",
                     site.proxy, "/f")
    if code != 0:
        raise RuntimeError("cannot set the services' http_proxy: " + out)
    # The manager builds its services' environment once, at its first start.
    restart_wine()


def tearDownModule():
    if not UNDER_WINE:
        return
    remove_service()
    wine("reg", "delete", ENVIRONMENT_KEY, "/v", "http_proxy", "/f")
    if site:
        site.close()


@unittest.skipUnless(UNDER_WINE, "needs the Windows build, the Wine loader and a WINEPREFIX of its own")
class WindowsServiceCase(TreeTestCase):
    # A blank in the executable's directory: the registered path is quoted.
    BIN = "Orvane Bin"

    def setUp(self):
        settle()
        self.tree = Tree(self.BIN)
        self.addCleanup(self.tree.remove)
        self.addCleanup(remove_service)
        site.reset()

    def command(self, *args, program=None, cwd=None):
        """Runs a command word; returns (exit code, what follows the banner)."""
        code, out, err = self.tree.run(*args, program=program, cwd=cwd)
        return code, self.assertBanner(out)

    def install(self):
        self.assertEqual(self.command("install"), (0, b"Service installed\n"))

    def state(self):
        status = service_status()
        return None if status is None else status["state"]

    def wait_state(self, state, timeout=WAIT):
        self.assertTrue(eventually(lambda: self.state() == state, timeout),
                        "the service did not reach state %d (last %r)" % (state, self.state()))

    def publish(self, package, version, entries):
        archive = harness.zip_archive(entries)
        site.publish(package, version, archive)
        return archive


class Registration(WindowsServiceCase):
    def test_install_registers_a_demand_start_service_and_a_second_install_fails(self):
        # Wine's trace of the calls to the manager, on the install's own stderr.
        code, out, err = self.tree.run("install", env={"WINEDEBUG": "trace+service"})
        self.assertEqual((code, self.assertBanner(out)), (0, b"Service installed\n"))
        # Recovery after a crash. Wine 8.0's manager takes failure actions but
        # keeps none (no FailureActions value to read back), so the call is
        # seen here; the recording double checks what it asks for.
        for level in (2, 4):  # the actions, and that they follow a stop with an exit code
            self.assertRegex(err.decode("latin-1"),
                             r":trace:service:ChangeServiceConfig2A [0-9a-fA-F]+ %d [0-9a-fA-F]+\n" % level)
        self.assertEqual(self.state(), STOPPED)
        values = service_values()
        self.assertEqual(values.get("Start"), ("REG_DWORD", "0x3"), "demand start")
        self.assertEqual(values.get("Type"), ("REG_DWORD", "0x10"), "own process")
        self.assertEqual(values.get("ImagePath"),
                         ("REG_SZ", '"%s"' % windows_path(self.tree.exe)),
                         "the executable's own path, quoted for its blank")
        self.assertEqual(values.get("DisplayName"), ("REG_SZ", SERVICE))
        self.assertEqual(values.get("ObjectName"), ("REG_SZ", "LocalSystem"))
        self.assertEqual(service_values(SOURCE_KEY), {"TypesSupported": ("REG_DWORD", "0x7"),
                         "EventMessageFile": ("REG_EXPAND_SZ", windows_path(self.tree.exe))})
        self.assertFalse(self.tree.exists(self.BIN + "/update.log"), "a success is not logged")

        # Wine's manager rewrites the service's key when it creates the
        # service and drops a Description written before; the second install
        # writes it again on the existing key, so it is checked here.
        self.assertEqual(self.command("install"), (1, b"Error installing service\n"))
        self.assertEqual(service_values().get("Description"), ("REG_SZ", DESCRIPTION))
        # Logged in the directory the command ran in, followed by an empty line.
        log = self.tree.read(self.BIN + "/update.log")
        self.assertRegex(log, rb"^[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] "
                              rb"[0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}: "
                              rb"Error installing service\r\n\r\n$")
        self.assertEqual(self.state(), STOPPED, "the failed install left the service alone")

    def test_auto_and_manual_switch_the_start_type_and_adopt_the_running_copy(self):
        self.install()
        self.assertEqual(self.command("auto"), (0, b"Changing settings ... done\n"))
        self.assertEqual(service_values().get("Start"), ("REG_DWORD", "0x2"))

        # A copy elsewhere, without a blank: the service now runs that copy.
        other = self.tree.path("other")
        os.makedirs(other)
        copy = os.path.join(other, harness.PROGRAM_NAME)
        shutil.copy2(self.tree.exe, copy)
        self.assertEqual(self.command("manual", program=copy, cwd=other),
                         (0, b"Changing settings ... done\n"))
        values = service_values()
        self.assertEqual(values.get("Start"), ("REG_DWORD", "0x3"))
        self.assertEqual(values.get("ImagePath"), ("REG_SZ", windows_path(copy)))
        self.assertEqual(values.get("DisplayName"), ("REG_SZ", SERVICE))
        self.assertFalse(self.tree.exists(self.BIN + "/update.log"))

    def test_an_unknown_word_with_the_service_installed_prints_the_usage_text(self):
        self.install()
        usage = (harness.USAGE % harness.name_as_typed(self.tree.exe, self.tree.bin)).encode()
        for word in ("Install", "install ", "restart"):
            with self.subTest(word=word):
                self.assertEqual(self.command(word), (EXIT_MINUS_1, usage))
        self.assertEqual(self.state(), STOPPED)
        self.assertFalse(self.tree.exists(self.BIN + "/update.log"))

    def test_without_one_option_word_a_console_run_prints_the_usage_text(self):
        # The dispatcher fails outside the manager; the extra argument is
        # never looked at, so nothing is installed.
        for args in ((), ("install", "now")):
            with self.subTest(args=args):
                usage = harness.USAGE % harness.name_as_typed(self.tree.exe, self.tree.bin)
                self.assertEqual(self.command(*args), (EXIT_MINUS_1, usage.encode()))
        self.assertIsNone(service_status(), "nothing is installed")
        self.assertFalse(self.tree.exists(self.BIN + "/update.log"))

    def test_after_uninstall_every_service_word_reports_the_service_missing(self):
        self.install()
        self.assertEqual(self.command("uninstall"), (0, b"Removing update service ... done\n"))
        self.assertTrue(eventually(lambda: service_status() is None), "the service is still there")
        self.assertEqual(wine("reg", "query", SOURCE_KEY)[0], 1, "the event source is still there")
        for word in ("start", "stop", "auto", "manual", "uninstall", "Install"):
            with self.subTest(word=word):
                self.assertEqual(self.command(word), (EXIT_MINUS_2, NOT_INSTALLED))
        self.assertFalse(self.tree.exists(self.BIN + "/update.log"), "nothing is logged")


class Lifecycle(WindowsServiceCase):
    def test_the_started_service_installs_a_package_and_stops_when_idle(self):
        self.publish("alpha.zip", "2.0", [("Docs/readme.txt", b"first line\r\nsecond line\r\n")])
        self.tree.write_list("alpha")
        self.install()
        self.assertEqual(self.command("start"), (0, b"Starting service ... done\n"))
        self.wait_state(RUNNING)
        record = "Updater/alpha.zip.version"
        # The record is written last, after "Installed." and the notification.
        self.assertTrue(eventually(lambda: self.tree.exists(record) and
                                   self.tree.read(record) == b"2.0"),
                        "no pass installed the package")
        self.assertIn("Installed.", self.tree.log_messages())
        self.assertEqual(self.tree.read("Docs/readme.txt"), b"first line\r\nsecond line\r\n")
        self.assertFalse(self.tree.exists("alpha.zip"), "the package file is removed")
        messages = self.tree.log_messages()
        self.assertEqual(messages[0], "alpha")
        self.assertEqual(self.state(), RUNNING)

        # Wait for a moment between passes: the last pass has ended once the
        # log stops growing and its last line ends the pass.
        self.assertTrue(eventually(lambda: self.tree.log_messages()[-1]
                                   in ("Installed.", "System is up to date.")))
        self.assertEqual(self.command("stop"), (0, b"Stopping service ... done\n"))
        self.wait_state(STOPPED, timeout=10)
        status = service_status()
        self.assertEqual((status["checkpoint"], status["wait_hint"]), (0, 0))

    def test_check_asks_the_running_service_for_a_pass_at_once(self):
        harness.Policy(self, self.tree).set({"CheckPeriodMinutes": 0})  # no pass but a check's
        self.publish("alpha.zip", "2.0", [("data.txt", b"new")])
        self.tree.write_list("alpha")
        self.install()
        self.assertEqual(self.command("start"), (0, b"Starting service ... done\n"))
        self.wait_state(RUNNING)
        self.assertEqual(self.command("check"), (0, b"Asking the service for an update pass ... done\n"))
        self.assertTrue(eventually(lambda: self.tree.exists("data.txt"), timeout=5), "no pass at once")

    def test_a_pass_that_installed_a_new_updater_stops_the_service_to_be_restarted(self):
        name = self.BIN + "/" + harness.PROGRAM_NAME
        new = self.tree.read(name) + b"\0another build"
        self.publish("updater.zip", "2.0", [(name, new)])
        self.tree.write_list("updater")
        self.install()
        self.assertEqual(self.command("start"), (0, b"Starting service ... done\n"))
        self.wait_state(STOPPED)
        # A service-specific exit code: the manager's failure actions restart it.
        self.assertEqual(service_status()["exit"], ("1066", "42"))
        self.assertEqual((self.tree.read(name), self.tree.log_messages()[-1]), (new, "Installed."))

    def test_a_stop_while_a_download_is_held_waits_for_the_version_record(self):
        payload = os.urandom(6000)
        archive = self.publish("alpha.zip", "2.0", [("data.bin", payload)])
        # About four seconds of download, never quiet for as long as the
        # stream waits.
        site.rules({"alpha.zip": {"trickle": [max(1, len(archive) // 40), 0.1]}})
        self.tree.write_list("alpha")
        self.install()
        self.assertEqual(self.command("start"), (0, b"Starting service ... done\n"))
        self.wait_state(RUNNING)
        archive_request = site.request("alpha.zip")
        self.assertTrue(eventually(lambda: archive_request in site.requests(), step=0.02),
                        "the pass did not start its download")

        # The stop command returns once the manager has its answer; the
        # state is watched meanwhile.
        stop = subprocess.Popen(self.tree.command(["stop"]), cwd=self.tree.bin,
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)
        self.addCleanup(lambda: stop.poll() is None and stop.kill())
        self.assertTrue(eventually(lambda: self.state() != RUNNING, step=0.02))
        pending = service_status()
        record_while_pending = self.tree.exists("Updater/alpha.zip.version")
        self.assertEqual(pending["state"], STOP_PENDING)
        self.assertEqual((pending["checkpoint"] >= 1, pending["wait_hint"]), (True, 3000))  # rising
        self.assertFalse(record_while_pending, "the pass was already done: nothing was held")

        self.wait_state(STOPPED)
        out, _ = stop.communicate(timeout=WAIT)
        self.assertEqual(stop.returncode, 0)
        self.assertEqual(self.assertBanner(out), b"Stopping service ... done\n")
        # The pass was finished, not cut short.
        self.assertEqual(self.tree.read("Updater/alpha.zip.version"), b"2.0")
        self.assertEqual(self.tree.read("data.bin"), payload)
        self.assertFalse(self.tree.exists("alpha.zip"))

    def test_a_stop_during_retries_ends_them_and_the_next_start_finishes(self):
        # A directory stands where data.txt goes: every attempt fails until
        # the stop, which leaves the installation for the next start.
        self.publish("alpha.zip", "2.0", [("data.txt", b"new content")])
        self.tree.write_list("alpha")
        blocker = self.tree.path("data.txt")
        os.makedirs(blocker)
        self.install()
        self.assertEqual(self.command("start"), (0, b"Starting service ... done\n"))
        self.wait_state(RUNNING)
        retried = ("ERRORS were encountered while installing offline package. Please note "
                   "that the update may not be complete")
        self.assertTrue(eventually(lambda: retried in self.tree.log_messages(), step=0.02),
                        "the pass did not reach its retries")
        stop = subprocess.Popen(self.tree.command(["stop"]), cwd=self.tree.bin,
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)
        self.addCleanup(lambda: stop.poll() is None and stop.kill())
        # Counted once the service has the stop: starting the stop command
        # under Wine may take longer than a retry delay.
        self.assertTrue(eventually(lambda: self.state() != RUNNING, step=0.02))
        attempts = self.tree.log_messages().count(retried)
        self.wait_state(STOPPED, timeout=10)
        out, _ = stop.communicate(timeout=WAIT)
        self.assertEqual((stop.returncode, self.assertBanner(out)),
                         (0, b"Stopping service ... done\n"))
        self.assertLessEqual(self.tree.log_messages().count(retried), attempts + 1,
                             "no attempt begun after the stop")
        self.assertTrue(self.tree.exists("alpha.zip"), "the package file stays for the next start")
        self.assertEqual(self.tree.read("Updater/alpha.zip.version"), b"2.0")

        os.rmdir(blocker)
        settle()
        self.assertEqual(self.command("start"), (0, b"Starting service ... done\n"))
        self.wait_state(RUNNING)
        self.assertTrue(eventually(lambda: not self.tree.exists("alpha.zip")),
                        "the next start did not finish the installation")
        self.assertEqual(self.tree.read("data.txt"), b"new content")


if __name__ == "__main__":
    unittest.main()
