# Slot feeders and card readers loaded by a stand-in host next to the box controller: the
# host classes they build from their sections, their shared endstops and commands.
import os
import tempfile
import unittest

import fake_hardware
import fake_klippy
import feedhub
import feedlane
import feedtag
from test_feedhub_in_host import sections as hub_sections


def slot_section(slot):
    return {"runout_pin": "^mcu_box1:PB%d" % slot, "rotation_distance": "22",
            "red_pin": "mcu_box1:PC%d" % slot, "white_pin": "mcu_box1:PD%d" % slot}


class SlotsInHostTest(unittest.TestCase):
    def setUp(self):
        fake_hardware.install_chelper()
        self.hardware = fake_hardware.Hardware()
        fake_hardware.install_host_classes(self.hardware)
        fake_hardware.PrinterPWMLED.instances.clear()
        self.folder = tempfile.TemporaryDirectory()
        all_sections = hub_sections(os.path.join(self.folder.name, "saved_variables.cfg"))
        for slot in range(4):
            all_sections["feedlane slot%d" % slot] = slot_section(slot)
        all_sections["feedtag card_reader_1"] = {"cs_pin": "mcu_box1:PE0"}
        modules = dict(self.hardware.modules(), feedhub=feedhub, feedlane=feedlane,
                       feedtag=feedtag)
        self.printer = fake_klippy.Printer(all_sections, modules)
        self.hardware.install(self.printer)
        self.printer.add_object("stepper_enable", fake_hardware.StepperEnable())
        self.printer.load_config()

    def tearDown(self):
        self.printer.reactor.finalize()
        self.folder.cleanup()

    def test_every_slot_registers_its_commands_and_status(self):
        for command in ("SLOT_UNLOAD", "EXTRUDER_LOAD", "EXTRUDER_UNLOAD", "SLOT_PROMPT_MOVE",
                        "RFID_READ"):
            key, values = self.printer.gcode.mux_commands[command]
            self.assertEqual(key, "SLOT")
            # Each slot by its name, number and label in either case.
            self.assertEqual(sorted(values), sorted(
                ["slot%d" % n for n in range(4)] + [str(n) for n in range(4)] +
                ["1" + letter for letter in "ABCDabcd"]))
        status = self.printer.lookup_object("feedlane slot2").get_status(0.)
        self.assertEqual(list(status)[:2], ["runout_button", "rfid_state"])
        self.assertEqual((status["runout_button"], status["rfid_state"]), (0, 0))
        self.assertEqual((status["label"], status["state_name"], status["tools"]),
                         ("1C", "empty", [2]))

    def test_shared_box_endstops_stop_every_slot_motor(self):
        endstops = dict((name, endstop)
                        for endstop, name in self.printer.lookup_object("query_endstops").endstops)
        steppers = [s.get_name() for s in endstops["b_endstop"].steppers]
        self.assertEqual(steppers, ["feedlane slot%d" % slot for slot in range(4)])
        self.assertEqual(len(endstops["slot0_runout"].steppers), 1)

    def test_slot_leds_start_at_ready(self):
        self.printer.reactor.run_for(1.)
        leds = fake_hardware.PrinterPWMLED.instances
        self.assertEqual(len(leds), 4)
        for led in leds:
            self.assertGreater(len(led.updates), 0)

    def test_unknown_slot_is_refused_as_the_host_refuses_mux_values(self):
        error = self.printer.run_gcode("SLOT_UNLOAD SLOT=slot9")
        self.assertIsInstance(error, fake_klippy.CommandError)
        self.assertIn("slot9", str(error))

    def test_card_reader_configures_the_box_mcu(self):
        commands = self.hardware.box_mcu.config_cmds
        self.assertTrue(any(c.startswith("config_fm17550 oid=") for c in commands))
        self.assertTrue(any(c.startswith("query_fm17550 oid=") for c in commands))
        # Two readers may name one chip select only when they ask the host to share it.
        self.assertEqual(self.hardware.spi_share_types, ["spi_cs"])


if __name__ == "__main__":
    unittest.main()
