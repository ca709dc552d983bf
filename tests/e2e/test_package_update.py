"""One package brought to the server's version by a `noservice` pass: the
messages in order, the files afterwards and the resources asked for."""

import hashlib
import io
import json
import os
import tempfile
import unittest
import zipfile

import harness
from harness import TreeTestCase, text
from update_server import UpdateServer

LATEST = "/~tarn/latest/"


def archive(entries):
    data = io.BytesIO()
    with zipfile.ZipFile(data, "w", zipfile.ZIP_DEFLATED) as zf:
        for name, content in entries.items():
            zf.writestr(name, content)
    return data.getvalue()


class PackageUpdate(TreeTestCase):
    def setUp(self):
        super().setUp()
        self.served = tempfile.mkdtemp(prefix="orvane-served-")
        os.makedirs(os.path.join(self.served, LATEST.strip("/")))
        self.server = UpdateServer(self.served)
        self.server.start()
        self.addCleanup(self.server.stop)
        self.publish_file("notify_installed.osp", b"ok")
        self.publish_file("notify_error.osp", b"ok")

    def publish_file(self, name, data):
        with open(os.path.join(self.served, LATEST.strip("/"), name), "wb") as f:
            f.write(data)

    def publish(self, name, zip_bytes, version, digest=None):
        self.publish_file(name + ".zip", zip_bytes)
        self.publish_file(name + ".zip.md5",
                          (digest if digest is not None
                           else hashlib.md5(zip_bytes).hexdigest()).encode())
        self.publish_file(name + ".zip.version", version)

    def rules(self, rules):
        with open(os.path.join(self.served, "_rules.json"), "w") as f:
            json.dump(rules, f)

    def requests(self):
        path = os.path.join(self.served, "_requests.log")
        if not os.path.exists(path):
            return []
        with open(path) as f:
            return [line.split(" ", 1)[1] for line in f.read().splitlines()]

    def update(self, name="editor"):
        self.tree.write_list(name)
        code, out, err = self.tree.run(
            "noservice", env={"http_proxy": "http://127.0.0.1:%d" % self.server.port})
        self.assertEqual(code, 0, err)
        return self.messages(name)

    def messages(self, name):
        # The messages after the latest announcement of the package.
        logged = self.tree.log_messages()
        if name not in logged:
            return logged
        last = len(logged) - 1 - logged[::-1].index(name)
        return logged[last + 1:]

    def record(self, name="editor"):
        return self.tree.read("Updater/%s.zip.version" % name)

    def test_new_version_installed_cleanly(self):
        self.publish("editor", archive({"bin/": "", "bin/tool.txt": "v2"}), b"2.0")
        messages = self.update()
        self.assertEqual(messages, ["File received and validated.", "Installing update ...",
                                    "Installed."])
        self.assertEqual(self.tree.read("bin/tool.txt"), b"v2")
        self.assertFalse(self.tree.exists("editor.zip"))
        self.assertEqual(self.record(), b"2.0")
        requests = self.requests()
        self.assertEqual(requests, [LATEST + "editor.zip.version", LATEST + "editor.zip",
                                    LATEST + "editor.zip.md5", LATEST + "editor.zip.version",
                                    LATEST + "notify_installed.osp"])

    def test_equal_versions_ignoring_case_need_nothing(self):
        self.publish("editor", archive({"a.txt": "x"}), b"1.0B")
        self.tree.write("Updater/editor.zip.version", b"1.0b")
        self.assertEqual(self.update(), ["System is up to date."])
        self.assertEqual(self.requests(), [LATEST + "editor.zip.version"])

    def test_version_ending_in_a_line_break_is_recorded_with_it(self):
        self.publish("editor", archive({"a.txt": "x"}), b"3.1\n")
        self.update()
        self.assertEqual(self.record(), b"3.1\n")
        self.assertEqual(self.update(), ["System is up to date."])

    def test_unfinished_installation_is_resumed(self):
        self.publish("editor", archive({"a.txt": "new"}), b"1.0")
        self.tree.write("Updater/editor.zip.version", b"1.0")
        self.tree.write("editor.zip", archive({"a.txt": "left over"}))
        self.assertEqual(self.update(), ["Installed.",
                                         "A failed instalation was resumed successfuly.",
                                         "System is up to date."])
        self.assertEqual(self.tree.read("a.txt"), b"left over")
        self.assertFalse(self.tree.exists("editor.zip"))

    def test_package_file_that_is_no_archive_is_refetched(self):
        self.publish("editor", archive({"a.txt": "fresh"}), b"1.0")
        self.tree.write("Updater/editor.zip.version", b"1.0")
        self.tree.write("editor.zip", b"<html>not a zip</html>")
        self.assertEqual(self.update(), [
            "Corrupted update received",
            "A failed instalation was NOT resumed successfuly. Refetching packages.",
            "File received and validated.", "Installing update ...", "Installed."])
        self.assertEqual(self.tree.read("a.txt"), b"fresh")
        self.assertEqual(self.record(), b"1.0")

    def test_empty_package_file_is_a_corrupt_package(self):
        self.publish("editor", archive({"a.txt": "fresh"}), b"1.0")
        self.tree.write("Updater/editor.zip.version", b"1.0")
        self.tree.write("editor.zip", b"")
        self.assertEqual(self.update()[:2], [
            "Corrupted update received",
            "A failed instalation was NOT resumed successfuly. Refetching packages."])
        self.assertEqual(self.tree.read("a.txt"), b"fresh")

    def test_digest_mismatch_keeps_the_package_file_and_the_record(self):
        self.publish("editor", archive({"a.txt": "x"}), b"2.0", digest="0" * 32)
        self.tree.write("Updater/editor.zip.version", b"1.0")
        self.assertEqual(self.update(), ["Invalid file received (checksum error)"])
        self.assertTrue(self.tree.exists("editor.zip"))
        self.assertFalse(self.tree.exists("a.txt"))
        self.assertEqual(self.record(), b"1.0")

    def test_digest_in_upper_case_with_a_file_name_matches(self):
        data = archive({"a.txt": "x"})
        self.publish("editor", data, b"2.0",
                     digest=hashlib.md5(data).hexdigest().upper() + "  editor.zip\n")
        self.assertEqual(self.update()[-1], "Installed.")

    def test_short_digest_never_matches(self):
        data = archive({"a.txt": "x"})
        self.publish("editor", data, b"2.0", digest=hashlib.md5(data).hexdigest()[:31])
        self.assertEqual(self.update(), ["Invalid file received (checksum error)"])

    def test_no_version_text_after_validation_installs_nothing(self):
        self.publish("editor", archive({"a.txt": "x"}), b"")
        self.assertEqual(self.update(), ["File received and validated.",
                                         "No version number received. Aborting update."])
        self.assertFalse(self.tree.exists("a.txt"))
        self.assertTrue(self.tree.exists("editor.zip"))
        self.assertFalse(self.tree.exists("Updater/editor.zip.version"))

    def test_version_resource_unreachable_still_downloads(self):
        self.publish("editor", archive({"a.txt": "x"}), b"2.0")
        self.rules({LATEST + "editor.zip.version": {"sequence": ["", "2.0"],
                                                    "length": "none", "drop_after": 0}})
        messages = self.update()
        self.assertIn("File received and validated.", messages)

    def test_nothing_reachable_changes_nothing(self):
        # The connection fails only after the stream has opened: every fetch
        # is empty, the download brings nothing and leaves no package file.
        self.tree.write("Updater/editor.zip.version", b"1.0")
        self.tree.write_list("editor")
        code, out, _ = self.tree.run("noservice", env={"http_proxy": "http://127.0.0.1:1"})
        self.assertEqual(code, 0)
        self.assertEqual(self.messages("editor"), [])
        self.assertFalse(self.tree.exists("editor.zip"))
        self.assertEqual(self.record(), b"1.0")

    def test_server_changing_the_version_between_fetches_records_the_later(self):
        self.publish("editor", archive({"a.txt": "x"}), b"2.0")
        self.rules({LATEST + "editor.zip.version": {"sequence": ["2.0", "2.1"]}})
        self.update()
        self.assertEqual(self.record(), b"2.1")

    def test_entry_errors_are_retried_until_clean(self):
        # A directory stands where a file should go until the test removes it.
        self.publish("editor", archive({"a.txt": "x", "blocked": "y"}), b"2.0")
        os.makedirs(self.tree.path("blocked"))
        self.tree.write_list("editor")
        import subprocess
        import time
        proc = subprocess.Popen(self.tree.command(["noservice"]), cwd=self.tree.bin,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                env=dict(os.environ, http_proxy="http://127.0.0.1:%d"
                                         % self.server.port))
        try:
            deadline = time.time() + 60
            while time.time() < deadline and not self.messages("editor").count(
                    "ERRORS were encountered while installing offline package. Please note "
                    "that the update may not be complete") >= 2:
                time.sleep(0.05)
            os.rmdir(self.tree.path("blocked"))
            self.assertEqual(proc.wait(timeout=60), 0)
        finally:
            if proc.poll() is None:
                proc.kill()
        messages = self.messages("editor")
        self.assertEqual(messages[:4], [
            "File received and validated.", "Installing update ...",
            "ERRORS were encountered while installing. Please note that the update may not "
            "be complete",
            "ERRORS were encountered while installing offline package. Please note that the "
            "update may not be complete"])
        self.assertEqual(messages[-1], "Installed.")
        self.assertEqual(self.tree.read("blocked"), b"y")
        self.assertEqual(self.record(), b"2.0")
        notes = [r for r in self.requests() if r.endswith(".osp")]
        self.assertEqual(notes, [LATEST + "notify_error.osp"])


if __name__ == "__main__":
    unittest.main()
