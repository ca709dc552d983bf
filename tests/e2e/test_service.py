"""The service under a supervisor: the status reports it makes, the controls
it answers, the orderly stop that waits for a running pass, and the schedule
of its passes. A stand-in supervisor binds a datagram socket, names it in
NOTIFY_SOCKET, starts the program with no argument, reads the status
datagrams and sends the control signals."""

import calendar
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

import harness
from harness import EXIT_MINUS_1, TreeTestCase, text

TICK = harness.TICK_MS / 1000.0
INITIAL_DELAY = harness.INITIAL_DELAY_TICKS * TICK
INTERVAL = harness.PASS_INTERVAL_TICKS * TICK
RETRY = harness.RETRY_DELAY_MS / 1000.0
WAIT = 20.0  # upper bound of every wait for the program; never reached when it works

REMOTE = "~tarn/latest"

# (state, check point, wait hint, controls accepted, exit code)
START_PENDING_1 = (2, 1, 3000, 0, 0)
START_PENDING_2 = (2, 2, 1000, 0, 0)
RUNNING = (4, 0, 0, 0x105, 0)
STOP_PENDING = (3, 1, 3000, 0x105, 0)
STOPPED = (1, 0, 0, 0x105, 0)
# The exit status of a service that installed a new updater (README).
RESTART = 42


class Status:
    def __init__(self, data, when):
        self.when = when
        self.fields = {}
        for line in data.decode("ascii").split("\n"):
            if "=" in line:
                key, value = line.split("=", 1)
                self.fields[key] = value
        self.record = tuple(int(self.fields[key]) for key in
                            ("X_STATE", "X_CHECKPOINT", "X_WAIT_HINT", "X_CONTROLS", "X_EXIT"))


