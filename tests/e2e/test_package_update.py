"""One package brought to the server's version by a `noservice` pass: the
messages in order (console and update.log), the files left in the install
tree, and the resources asked of the update server, for every situation a
package can be in."""

import hashlib
import importlib.machinery
import importlib.util
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

import harness
from harness import TreeTestCase, text

REMOTE = "/~tarn/latest/"
RETRY = harness.RETRY_DELAY_MS / 1000.0
WAIT = 60.0  # upper bound of every wait for the program; never reached when it works

# The procedure's own texts.
UP_TO_DATE = "System is up to date."
RESUMED = "A failed instalation was resumed successfuly."
NOT_RESUMED = "A failed instalation was NOT resumed successfuly. Refetching packages."
CORRUPTED = "Corrupted update received"
VALIDATED = "File received and validated."
INSTALLING = "Installing update ..."
INSTALLED = "Installed."
ERRORS = ("ERRORS were encountered while installing. Please note that the update may not "
          "be complete")
ERRORS_OFFLINE = ("ERRORS were encountered while installing offline package. Please note that "
                  "the update may not be complete")
CHECKSUM = "Invalid file received (checksum error)"
NO_VERSION = "No version number received. Aborting update."
NO_VERSION_INFO = "Error getting version information."
DOWNLOAD_FAILED = "Error downloading file."

# A proxy that libcurl refuses at once: every transfer fails as it is opened.
UNREACHABLE_PROXY = "bogus://127.0.0.1:9"


PACKAGE = harness.zip_archive({"app/": b"", "app/readme.txt": b"version two\n",
                   "app/lib/core.dat": bytes(range(256)) * 64})


def req(resource):
    return "GET " + REMOTE + resource


def full_update(notification):
    """The requests of an update that downloads the package, then notifies."""
    return [req("alpha.zip.version"), req("alpha.zip"), req("alpha.zip.md5"),
            req("alpha.zip.version"), req(notification)]


def console_lines(out):
    """The console after the banner, line by line, with progress lines left out."""
    lines = []
    for line in text(out).split(b"\n")[3:]:
        line = line.split(b"\r")[-1].decode("latin-1")
        if line and not line.startswith("Read: "):
            lines.append(line)
    return lines


class PackageUpdate(TreeTestCase):
    def setUp(self):
        super().setUp()
        self.site = harness.Site(REMOTE)
        self.addCleanup(self.site.close)
        self.site.serve("notify_installed.osp", b"OK")
        self.site.serve("notify_error.osp", b"OK")
        self.tree.write_list("alpha")

    # The server side: the one package, alpha.
    def publish(self, version, data=PACKAGE, digest=None):
        self.site.publish("alpha.zip", version, data, digest)

    # The install tree.
    def record(self):
        return self.tree.read("Updater/alpha.zip.version")

    def write_record(self, version):
        self.tree.write("Updater/alpha.zip.version", version)

    def env(self, proxy=None):
        return {"http_proxy": proxy or self.site.proxy,
                "no_proxy": "", "NO_PROXY": ""}

    def update(self, proxy=None):
        """One pass; returns the console lines, and checks the log says the same."""
        before = len(self.tree.log_messages())
        code, out, _ = self.tree.run("noservice", env=self.env(proxy))
        self.assertEqual(code, 0)
        self.assertBanner(out)
        logged = self.tree.log_messages()[before:]
        self.assertEqual(logged[0], "alpha")
        self.last_log = logged[1:]
        return console_lines(out)

    def assertInstalled(self):
        self.assertEqual(self.tree.read("app/readme.txt"), b"version two\n")
        self.assertEqual(self.tree.read("app/lib/core.dat"), bytes(range(256)) * 64)

    def assertMessages(self, console, messages, console_only=()):
        """The report messages in this order, on the console and in update.log;
        console_only lists the lines that only the console shows, in place."""
        self.assertEqual(self.last_log, messages)
        self.assertEqual(console, ["Updating alpha ..."] + list(console_only or messages))


