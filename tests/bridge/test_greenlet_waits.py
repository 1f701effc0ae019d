# C++ G-code handlers and timers on the host's greenlets: waits let other C++ timers run,
# suspended handlers resume in any order and can be killed, and errors cross the boundary
# as the host's own.
import gc
import unittest

import _bridge_probe
import fake_klippy


def make_printer(**options):
    printer = fake_klippy.Printer({"bridge_probe": dict(options)},
                                  {"bridge_probe": _bridge_probe})
    printer.load_config()
    return printer


class WaitingTest(unittest.TestCase):
    def setUp(self):
        self.printer = make_printer(tick="0.1")
        self.probe = self.printer.lookup_object("bridge_probe")

    def tearDown(self):
        self.printer.reactor.finalize()

    def status(self):
        return self.probe.get_status(self.printer.reactor.monotonic())

    def test_handler_pause_lets_cpp_timer_run(self):
        error = self.printer.run_gcode("PROBE_WAIT SECONDS=1", run_for=2.)
        self.assertIsNone(error)
        self.assertIn("// waited 1.0 s, ticks 10", self.printer.gcode.responses)
        self.assertGreaterEqual(self.status()["ticks"], 20)

    def test_command_waits_for_the_lock_held_by_a_waiting_command(self):
        self.printer.run_gcode("PROBE_WAIT SECONDS=1")
        self.printer.run_gcode("PROBE_TIMEOUT SECONDS=0.25", run_for=2.)
        self.assertEqual(self.printer.gcode.responses,
                         ["// waited 1.0 s, ticks 10", "// timeout gave late"])

    def test_register_callback_result_reaches_the_waiting_handler(self):
        # The callback waits 0.5 s; the timer ticked at 0 s and every 0.1 s since.
        self.printer.run_gcode("PROBE_CALLBACK", run_for=1.)
        self.assertEqual(self.printer.gcode.responses, ["// callback gave 6"])

    def test_handlers_resumed_out_of_order_then_killed(self):
        # One handler holds the G-code lock; the other runs inside a task of its own,
        # as commands run from a module's timer do.
        self.printer.run_gcode("PROBE_BLOCK ID=a PHASES=2")
        self.printer.run_gcode("PROBE_BLOCK ID=b PHASES=2", lock=False)
        self.assertEqual(self.status()["suspended"], 2)
        self.printer.run_gcode("PROBE_RELEASE ID=b VALUE=first", lock=False, run_for=0.1)
        self.printer.run_gcode("PROBE_RELEASE ID=a VALUE=second", lock=False, run_for=0.1)
        self.assertEqual(self.printer.gcode.responses,
                         ["// block b phase 1 got first", "// block a phase 1 got second"])
        self.assertEqual(self.status()["suspended"], 2)
        self.printer.reactor.finalize()
        gc.collect()
        # Both handlers' C++ frames unwound: their destructors ran.
        self.assertEqual(self.status()["suspended"], 0)
        self.assertEqual(self.status()["unwound"], 2)

    def test_handlers_finish_in_the_order_released(self):
        self.printer.run_gcode("PROBE_BLOCK ID=a")
        self.printer.run_gcode("PROBE_BLOCK ID=b", lock=False)
        self.printer.run_gcode("PROBE_RELEASE ID=b", lock=False, run_for=0.1)
        self.printer.run_gcode("PROBE_RELEASE ID=a", lock=False, run_for=0.1)
        self.assertEqual(self.status()["suspended"], 0)
        self.assertEqual(self.status()["unwound"], 2)
        # The lock the first handler held is free again.
        self.assertIsNone(self.printer.run_gcode("PROBE_WAIT SECONDS=0.5", run_for=1.))

    def test_ready_event_reaches_the_module(self):
        self.assertTrue(self.status()["ready"])


class ErrorCrossingTest(unittest.TestCase):
    def setUp(self):
        self.printer = make_printer()

    def tearDown(self):
        self.printer.reactor.finalize()

    def test_command_error_becomes_the_hosts_gcode_error(self):
        error = self.printer.run_gcode("PROBE_FAIL WHY=testing")
        self.assertIsInstance(error, fake_klippy.CommandError)
        self.assertEqual(str(error), "PROBE_FAIL refused: testing")
        self.assertEqual(self.printer.gcode.responses, ["!! PROBE_FAIL refused: testing"])

    def test_parameter_errors_read_as_the_host_words_them(self):
        error = self.printer.run_gcode("PROBE_WAIT SECONDS=-1")
        self.assertIsInstance(error, fake_klippy.CommandError)
        self.assertEqual(str(error), "Error on 'PROBE_WAIT SECONDS=-1': SECONDS must be above 0.0")
        error = self.printer.run_gcode("PROBE_WAIT")
        self.assertEqual(str(error), "Error on 'PROBE_WAIT': missing SECONDS")

    def test_other_cpp_errors_become_runtime_errors(self):
        error = self.printer.run_gcode("PROBE_CRASH")
        self.assertIs(type(error), RuntimeError)
        self.assertIn("probe state broken", str(error))

    def test_nested_host_command_error_is_a_command_error_in_cpp(self):
        error = self.printer.run_gcode('PROBE_NESTED SCRIPT="PROBE_FAIL WHY=inner"')
        self.assertIsNone(error)
        self.assertIn("// nested failed: PROBE_FAIL refused: inner", self.printer.gcode.responses)

    def test_python_error_passes_through_cpp_unchanged(self):
        def boom(gcmd):
            raise KeyError("from python")
        self.printer.gcode.register_command("PY_BOOM", boom)
        error = self.printer.run_gcode("PROBE_NESTED SCRIPT=PY_BOOM")
        self.assertIs(type(error), KeyError)

    def test_module_config_error_becomes_the_hosts_config_error(self):
        with self.assertRaises(fake_klippy.ConfigError) as raised:
            make_printer(tick="0")
        self.assertIn("tick", str(raised.exception))


if __name__ == "__main__":
    unittest.main()