class Supervisor:
    """Starts the program as a supervised service and speaks to it."""

    def __init__(self, tree, env=None, abstract=False):
        self.dir = tempfile.mkdtemp(prefix="orvane-notify-")
        self.socket = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        if abstract:
            self.name = "@orvane-test-%d-%d" % (os.getpid(), id(self))
            self.socket.bind("\0" + self.name[1:])
        else:
            self.name = os.path.join(self.dir, "notify")
            self.socket.bind(self.name)
        full_env = dict(os.environ)
        for key in ("http_proxy", "HTTP_PROXY", "no_proxy", "NO_PROXY"):
            full_env.pop(key, None)
        full_env.update(env or {})
        full_env["NOTIFY_SOCKET"] = self.name
        self.out = open(os.path.join(self.dir, "stdout"), "w+b")
        self.err = open(os.path.join(self.dir, "stderr"), "w+b")
        self.process = subprocess.Popen(tree.command([]), cwd=tree.bin, env=full_env,
                                        stdin=subprocess.DEVNULL, stdout=self.out,
                                        stderr=self.err)

    def next_status(self, timeout=WAIT):
        """The next status report, or None when none comes within the timeout."""
        self.socket.settimeout(timeout)
        try:
            data = self.socket.recv(65536)
        except socket.timeout:
            return None
        return Status(data, time.monotonic())

    def records(self, count):
        return [self.next_status() for _ in range(count)]

    def wait_running(self, test):
        reports = self.records(3)
        test.assertNotIn(None, reports, "the start-up reports did not come")
        test.assertEqual([r.record for r in reports], [START_PENDING_1, START_PENDING_2, RUNNING])
        return reports[-1]

    def send(self, number):
        self.process.send_signal(number)

    def wait_exit(self, timeout=WAIT):
        code = self.process.wait(timeout)
        self.out.seek(0)
        self.err.seek(0)
        return code, self.out.read(), self.err.read()

    def close(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        self.err.seek(0)
        said = self.err.read()
        if b"Sanitizer" in said:  # the report behind an exit status of its own
            sys.stderr.write(said.decode("utf-8", "replace"))
        self.socket.close()
        self.out.close()
        self.err.close()
        shutil.rmtree(self.dir, ignore_errors=True)


def eventually(predicate, timeout=WAIT, step=0.01):
    return harness.eventually(predicate, timeout, step)


@unittest.skipIf(harness.WINDOWS, "the Windows build is tested under Wine's own service manager")
class ServiceCase(TreeTestCase):
    def setUp(self):
        super().setUp()
        self.site = harness.Site(REMOTE)
        self.addCleanup(self.site.close)

    def supervise(self, **options):
        supervisor = Supervisor(self.tree, env={"http_proxy": self.site.proxy}, **options)
        self.addCleanup(supervisor.close)
        return supervisor

    def stop_reports(self, supervisor):
        """Stop pending, and the report after its next check points while a pass ends."""
        first = pending = supervisor.next_status()
        self.assertEqual(pending and pending.record, STOP_PENDING, "no stop-pending report")
        status = supervisor.next_status()
        while status and status.record == (3, pending.record[1] + 1) + STOP_PENDING[2:]:
            pending, status = status, supervisor.next_status()
        return first, status

    def stop_in_order(self, supervisor, number=signal.SIGTERM):
        """Sends the stop signal; returns the stop-pending and stopped reports."""
        supervisor.send(number)
        pending, stopped = self.stop_reports(supervisor)
        self.assertEqual(pending.fields.get("STOPPING"), "1")
        self.assertIsNotNone(stopped, "no stopped report")
        self.assertEqual(stopped.record, STOPPED)
        code, _, err = supervisor.wait_exit()
        self.assertEqual(code, 0, err)
        # Nothing is reported after the stop.
        self.assertIsNone(supervisor.next_status(timeout=0.05))
        return pending, stopped


class StartAndStop(ServiceCase):
    def test_start_up_reports_two_pending_steps_then_running(self):
        supervisor = self.supervise()
        first, second, running = supervisor.records(3)
        self.assertEqual(first.record, START_PENDING_1)
        self.assertEqual(first.fields.get("EXTEND_TIMEOUT_USEC"), "3000000")
        self.assertNotIn("READY", first.fields)
        self.assertEqual(second.record, START_PENDING_2)
        self.assertEqual(second.fields.get("EXTEND_TIMEOUT_USEC"), "1000000")
        self.assertEqual(running.record, RUNNING)
        self.assertEqual(running.fields.get("READY"), "1")
        self.assertNotIn("EXTEND_TIMEOUT_USEC", running.fields)
        self.stop_in_order(supervisor)

    def test_stop_during_the_initial_delay_stops_at_once_without_a_pass(self):
        self.tree.write_list("alpha")
        self.site.serve("alpha.zip.version", "1.0")
        supervisor = self.supervise()
        running = supervisor.wait_running(self)
        pending, stopped = self.stop_in_order(supervisor)
        self.assertLess(pending.when - running.when, INITIAL_DELAY, "stopped too late for the test")
        # The lock is free: no pass to wait for.
        self.assertLess(stopped.when - pending.when, INITIAL_DELAY / 2)
        # Whatever the worker would still have done died with the process.
        time.sleep(INITIAL_DELAY)
        self.assertEqual(self.site.requests(), [])
        self.assertNotIn("alpha", self.tree.log_messages())
        _, out, _ = supervisor.wait_exit()
        self.assertNotIn(b"Updating", out)

    def test_shutdown_is_handled_like_stop(self):
        supervisor = self.supervise()
        supervisor.wait_running(self)
        self.stop_in_order(supervisor, signal.SIGINT)

    def test_interrogate_reports_running_again(self):
        supervisor = self.supervise()
        supervisor.wait_running(self)
        for _ in range(2):
            supervisor.send(signal.SIGUSR1)
            again = supervisor.next_status()
            self.assertIsNotNone(again)
            self.assertEqual(again.record, RUNNING)
        self.stop_in_order(supervisor)

    def test_stop_sent_during_start_up_is_answered_once_running(self):
        # A supervisor may stop the service before it reports running; the
        # stop is kept and answered in order, not lost.
        supervisor = self.supervise()
        first = supervisor.next_status()
        self.assertEqual(first.record, START_PENDING_1)
        supervisor.send(signal.SIGTERM)
        self.assertEqual(supervisor.next_status().record, START_PENDING_2)
        self.assertEqual(supervisor.next_status().record, RUNNING)
        self.assertEqual(supervisor.next_status().record, STOP_PENDING)
        self.assertEqual(supervisor.next_status().record, STOPPED)
        self.assertEqual(supervisor.wait_exit()[0], 0)

    def test_an_abstract_socket_name_is_a_supervisor_too(self):
        supervisor = self.supervise(abstract=True)
        supervisor.wait_running(self)
        self.stop_in_order(supervisor)


@unittest.skipIf(harness.WINDOWS, "the Windows build is tested under Wine's own service manager")
class NoSupervisor(TreeTestCase):
    def run_with_socket(self, name):
        code, out, _ = self.tree.run(env={"NOTIFY_SOCKET": name}, timeout=WAIT)
        self.assertEqual(code, EXIT_MINUS_1)
        self.assertEqual(self.assertBanner(out), (harness.USAGE % self.tree.exe).encode())

    def test_without_a_datagram_socket_the_usage_text_is_printed(self):
        directory = tempfile.mkdtemp(prefix="orvane-notify-")
        self.addCleanup(shutil.rmtree, directory, True)
        self.run_with_socket(os.path.join(directory, "missing"))
        self.run_with_socket("")
        self.run_with_socket("relative/notify")
        # A stream socket is no supervisor's notification socket.
        stream = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.addCleanup(stream.close)
        stream.bind(os.path.join(directory, "stream"))
        stream.listen(1)
        self.run_with_socket(os.path.join(directory, "stream"))


class HeldPass(ServiceCase):
    """A stop that arrives while a pass runs waits until the pass is done."""

    def test_stop_during_retries_ends_them_after_the_current_attempt(self):
        # The entry data.txt cannot be written while a directory has its name:
        # the installation is retried until a stop, which leaves it for the
        # next start instead of waiting for it.
        self.site.publish("alpha.zip", "2.0", harness.zip_archive([("data.txt", b"new content")]))
        self.tree.write_list("alpha")
        blocker = self.tree.path("data.txt")
        os.makedirs(blocker)
        supervisor = self.supervise()
        supervisor.wait_running(self)
        record = "Updater/alpha.zip.version"
        retried = "ERRORS were encountered while installing offline package. Please note " \
                  "that the update may not be complete"
        self.assertTrue(eventually(lambda: retried in self.tree.log_messages()),
                        "the pass did not reach its retries")
        supervisor.send(signal.SIGTERM)
        asked = time.monotonic()
        attempts = self.tree.log_messages().count(retried)
        stopped = self.stop_reports(supervisor)[1]
        self.assertIsNotNone(stopped, "no stopped report while the installation is retried")
        self.assertEqual(stopped.record, STOPPED)
        self.assertLess(stopped.when - asked, RETRY + 2.0)
        self.assertEqual(supervisor.wait_exit()[0], 0)
        self.assertLessEqual(self.tree.log_messages().count(retried), attempts + 1,
                             "no attempt begun after the stop")
        self.assertTrue(self.tree.exists("alpha.zip"))
        self.assertEqual(self.tree.read(record), b"2.0")

        # The next start finishes it.
        os.rmdir(blocker)
        supervisor = self.supervise()
        supervisor.wait_running(self)
        self.assertTrue(eventually(lambda: not self.tree.exists("alpha.zip")))
        self.stop_in_order(supervisor)
        self.assertEqual(self.tree.read("data.txt"), b"new content")
        self.assertIn("A failed instalation was resumed successfuly.", self.tree.log_messages())

    def test_one_pass_at_a_time_on_the_machine_and_a_stop_waits_for_none_of_another(self):
        archive = harness.zip_archive([("data.bin", os.urandom(6000))])
        self.site.publish("alpha.zip", "2.0", archive)
        self.site.rules({"alpha.zip": {"trickle": [max(1, len(archive) // 30), 0.1]}})  # 3 s
        self.tree.write_list("alpha")
        first = subprocess.Popen(self.tree.command(["noservice"]), cwd=self.tree.bin, stdout=subprocess.DEVNULL,
                                 env=dict(os.environ, http_proxy=self.site.proxy))
        self.assertTrue(eventually(lambda: self.site.request("alpha.zip") in self.site.requests()))
        self.tree.write("Updater/set.aside.lst", "old.orvane-old\n")  # gone at a pass's start
        self.tree.write("old.orvane-old", "set aside")
        log, requests = self.tree.read("update.log"), self.site.requests()
        code, out, _ = self.tree.run("noservice", env={"http_proxy": self.site.proxy})
        self.assertEqual((code, self.assertBanner(out)), (75, b"Another update pass is running.\n"))
        supervisor = self.supervise()  # its pass waits for the other one, its stop does not
        supervisor.wait_running(self)
        time.sleep(INITIAL_DELAY + 0.2)
        self.stop_in_order(supervisor)
        self.assertEqual((self.tree.read("update.log"), self.site.requests(), first.poll(),
                          self.tree.exists("old.orvane-old")), (log, requests, None, True))
        self.assertEqual(first.wait(WAIT), 0)

    def test_stop_during_a_slow_download_waits_for_the_version_record(self):
        payload = os.urandom(3000)
        archive = harness.zip_archive([("data.bin", payload)])
        self.site.publish("alpha.zip", "2.0", archive)
        size = len(archive)
        # About a second and a half of download, never quiet for long, and
        # faster than the slowest rate allowed (1024 bytes a second): a slower
        # trickle is ended as a stall, and what arrived fails its digest.
        self.site.rules({"alpha.zip": {"trickle": [max(1, size // 15), 0.1]}})
        self.tree.write_list("alpha")
        supervisor = self.supervise()
        supervisor.wait_running(self)
        archive_request = self.site.request("alpha.zip")
        self.assertTrue(eventually(lambda: archive_request in self.site.requests()),
                        "the pass did not start its download")
        with open(supervisor.out.name, "rb") as f:  # the collector has the pass so far
            self.assertIn(b"\n<6>Updating alpha ...\n", f.read())
        supervisor.send(signal.SIGTERM)
        stopped = self.stop_reports(supervisor)[1]
        self.assertIsNotNone(stopped)
        # Read at the moment the stop was reported: the pass is complete.
        record = self.tree.read("Updater/alpha.zip.version")
        installed = self.tree.read("data.bin")
        self.assertEqual(stopped.record, STOPPED)
        self.assertEqual(record, b"2.0")
        self.assertEqual(installed, payload)
        code, out, _ = supervisor.wait_exit()
        self.assertEqual(code, 0)
        # Whole lines, no progress line, no empty line between messages.
        self.assertTrue(out.endswith(b"\n<6>Installed.\n"), out)
        for fragment in (b"\r", b"Read: ", b"\n\n"):
            self.assertNotIn(fragment, out)


class Schedule(ServiceCase):
    def test_passes_follow_the_initial_delay_and_the_interval_after_each_pass(self):
        # Each pass is one slow fetch of an up-to-date version, about 0.6 s.
        version = "1.0.0.0"
        self.site.serve("alpha.zip.version", version)
        self.tree.write("Updater/alpha.zip.version", version)
        self.tree.write_list("alpha")
        self.site.rules({"alpha.zip.version": {"trickle": [1, 0.1]}})
        supervisor = self.supervise()
        running = supervisor.wait_running(self)

        # When each log line appeared: a pass logs the package name first and
        # "System is up to date." last.
        seen = []
        def lines(count):
            messages = self.tree.log_messages()
            while len(seen) < len(messages):
                seen.append((messages[len(seen)], time.monotonic()))
            return len(seen) >= count
        self.assertTrue(eventually(lambda: lines(3), timeout=INITIAL_DELAY + 2 * INTERVAL + WAIT,
                                   step=0.005))
        self.stop_in_order(supervisor)
        self.assertEqual([message for message, _ in seen[:3]],
                         ["alpha", "System is up to date.", "alpha"])
        # The state file names the pass that the worker scheduled after the first.
        next_pass = json.loads(self.tree.read("Updater/status.json"))["next_pass"]
        self.assertLess(abs(calendar.timegm(time.strptime(next_pass, "%Y-%m-%dT%H:%M:%SZ")) - time.time()), 3)
        (_, first_start), (_, first_end), (_, second_start) = seen[:3]

        first = first_start - running.when
        self.assertGreaterEqual(first, INITIAL_DELAY * 0.95)
        self.assertLess(first, INITIAL_DELAY + 1.0)
        # The interval is slept after the pass: its length is not counted.
        self.assertGreater(first_end - first_start, 0.4, "the pass was not held by the server")
        gap = second_start - first_end
        self.assertGreaterEqual(gap, INTERVAL * 0.95)
        self.assertLess(gap, INTERVAL + 1.0)

    def test_a_check_starts_a_pass_at_once_and_two_during_it_give_one_pass_after_it(self):
        now = time.localtime()  # every scheduled pass held, alpha left to manual passes
        harness.Policy(self, self.tree).set({"UpdatesSuppressedStartHour": now.tm_hour, "Update.alpha": 2,
                                             "UpdatesSuppressedStartMin": now.tm_min, "UpdatesSuppressedDurationMin": 960})
        self.site.publish("alpha.zip", "2.0", harness.zip_archive([("data.txt", b"new")]))
        self.site.rules({"alpha.zip.version": {"trickle": [1, 0.1]}})  # a pass of a second or so
        self.tree.write_list("alpha")
        (supervisor := self.supervise()).wait_running(self)
        time.sleep(INITIAL_DELAY + INTERVAL)
        supervisor.send(signal.SIGHUP)  # systemctl reload, as the unit's ExecReload has it
        self.assertTrue(eventually(lambda: "alpha" in self.tree.log_messages(), timeout=0.5), "no pass at once")
        for _ in range(2): supervisor.send(signal.SIGHUP)  # during the pass
        self.assertTrue(eventually(lambda: "System is up to date." in self.tree.log_messages()))
        time.sleep(INTERVAL)
        self.assertEqual((self.tree.log_messages().count("alpha"), self.tree.read("data.txt")), (2, b"new"))
        self.stop_in_order(supervisor)
        code, out, _ = self.tree.run("check")  # systemctl reload finds no running unit here
        self.assertEqual((code, self.assertBanner(out)[-35:]), (1, b"The update service is not running.\n"))

    def test_staged_release_is_held_by_scheduled_passes_and_taken_by_a_check(self):
        if not (harness.SIGNED_EXE and shutil.which("minisign")):
            self.skipTest("needs ORVANE_SIGNED_EXE and minisign")
        self.tree, path = harness.Tree(exe=harness.SIGNED_EXE), "Updater/status.json"
        self.addCleanup(self.tree.remove)
        harness.Policy(self, self.tree).set({"RolloutBucket": 50})
        signed, archive = int(time.time()) - 3600, harness.zip_archive([("data.txt", b"new")])
        self.site.publish("alpha.zip", "2.0", archive)  # 10 points every 2 hours: above 50 after five periods
        self.site.serve("alpha.zip.minisig", harness.minisign(archive, comment="timestamp:%d\tfile:alpha.zip"
                                                              "\trollout:10\twiden:10/2" % signed))
        self.tree.write_list("alpha") or (supervisor := self.supervise()).wait_running(self)
        until = time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(signed + 5 * 7200))
        self.assertTrue(eventually(lambda: self.tree.exists(path) and until.encode() in self.tree.read(path)))
        held = "alpha 2.0 %s: 10%% of machines so far, this machine at 50."
        self.assertIn(held % "held by staged rollout", self.tree.log_messages())
        self.assertIn("alpha: installed none, available 2.0, held until " + until, text(self.tree.run("status")[1]).decode())
        self.assertNotIn(self.site.request("alpha.zip"), self.site.requests())
        supervisor.send(signal.SIGHUP)  # check: a manual pass, which takes it ahead of the rollout
        self.assertTrue(eventually(lambda: self.tree.exists("data.txt")))
        self.assertIn(held % "taken by a manual pass ahead of its staged rollout", self.tree.log_messages())

    def publish_new_updater(self):
        name = "bin/" + harness.PROGRAM_NAME
        new = self.tree.read(name) + b"\0another build"
        archive = harness.zip_archive([(name, new)])
        self.site.publish("alpha.zip", "2.0", archive)
        self.tree.write_list("alpha")
        return name, new, archive

    def test_pass_that_installed_a_new_updater_ends_the_service_to_be_started_again(self):
        name, new, _ = self.publish_new_updater()
        supervisor = self.supervise()
        supervisor.wait_running(self)
        stopped = supervisor.next_status(timeout=INITIAL_DELAY + WAIT)
        self.assertEqual(stopped.record, STOPPED[:4] + (1066,))  # a service-specific exit code
        self.assertEqual((supervisor.wait_exit()[0], self.tree.read(name)), (RESTART, new))
        # The unit starts it again for that status, and does not log it as a failure.
        with open(os.path.join(os.environ["ORVANE_BUILD_DIR"], "packaging", "orvane-autoupdate.service")) as f:
            unit = f.read()
        for setting in ("RestartForceExitStatus", "SuccessExitStatus"):
            self.assertIn("\n%s=%d\n" % (setting, RESTART), unit)

    def test_stop_during_the_pass_that_installs_a_new_updater_ends_the_service_as_always(self):
        name, new, archive = self.publish_new_updater()
        self.site.rules({"alpha.zip": {"trickle": [max(1, len(archive) // 15), 0.1]}})
        supervisor = self.supervise()
        supervisor.wait_running(self)
        self.assertTrue(eventually(lambda: self.site.request("alpha.zip") in self.site.requests()))
        self.stop_in_order(supervisor)  # stopped without an exit code, exit status 0
        self.assertEqual(self.tree.read(name), new)

    def test_new_updater_is_tried_even_when_the_running_one_was_copied_over_since_it_started(self):
        name, program = "bin/" + harness.PROGRAM_NAME, self.tree.read("bin/" + harness.PROGRAM_NAME)
        archive = harness.zip_archive([(name, program[:4096])])  # cut short
        self.site.publish("alpha.zip", "2.0", archive)
        self.tree.write_list("alpha")
        supervisor = self.supervise()
        supervisor.wait_running(self)  # the pass follows after the initial delay
        shutil.copy2(self.tree.exe, self.tree.exe + ".copy")  # as an administrator might
        os.replace(self.tree.exe + ".copy", self.tree.exe)
        def tried():
            with open(supervisor.out.name, "rb") as f:
                return b"-> The new updater did not start\n" in f.read()
        self.assertTrue(eventually(tried))
        self.stop_in_order(supervisor)
        self.assertEqual(self.tree.read(name), program)


if __name__ == "__main__":
    unittest.main()
