# The box controller loaded by a stand-in host through its package, as Klipper loads it.
import os
import tempfile
import unittest

import fake_hardware
import fake_klippy
import feedhub
import feedscan


def sections(variables_file, **feedhub_options):
    options = {"b_button_pin": "^mcu_box1:PA2", "b_endstop_pin": "^mcu_box1:PA3",
               "e_endstop_pin": "^mcu_box1:PA4"}
    options.update(feedhub_options)
    options = {key: value for key, value in options.items() if value is not None}
    return {
        "save_variables": {"filename": variables_file},
        "gcode_macro RESUME_PRINT": {"variable_last_extruder_temp": "{'temp': 0}"},
        "filament_motion_sensor box_motion_sensor": {"switch_pin": "^mcu_box1:PA1"},
        "hall_filament_width_sensor": {},
        "feedhub": options,
    }


class FeedHubInHostTest(unittest.TestCase):
    def setUp(self):
        fake_hardware.install_chelper()
        self.folder = tempfile.TemporaryDirectory()
        self.variables_file = os.path.join(self.folder.name, "saved_variables.cfg")
        self.hardware = fake_hardware.Hardware()
        self.printer = None

    def tearDown(self):
        if self.printer is not None:
            self.printer.reactor.finalize()
        self.folder.cleanup()

    def start(self, **feedhub_options):
        modules = dict(self.hardware.modules(), feedhub=feedhub)
        self.printer = fake_klippy.Printer(sections(self.variables_file, **feedhub_options),
                                           modules)
        self.hardware.install(self.printer)
        self.printer.gcode.register_command("MOVE_TO_TRASH", lambda gcmd: None)
        self.printer.load_config()
        return self.printer

    def test_loads_with_its_commands_status_and_endstops(self):
        printer = self.start()
        for command in ("CUT_FILAMENT", "TOOL_CHANGE_START", "TOOL_CHANGE_END", "BOX_TEMP_SET",
                        "TRY_MOVE_AGAIN"):
            self.assertIn(command, printer.gcode.ready_gcode_handlers)
        status = printer.lookup_object("feedhub").get_status(0.)
        self.assertEqual(status["box_button_state"], 0)
        names = [name for _, name in printer.lookup_object("query_endstops").endstops]
        self.assertEqual(names, ["b_endstop", "e_endstop"])

    def test_tool_change_block_swallows_moves_and_heater_waits(self):
        printer = self.start()
        heater = self.hardware.toolhead.extruder.heater
        heater.set_temp(220.)
        gcode_move = printer.lookup_object("gcode_move")
        self.assertIsNone(printer.run_gcode("TOOL_CHANGE_START F=0 T=0"))
        self.assertIsNot(gcode_move.move_transform, self.hardware.toolhead)
        gcode_move.move_transform.move([10., 10., 0., 5.], 100.)
        self.assertEqual(self.hardware.toolhead.moves, [])
        self.assertFalse(heater.check_busy(0.))
        self.assertIsNone(printer.run_gcode("TOOL_CHANGE_END"))
        self.assertIs(gcode_move.move_transform, self.hardware.toolhead)
        self.assertTrue(heater.check_busy(0.))

    def test_saved_variables_are_written_and_reloaded_by_the_host(self):
        printer = self.start()
        self.assertIsNone(printer.run_gcode("TOOL_CHANGE_START F=0 T=1"))
        with open(self.variables_file) as saved:
            self.assertIn("is_tool_change = 1", saved.read())
        self.assertEqual(printer.lookup_object("save_variables").allVariables["is_tool_change"], 1)

    def test_start_up_tasks_run_without_errors_escaping(self):
        printer = self.start()
        printer.reactor.run_for(10.)
        self.assertEqual(printer.exit_result, None)

    def test_restarted_host_gets_a_bridge_of_its_own(self):
        first = self.start()
        first.run_gcode("TOOL_CHANGE_START F=0 T=1")
        first.reactor.finalize()
        self.hardware = fake_hardware.Hardware()
        second = self.start()
        self.assertIsNot(second.lookup_object("feedhub"), first.lookup_object("feedhub"))
        self.assertIsNone(second.run_gcode("TOOL_CHANGE_END"))
        # The saved state outlives the restart, as it does on the printer.
        self.assertEqual(second.lookup_object("save_variables").allVariables["is_tool_change"], 0)

    def test_missing_option_is_the_hosts_config_error(self):
        with self.assertRaises(fake_klippy.ConfigError) as raised:
            self.start(b_button_pin=None)
        self.assertIn("b_button_pin", str(raised.exception))

    def test_pin_used_twice_is_the_hosts_config_error(self):
        with self.assertRaises(fake_klippy.ConfigError) as raised:
            self.start(e_endstop_pin="^mcu_box1:PA3")
        self.assertIn("used multiple times", str(raised.exception))


class FeedScanInHostTest(unittest.TestCase):
    def test_empty_section_loads_box_detection_which_stays_idle_in_batch_mode(self):
        hardware = fake_hardware.Hardware()
        printer = fake_klippy.Printer({"feedscan": {}}, dict(hardware.modules(), feedscan=feedscan),
                                      start_args={"debugoutput": "batch.serial"})
        hardware.install(printer)
        printer.load_config()
        self.assertIsNotNone(printer.lookup_object("feedscan").get_status(0.))
        printer.reactor.run_for(20.)
        self.assertIsNone(printer.exit_result)
        printer.reactor.finalize()

    def test_add_printer_objects_registers_box_detection(self):
        hardware = fake_hardware.Hardware()
        printer = fake_klippy.Printer({}, hardware.modules(), start_args={"debugoutput": "x"})
        hardware.install(printer)
        feedscan.add_printer_objects(fake_klippy.ConfigWrapper(printer, {"printer": {}}, "printer"))
        self.assertIn("feedscan", printer.objects)
        printer.reactor.finalize()


if __name__ == "__main__":
    unittest.main()