class VersionCheck(PackageUpdate):
    def test_equal_versions_without_package_file_ask_for_nothing_more(self):
        self.publish("1.0")
        self.write_record("1.0")
        console = self.update()
        self.assertMessages(console, [UP_TO_DATE])
        self.assertEqual(self.site.take_requests(), [req("alpha.zip.version")])
        self.assertEqual(self.record(), b"1.0")
        self.assertFalse(self.tree.exists("app"))

    def test_version_texts_differing_only_in_case_are_equal(self):
        self.publish("2.0-RC1b")
        self.write_record("2.0-rc1B")
        self.assertMessages(self.update(), [UP_TO_DATE])
        self.assertEqual(self.site.take_requests(), [req("alpha.zip.version")])
        self.assertEqual(self.record(), b"2.0-rc1B")

    def test_version_text_ending_in_a_line_break_is_recorded_with_it_and_matches_later(self):
        self.publish("1.1\n")
        self.assertMessages(self.update(), [VALIDATED, INSTALLING, INSTALLED])
        self.assertEqual(self.record(), b"1.1\n", "stored in binary, no line end translated")
        self.site.take_requests()
        self.assertMessages(self.update(), [UP_TO_DATE])
        self.assertEqual(self.site.take_requests(), [req("alpha.zip.version")])

    def test_empty_record_never_equals_the_server(self):
        self.publish("")
        self.write_record("")
        self.assertMessages(self.update(), [VALIDATED, NO_VERSION])
        self.assertEqual(self.record(), b"")
        self.assertFalse(self.tree.exists("app"), "nothing installed without a version text")


class NewVersion(PackageUpdate):
    def test_clean_installation_records_the_version_and_notifies_once(self):
        self.publish("2.0 build 17")
        self.write_record("1.9")
        self.tree.write("app/readme.txt", "version one\n")
        self.assertMessages(self.update(), [VALIDATED, INSTALLING, INSTALLED])
        self.assertInstalled()
        self.assertFalse(self.tree.exists("alpha.zip"))
        self.assertEqual(self.record(), b"2.0 build 17")
        self.assertEqual(self.site.take_requests(), full_update("notify_installed.osp"))

    def test_later_version_text_is_recorded_when_the_server_changes_it(self):
        self.publish("3.0")
        self.site.rules({"alpha.zip.version": {"sequence": ["3.0", "3.1"]}})
        self.assertMessages(self.update(), [VALIDATED, INSTALLING, INSTALLED])
        self.assertEqual(self.record(), b"3.1")

    def test_entry_errors_are_retried_until_the_installation_is_clean(self):
        self.publish("4.0")
        os.makedirs(self.tree.path("app", "readme.txt"))  # stands where the file goes
        started = time.monotonic()
        process = subprocess.Popen(self.tree.command(["noservice"]), cwd=self.tree.bin,
                                   env=dict(os.environ, **self.env()),
                                   stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE)
        self.addCleanup(lambda: process.poll() is None and process.kill())
        deadline = time.monotonic() + WAIT
        while self.tree.log_messages().count(ERRORS_OFFLINE) < 2:
            self.assertIsNone(process.poll(), "the call must not return before a clean install")
            self.assertLess(time.monotonic(), deadline)
            time.sleep(0.02)
        shutil.rmtree(self.tree.path("app", "readme.txt"))
        out, _ = process.communicate(timeout=WAIT)
        elapsed = time.monotonic() - started

        self.last_log = self.tree.log_messages()[1:]
        failures = self.last_log.count(ERRORS_OFFLINE)
        self.assertGreaterEqual(failures, 2)
        expected = [VALIDATED, INSTALLING, ERRORS] + [ERRORS_OFFLINE] * failures + [INSTALLED]
        self.assertEqual(self.last_log, expected)
        console = console_lines(out)
        self.assertEqual([line for line in console if line.startswith("Error writing ")],
                         ["Error writing app/readme.txt"] * (failures + 1))
        self.assertEqual([line for line in console if not line.startswith("Error writing ")],
                         ["Updating alpha ..."] + expected)
        # The first retry follows at once, each further one after the retry delay.
        self.assertGreaterEqual(elapsed, (failures - 1) * RETRY * 0.9)

        self.assertInstalled()
        self.assertFalse(self.tree.exists("alpha.zip"))
        self.assertEqual(self.record(), b"4.0", "recorded after the first attempt")
        self.assertEqual(self.site.take_requests(), full_update("notify_error.osp"))

    def test_validated_file_that_is_no_archive_is_not_taken_for_installed(self):
        page = b"<html><body>Service temporarily unavailable</body></html>\n"
        self.publish("5.0", data=page)
        self.write_record("4.0")
        self.assertMessages(self.update(), [VALIDATED, INSTALLING, CORRUPTED])
        self.assertFalse(self.tree.exists("alpha.zip"))
        self.assertEqual(self.record(), b"4.0", "the old version is still the installed one")
        self.assertEqual(self.site.take_requests()[-1], req("notify_error.osp"))

    def test_version_text_too_long_for_the_record_is_refused(self):
        self.publish("9" * 4095)
        self.write_record("1.0")
        self.assertMessages(self.update(), [VALIDATED, "Version information too long."])
        self.assertEqual(self.record(), b"1.0")
        self.assertFalse(self.tree.exists("app"))


