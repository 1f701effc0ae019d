# The host objects as the modules see them through the bridge, including what stock hosts
# lack (a heater's can_wait, the motion sensor's level) and the calls they renamed.
import unittest

import _bridge_probe
import fake_hardware
import fake_klippy


def make_printer(hardware, sections=None):
    all_sections = {"filament_motion_sensor box_motion_sensor": {"switch_pin": "^mcu_box1:PA1",
                                                                 "detection_length": "4.5"},
                    "bridge_probe": {}}
    all_sections.update(sections or {})
    modules = dict(hardware.modules(), bridge_probe=_bridge_probe)
    printer = fake_klippy.Printer(all_sections, modules)
    hardware.install(printer)
    printer.load_config()
    return printer


class HostObjectsTest(unittest.TestCase):
    def setUp(self):
        self.chelper_calls = fake_hardware.install_chelper()
        self.hardware = fake_hardware.Hardware()
        self.printer = make_printer(self.hardware)

    def tearDown(self):
        self.printer.reactor.finalize()

    def run_gcode(self, script):
        error = self.printer.run_gcode(script)
        if error is not None:
            raise error
        responses = self.printer.gcode.responses
        return responses.pop() if responses else None

    def test_motion_sensor_level_follows_the_encoder_events(self):
        buttons = self.printer.lookup_object("buttons")
        sensor = self.printer.lookup_object("filament_motion_sensor box_motion_sensor")
        self.assertEqual(self.run_gcode("PROBE_SENSOR NAME=box_motion_sensor"),
                         "// level 0 length 4.5")
        buttons.report(1.0, 1)
        self.assertEqual(self.run_gcode("PROBE_SENSOR NAME=box_motion_sensor"),
                         "// level 1 length 4.5")
        buttons.report(1.5, 0)
        self.assertEqual(self.run_gcode("PROBE_SENSOR NAME=box_motion_sensor"),
                         "// level 0 length 4.5")
        # The sensor itself still hears every change.
        self.assertEqual(sensor.events, [(1.0, 1), (1.5, 0)])

    def test_heater_waits_end_at_once_while_waits_are_off(self):
        heater = self.hardware.toolhead.extruder.heater
        heater.set_temp(220.)
        self.run_gcode("PROBE_HEATER CAN_WAIT=0")
        self.assertFalse(heater.check_busy(0.))
        self.run_gcode("PROBE_HEATER CAN_WAIT=1")
        self.assertTrue(heater.check_busy(0.))

    def test_activity_note_goes_to_motion_queuing_on_current_hosts(self):
        self.assertEqual(self.run_gcode("PROBE_TOOLHEAD"), "// move time 1.25")
        self.assertEqual(self.hardware.motion_queuing.activity, [2.25])

    def test_own_motion_queue_goes_through_chelper(self):
        self.assertEqual(self.run_gcode("PROBE_TRAPQ"), "// at 3.0 x 10.0, at 2.5 x 6.25")
        self.assertEqual(self.chelper_calls[0],
                         ("trapq_append", 2.0, 1.0, 0.5, 0.0, 5., 0., 0., 1., 0., 0., 0.0,
                          10.0, 10.0))
        self.assertEqual(self.chelper_calls[1], ("trapq_finalize_moves", 2.5, 1.0))

    def test_mcu_query_waits_for_the_answer_with_its_byte_fields(self):
        self.assertEqual(self.run_gcode("PROBE_QUERY MCU=mcu_box1"),
                         "// oid 7 data '\\x01AB'")
        self.assertEqual(self.hardware.box_mcu.queries,
                         [("probe_query oid=%c", "probe_answer oid=%c data=%*s", 7, True, [7])])

    def test_events_carry_the_arguments_host_handlers_expect(self):
        heard = []
        self.printer.register_event_handler("gcode:request_restart", heard.append)
        self.printer.register_event_handler("box:changed", lambda: heard.append("changed"))
        self.run_gcode("PROBE_EVENT NAME=gcode:request_restart")
        self.run_gcode("PROBE_EVENT NAME=box:changed")
        self.assertEqual(heard, [1.25, "changed"])

    def test_two_argument_finalize_of_older_hosts(self):
        calls = fake_hardware.install_chelper(three_argument_finalize=False)
        self.run_gcode("PROBE_TRAPQ")
        self.assertEqual(calls[1], ("trapq_finalize_moves", 2.5))


class MissingHostObjectTest(unittest.TestCase):
    def test_sensor_without_encoder_registration_fails_start_with_its_name(self):
        fake_hardware.install_chelper()
        hardware = fake_hardware.Hardware()
        printer = make_printer(hardware)
        # A host whose sensor reports through some other path.
        printer.lookup_object("buttons").mcu_buttons.clear()
        error = printer.run_gcode("PROBE_SENSOR NAME=box_motion_sensor")
        self.assertIsInstance(error, fake_klippy.ConfigError)
        self.assertIn("filament_motion_sensor box_motion_sensor", str(error))
        printer.reactor.finalize()


if __name__ == "__main__":
    unittest.main()
