"""The command line: banner, option words, exit codes, and the update pass's
reading of the package list, through the real executable."""

import os
import socket
import tempfile
import unittest

import harness
from harness import EXIT_MINUS_1, TreeTestCase, text


def refused_proxy():
    """An http_proxy on a loopback port with no listener: every fetch fails at once."""
    probe = socket.socket()
    probe.bind(("127.0.0.1", 0))
    port = probe.getsockname()[1]
    probe.close()
    return {"http_proxy": "http://127.0.0.1:%d" % port}


class NoOptionWord(TreeTestCase):
    def setUp(self):
        super().setUp()
        if harness.WINDOWS:
            # Under Wine a fresh prefix may still be starting its own services,
            # and the dispatcher can then be handed one of them; the Windows
            # service scenarios check this road once the manager has settled.
            self.skipTest("checked by the Windows service-manager scenarios")

    def test_without_one_option_word_usage_is_printed_with_the_name_as_typed(self):
        relative = os.path.join(".", harness.PROGRAM_NAME)
        # Two words take the dispatcher road, and install nothing.
        for args, program in [((), self.tree.exe), ((), relative),
                              (("install", "now"), self.tree.exe)]:
            with self.subTest(args=args, program=program):
                code, out, _ = self.tree.run(*args, program=program)
                self.assertEqual(code, EXIT_MINUS_1)
                typed = harness.name_as_typed(program, self.tree.bin)
                self.assertEqual(self.assertBanner(out), (harness.USAGE % typed).encode())
        self.assertFalse(self.tree.exists("bin/update.log"))


class OptionWords(TreeTestCase):
    """Words are compared exactly, letter case and every byte included."""

    def test_words_but_install_and_noservice_fail_without_a_service_manager(self):
        if harness.WINDOWS:
            self.skipTest("the service manager's answers are tested under Wine's own SCM")
        # Near misses match nothing: with no service manager on this platform,
        # an unrecognised word is only found out after the manager is opened.
        for word in ["start", "stop", "auto", "manual", "uninstall", "Install", "install ",
                     "installx", "NOSERVICE", "noservice ", "", "Start"]:
            with self.subTest(word=word):
                code, out, _ = self.tree.run(word)
                self.assertEqual(code, EXIT_MINUS_1)
                self.assertEqual(self.assertBanner(out), b"Error opening service manager")
                self.assertFalse(self.tree.exists("update.log"))
                self.assertFalse(self.tree.exists("bin/update.log"))

    def test_install_without_a_service_manager_is_printed_and_logged(self):
        if harness.WINDOWS:
            self.skipTest("the service manager's answers are tested under Wine's own SCM")
        code, out, _ = self.tree.run("install")
        self.assertEqual(code, 1)
        self.assertEqual(self.assertBanner(out), b"Error opening service manager\n")
        # Logged in the directory the command runs in, followed by an empty line.
        log = text(self.tree.read("bin/update.log"))
        self.assertRegex(log, rb"^.{24}: Error opening service manager\n\n$")


class PackageList(TreeTestCase):
    def run_pass(self, cwd=None):
        code, out, err = self.tree.run("noservice", cwd=cwd, env=refused_proxy())
        self.assertEqual(code, 0, err)
        return self.assertBanner(out)

    def announced(self, out):
        return [line[len(b"Updating "):-len(b" ...")] for line in text(out).split(b"\n")
                if line.startswith(b"Updating ") and line.endswith(b" ...")]

    def logged_names(self, names):
        return [m for m in self.tree.log_messages() if m in names]

    def test_missing_list_is_reported_on_the_console_only(self):
        code, out, _ = self.tree.run("noservice")
        self.assertEqual(code, EXIT_MINUS_1)
        self.assertEqual(self.assertBanner(out),
                         b"Error opening file Updater/installed.packages.lst\n")
        self.assertFalse(self.tree.exists("update.log"))

    def test_names_are_taken_in_order_between_spaces(self):
        self.tree.write_list("  alpha  beta alpha   gamma ")
        out = self.run_pass()
        self.assertEqual(self.announced(out), [b"alpha", b"beta", b"alpha", b"gamma"])
        self.assertEqual(self.logged_names({"alpha", "beta", "gamma"}),
                         ["alpha", "beta", "alpha", "gamma"])

    def test_empty_list_prints_and_logs_nothing(self):
        self.tree.write_list("")
        self.assertEqual(self.run_pass(), b"")
        self.assertFalse(self.tree.exists("update.log"))

    def test_only_spaces_separate_names(self):
        # Line breaks and tabs are name characters; the list's final line feed
        # stays in the last name.
        self.tree.write_list("one\ttab two\nthree\n")
        out = self.run_pass()
        names = [n for n in self.announced(out)]
        self.assertEqual(names[0], b"one\ttab")
        self.assertIn(b"Updating two\nthree\n ...\n", text(out))

    def test_data_ends_at_the_first_nul(self):
        self.tree.write_list(b"first sec\0ond third")
        self.assertEqual(self.announced(self.run_pass()), [b"first", b"sec"])

    def test_only_the_first_4094_bytes_are_read(self):
        first, second = "x" * 2000, "y" * 2000
        third = "z" * 300
        self.tree.write_list(" ".join([first, second, third]))
        names = self.announced(self.run_pass())
        self.assertEqual(names, [first.encode(), second.encode(), b"z" * (4094 - 4002)])

    def test_a_name_too_long_for_its_urls_is_refused_and_the_pass_goes_on(self):
        long_name = "n" * 4080
        self.tree.write_list(long_name + " ok")
        out = self.run_pass()
        self.assertEqual(self.announced(out), [long_name.encode(), b"ok"])
        self.assertIn(b"\nPackage name too long, skipped.\n", text(out))
        messages = self.tree.log_messages()
        self.assertEqual(messages[:2], [long_name, "Package name too long, skipped."])
        self.assertFalse(any(name.startswith("n" * 10) and name.endswith(".zip")
                             for name in os.listdir(self.tree.root)))

    def test_the_pass_works_in_the_install_root_wherever_it_starts(self):
        self.tree.write_list("alpha")
        elsewhere = tempfile.mkdtemp(prefix="orvane-cwd-")
        self.addCleanup(os.rmdir, elsewhere)
        out = self.run_pass(cwd=elsewhere)
        self.assertEqual(self.announced(out), [b"alpha"])
        self.assertEqual(os.listdir(elsewhere), [])
        self.assertIn("alpha", self.tree.log_messages())

    def test_the_list_is_read_relative_to_the_parent_of_the_executables_directory(self):
        # A list beside the executable is not the install root's list.
        os.rename(self.tree.path("Updater"), self.tree.path("bin", "Updater"))
        self.tree.write("bin/Updater/installed.packages.lst", "alpha")
        code, out, _ = self.tree.run("noservice")
        self.assertEqual(code, EXIT_MINUS_1)
        self.assertIn(b"Error opening file Updater/installed.packages.lst", out)


if __name__ == "__main__":
    unittest.main()