class DigestCheck(PackageUpdate):
    def test_mismatch_keeps_the_package_file_and_installs_nothing(self):
        self.publish("2.0", digest="0" * 32)
        self.write_record("1.0")
        self.assertMessages(self.update(), [CHECKSUM])
        self.assertEqual(self.tree.read("alpha.zip"), PACKAGE)
        self.assertEqual(self.record(), b"1.0")
        self.assertFalse(self.tree.exists("app"))
        self.assertEqual(self.site.take_requests(), [
            req("alpha.zip.version"), req("alpha.zip"), req("alpha.zip.md5")])

    def test_upper_case_digest_followed_by_a_file_name_matches(self):
        self.publish("2.0", digest=hashlib.md5(PACKAGE).hexdigest().upper() + " *alpha.zip\n")
        self.assertMessages(self.update(), [VALIDATED, INSTALLING, INSTALLED])
        self.assertInstalled()

    def test_digest_shorter_than_32_digits_never_matches(self):
        self.publish("2.0", digest=hashlib.md5(PACKAGE).hexdigest()[:31])
        self.assertMessages(self.update(), [CHECKSUM])
        self.assertFalse(self.tree.exists("app"))

    def test_no_version_text_after_validation_aborts_before_installing(self):
        self.publish("2.0")
        self.site.rules({"alpha.zip.version": {"sequence": ["2.0", ""]}})
        self.write_record("1.0")
        self.assertMessages(self.update(), [VALIDATED, NO_VERSION])
        self.assertEqual(self.tree.read("alpha.zip"), PACKAGE)
        self.assertEqual(self.record(), b"1.0")
        self.assertFalse(self.tree.exists("app"))
        self.assertNotIn(req("notify_installed.osp"), self.site.take_requests())


class UnfinishedInstallation(PackageUpdate):
    def test_package_file_left_behind_is_installed_without_a_download(self):
        self.publish("2.0")
        self.write_record("2.0")
        self.tree.write("alpha.zip", PACKAGE)
        self.assertMessages(self.update(), [INSTALLED, RESUMED, UP_TO_DATE])
        self.assertInstalled()
        self.assertFalse(self.tree.exists("alpha.zip"))
        self.assertEqual(self.record(), b"2.0")
        self.assertEqual(self.site.take_requests(), [req("alpha.zip.version")])

    def test_package_file_that_is_no_archive_is_removed_and_fetched_again(self):
        self.publish("2.0")
        self.write_record("2.0")
        self.tree.write("alpha.zip", "<html>404 Not Found</html>")
        self.assertMessages(self.update(),
                            [CORRUPTED, NOT_RESUMED, VALIDATED, INSTALLING, INSTALLED])
        self.assertInstalled()
        self.assertFalse(self.tree.exists("alpha.zip"))
        self.assertEqual(self.record(), b"2.0")
        self.assertEqual(self.site.take_requests(), full_update("notify_installed.osp"))


class Unreachable(PackageUpdate):
    def test_nothing_reachable_leaves_an_empty_package_file_taken_later_for_corrupt(self):
        self.publish("2.0")
        self.write_record("2.0-old")
        console = self.update(proxy=UNREACHABLE_PROXY)
        self.assertMessages(console, [NO_VERSION_INFO, DOWNLOAD_FAILED], console_only=[
            "couldn't url_fopen()", NO_VERSION_INFO, DOWNLOAD_FAILED, "couldn't url_fopen()"])
        self.assertEqual(self.tree.read("alpha.zip"), b"")
        self.assertEqual(self.record(), b"2.0-old")
        self.assertEqual(self.site.take_requests(), [])

        # Later, with the versions equal, the empty file is no archive.
        self.write_record("2.0")
        self.assertMessages(self.update(),
                            [CORRUPTED, NOT_RESUMED, VALIDATED, INSTALLING, INSTALLED])
        self.assertInstalled()
        self.assertFalse(self.tree.exists("alpha.zip"))
        self.assertEqual(self.record(), b"2.0")


