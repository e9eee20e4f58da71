"""bindings/python/vxdmount.py against the library's logic on the simulated machine.

    python3 python_test.py LIBRARY   (libvxdmount.so, which also stands in for kernel32)
"""

import ctypes
import os
import subprocess
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.normpath(os.path.join(HERE, os.pardir, os.pardir))
sys.path.insert(0, os.path.join(SOURCE, "bindings", "python"))
import vxdmount  # noqa: E402

TARGET = "iqn.2026-12.com.example:disk1"
CHAP_USER = "storage-admin"
CHAP_SECRET = b"Example-Secret-1"


def stage(scenario):
    path = os.path.join(SOURCE, scenario)
    if vxdmount.native().VxdSimLoadScenario(path.encode()) != 0:
        raise RuntimeError("cannot stage " + path)


class SecretCopies(vxdmount._SecretCopy):
    """Every copy of a secret that the module makes, to look at after the call."""
    made = []

    def __init__(self, secret):
        super().__init__(secret)
        SecretCopies.made.append(self)


class Bindings(unittest.TestCase):
    def setUp(self):
        SecretCopies.made = []
        self.lines = []

    def test_attach_answers_the_disks_volumes_and_progress_then_detach_takes_them(self):
        stage("scenarios/attach_gets_its_letters.json")
        result = vxdmount.attach("127.0.0.1", TARGET, progress=self.lines.append)
        self.assertEqual(result.letters, "FH")
        self.assertEqual(result.disks, [vxdmount.Disk(2, 0, 0), vxdmount.Disk(3, 1, 0)])
        self.assertEqual(len(result.volume_names), 2)
        self.assertTrue(all(n.startswith("\\\\?\\Volume{") for n in result.volume_names))
        self.assertEqual((result.path_count, result.already_attached), (1, False))
        self.assertIn("VxdAttach: done: F: H:", self.lines)

        detached = vxdmount.detach(TARGET)
        self.assertEqual((detached.letters, detached.sessions_logged_out), ("FH", 1))
        with self.assertRaises(vxdmount.VxdError) as raised:
            vxdmount.detach(TARGET)
        self.assertEqual(raised.exception.status, vxdmount.VXD_STATUS_NOT_ATTACHED)

    def test_a_failure_carries_its_status_words_and_service_status(self):
        stage("scenarios/portal_refused.json")
        with self.assertRaises(vxdmount.VxdError) as raised:
            vxdmount.attach("127.0.0.1", TARGET)
        error = raised.exception
        self.assertEqual((error.status, error.status_name, error.service_status),
                         (3, "VXD_STATUS_PORTAL_FAILED", 0xEFFF0003))
        self.assertEqual(error.status_text, "the portal could not be registered")
        self.assertEqual(str(error), "VxdAttach: the portal could not be registered "
                         "(VXD_STATUS_PORTAL_FAILED, service status 0xEFFF0003)")

    def test_a_cancel_set_while_the_disk_is_awaited_ends_the_call(self):
        stage("scenarios/attach_cancelled.json")
        with vxdmount.Cancel() as cancel:
            def report(line):
                self.lines.append(line)
                if "waiting" in line:
                    cancel.set()
            with self.assertRaises(vxdmount.Cancelled) as raised:
                vxdmount.attach("127.0.0.1", TARGET, progress=report, cancel=cancel)
        self.assertEqual(raised.exception.status, vxdmount.VXD_STATUS_CANCELLED)
        self.assertTrue(any("waiting" in line for line in self.lines))

    def test_chap_secrets_reach_the_target_and_every_copy_is_wiped(self):
        vxdmount._SecretCopy, original = SecretCopies, vxdmount._SecretCopy
        try:
            for secret, expected in ((CHAP_SECRET, vxdmount.VXD_STATUS_OK),
                                     (bytearray(b"Wrong-Secret-99"),
                                      vxdmount.VXD_STATUS_AUTH_FAILED)):
                stage("scenarios/attach_with_chap.json")
                status = vxdmount.VXD_STATUS_OK
                try:
                    vxdmount.attach("127.0.0.1", TARGET, chap_user=CHAP_USER, chap_secret=secret,
                                    progress=self.lines.append)
                except vxdmount.VxdError as error:
                    status = error.status
                    self.assertNotIn(bytes(secret).decode(), str(error))
                self.assertEqual(status, expected)
            self.assertEqual(len(SecretCopies.made), 4)
            for copy in SecretCopies.made:
                self.assertEqual(bytes(copy.buffer), bytes(len(copy.buffer)))
            self.assertFalse(any("Secret" in line for line in self.lines))
        finally:
            vxdmount._SecretCopy = original

    def test_list_targets_asks_again_with_the_size_it_is_told(self):
        stage("tests/wine/scenarios/list_targets.json")
        request = vxdmount.VxdListTargetsRequest(portalAddress=b"127.0.0.1")
        size = ctypes.c_uint32(0)
        native = vxdmount.native()
        self.assertEqual(native.VxdListTargets(request, None, size),
                         vxdmount.VXD_STATUS_BUFFER_TOO_SMALL)
        needed = size.value
        size.value = needed - 1
        names = ctypes.create_string_buffer(needed)
        self.assertEqual(native.VxdListTargets(request, names, size),
                         vxdmount.VXD_STATUS_BUFFER_TOO_SMALL)
        self.assertEqual(size.value, needed)
        self.assertEqual(vxdmount.list_targets("127.0.0.1"),
                         ["iqn.2026-01.test.vxd:disk1", "iqn.2026-01.test.vxd:logs"])

    def test_an_exception_in_progress_comes_after_the_call(self):
        stage("scenarios/attach_gets_its_letters.json")

        def report(line):
            self.lines.append(line)
            raise KeyError("from the handler")
        with self.assertRaises(KeyError):
            vxdmount.attach("127.0.0.1", TARGET, progress=report)
        self.assertEqual(len(self.lines), 1)
        self.assertEqual(vxdmount.detach(TARGET).letters, "FH")

    def test_the_module_imports_where_no_dll_is(self):
        code = ("import vxdmount\ntry:\n    vxdmount.status_text(0)\n"
                "except OSError as error:\n    print(error)\n")
        environment = dict(os.environ, VXDMOUNT_DLL="/nonexistent/vxdmount.dll",
                           PYTHONPATH=os.path.join(SOURCE, "bindings", "python"))
        shown = subprocess.run([sys.executable, "-c", code], env=environment, check=True,
                               capture_output=True, text=True).stdout
        self.assertIn("could not be loaded into this 64-bit Python", shown)


if __name__ == "__main__":
    vxdmount.load(sys.argv.pop(1))
    library = vxdmount.native()
    library.VxdSimLoadScenario.argtypes = [ctypes.c_char_p]
    # The simulated machine's events in place of kernel32's.
    vxdmount._event_library = vxdmount._declare_events(library)
    unittest.main()