PUBLISH = os.path.join(harness.HERE, "..", "..", "scripts", "publish-package")


class Publishing(PackageUpdate):
    """What scripts/publish-package lays out is what a pass installs."""

    def publish_with_tool(self, version, source):
        """Runs the tool; returns its exit code and what is served then."""
        served = os.path.join(self.site.root, self.site.remote)
        code = subprocess.run([sys.executable, PUBLISH, "alpha", version, source, served],
                              capture_output=True, timeout=60).returncode
        return code, {name: self.site.read(name) for name in os.listdir(served)}

    def source(self, files):
        """A directory of {relative path: bytes}; a path ending in "/" is a directory."""
        top = tempfile.mkdtemp(prefix="orvane-source-")
        self.addCleanup(shutil.rmtree, top, True)
        for name, data in files.items():
            os.makedirs(os.path.dirname(os.path.join(top, name)), exist_ok=True)
            if not name.endswith("/"):
                with open(os.path.join(top, name), "wb") as f:
                    f.write(data)
        return top

    def test_published_tree_installs_byte_exact_with_the_notifications_created(self):
        os.unlink(os.path.join(self.site.root, self.site.remote, "notify_installed.osp"))
        files = {"app/readme.txt": b"two\r\n", "app/lib/core.dat": bytes(range(256)) * 64,
                 "app/empty.txt": b""}
        code, served = self.publish_with_tool("2.0 build 17",
                                              self.source(dict(files, **{"app/logs/": 0})))
        self.assertEqual(code, 0)
        self.assertEqual(sorted(served), ["alpha.zip", "alpha.zip.md5", "alpha.zip.version",
                                          "notify_error.osp", "notify_installed.osp"])
        self.assertEqual(served["alpha.zip.md5"],
                         hashlib.md5(served["alpha.zip"]).hexdigest().encode())
        self.assertEqual(served["alpha.zip.version"], b"2.0 build 17")

        self.assertMessages(self.update(), [VALIDATED, INSTALLING, INSTALLED])
        for name, data in files.items():
            self.assertEqual(self.tree.read(name), data, name)
        self.assertTrue(os.path.isdir(self.tree.path("app", "logs")), "empty directories arrive")
        self.assertEqual(self.record(), b"2.0 build 17")
        self.assertEqual(self.site.take_requests(), full_update("notify_installed.osp"))

    def test_what_the_updater_would_refuse_is_refused_and_the_release_stays(self):
        prepared = os.path.join(self.source({"alpha.zip": PACKAGE}), "alpha.zip")
        code, before = self.publish_with_tool("1.0", prepared)
        self.assertEqual((code, before["alpha.zip"]), (0, PACKAGE), "served unchanged")
        refusals = [("2.0", name) for name in (
            "../evil.txt", "/abs.txt", "\\abs.txt", "C:evil.txt", "app/a.txt:stream",
            "app\\..\\..\\evil.txt", "app/" + "d" * 8188)]
        refusals += [("", None), ("2.0\n", None), ("9" * 4095, None)]
        for version, odd in refusals:
            with self.subTest(version=version[:8], entry=odd and odd[:24]):
                with open(prepared, "wb") as f:
                    f.write(harness.zip_archive([("app/a.txt", b"2")] +
                                                ([(odd, b"x")] if odd else [])))
                self.assertEqual(self.publish_with_tool(version, prepared), (1, before))

    def test_version_is_renamed_into_place_last(self):
        loader = importlib.machinery.SourceFileLoader("publish_package", PUBLISH)
        tool = importlib.util.module_from_spec(importlib.util.spec_from_loader(loader.name, loader))
        loader.exec_module(tool)
        renamed, replace = [], os.replace
        tool.os.replace = lambda old, new: (renamed.append(os.path.basename(new)),
                                            replace(old, new))
        self.addCleanup(setattr, os, "replace", replace)
        os.unlink(os.path.join(self.site.root, self.site.remote, "notify_error.osp"))
        tool.publish("alpha", "2.0", self.source({"a.txt": b"a"}),
                     os.path.join(self.site.root, self.site.remote))
        self.assertEqual(renamed, ["alpha.zip", "alpha.zip.md5", "notify_error.osp",
                                   "alpha.zip.version"])

if __name__ == "__main__":
    unittest.main()
