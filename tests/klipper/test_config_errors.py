# Mistakes in a printer's configuration are reported at start as configuration errors that
# name the section and option, never as a shutdown later on.
import copy

from scenario import HostScenario, option
import printer_config


class ConfigurationMistakes(HostScenario):
    def start_with(self, sections, suffix):
        return self.run_host(['MOTION_TIPS'], config=printer_config.join_sections(sections),
                             suffix=suffix)

    def assertConfigError(self, result, *words):
        self.assertIn('Config error', result.log, result.log[-3000:])
        error = result.log[result.log.index('Config error'):][:2000]
        for word in words:
            self.assertIn(word, error)
        self.assertNotIn('Transition to shutdown state', result.log)

    def fresh_sections(self):
        return copy.deepcopy(self.sections)

    def test_motion_sensor_without_its_extruder(self):
        sections = self.fresh_sections()
        printer_config.remove_option(sections, 'filament_motion_sensor box_motion_sensor',
                                     'extruder')
        self.assertConfigError(self.start_with(sections, '-motion'), 'extruder',
                               'filament_motion_sensor box_motion_sensor')

    def test_missing_width_sensor(self):
        sections = [s for s in self.fresh_sections() if s[0] != 'hall_filament_width_sensor']
        self.assertConfigError(self.start_with(sections, '-nohall'),
                               'hall_filament_width_sensor')

    def test_width_sensor_not_enabled(self):
        sections = self.fresh_sections()
        printer_config.set_option(sections, 'hall_filament_width_sensor', 'enable', 'False')
        self.assertConfigError(self.start_with(sections, '-disabled'),
                               'hall_filament_width_sensor', 'enable')

    def test_axis_too_short_for_the_cutter(self):
        sections = self.fresh_sections()
        printer_config.set_option(sections, 'stepper_y', 'position_max', '320')
        self.assertConfigError(self.start_with(sections, '-short'), 'feedhub', 'Y')

    def test_a_box_without_the_card_reader_firmware_is_named(self):
        sections = printer_config.real_host_sections(self.feedbox, 1, card_readers=True)
        self.assertConfigError(self.start_with(sections, '-nocardreader'), 'feedtag',
                               'box firmware', 'auto_read_rfid')

    def test_box_detection_and_the_box_naming_different_base_folders(self):
        sections = self.fresh_sections()
        printer_config.set_option(sections, 'feedscan', 'base_folder', '/home/elsewhere')
        self.assertConfigError(self.start_with(sections, '-twobases'), 'base_folder',
                               'feedhub', 'feedscan', '/home/elsewhere')

    def test_box_detection_before_everything_else_is_fine(self):
        sections = self.fresh_sections()
        scan = [s for s in sections if s[0] == 'feedscan']
        rest = [s for s in sections if s[0] != 'feedscan']
        self.assertEqual(len(scan), 1)
        result = self.start_with(rest[:1] + scan + rest[1:], '-scanfirst')
        self.assertRanCleanly(result)

    def test_resume_macro_after_the_box_section_is_fine(self):
        sections = self.fresh_sections()
        macro = [s for s in sections if s[0] == 'gcode_macro RESUME_PRINT']
        rest = [s for s in sections if s[0] != 'gcode_macro RESUME_PRINT']
        result = self.start_with(rest + macro, '-order')
        self.assertRanCleanly(result)

    # What the host refuses of the slot sections, and the box's own refusal of a box that
    # lacks a slot, which would half-fail every load of that box.
    def test_a_slot_section_without_its_slot_name(self):
        sections = self.fresh_sections()
        slot0 = [s for s in sections if s[0] == 'feedlane slot0'][0]
        sections.append(['feedlane', list(slot0[1])])
        self.assertConfigError(self.start_with(sections, '-unnamed'),
                               "Section 'feedlane' is not a valid config section")

    def test_a_box_that_lacks_one_of_its_slots(self):
        sections = [s for s in self.fresh_sections() if s[0] != 'feedlane slot1']
        self.assertConfigError(self.start_with(sections, '-noslot1'),
                               'Box 1 lacks [feedlane slot1]')
        # The host reads "[ feedlane slot1 ]" as another section than "feedlane slot1".
        sections = self.fresh_sections()
        for section in sections:
            if section[0] == 'feedlane slot1':
                section[0] = ' feedlane slot1 '
        self.assertConfigError(self.start_with(sections, '-spaced'),
                               'Box 1 lacks [feedlane slot1]')

    def test_one_step_pin_for_two_slots(self):
        sections = self.fresh_sections()
        pin = option(sections, 'feedlane slot0', 'step_pin')
        printer_config.set_option(sections, 'feedlane slot1', 'step_pin', pin)
        self.assertConfigError(self.start_with(sections, '-sharedstep'),
                               'pin %s used multiple times in config' % pin.split(':')[-1])

    def test_a_huge_pin_name(self):
        sections = self.fresh_sections()
        printer_config.set_option(sections, 'feedlane slot1', 'step_pin',
                                  'mcu_box1:' + 'A' * 10000)
        result = self.start_with(sections, '-hugepin')
        self.assertIn('Config error', result.log, result.log[-3000:])
        self.assertIn("Unknown value 'AAAA", result.log)
        self.assertIn("in enumeration 'pin'", result.log)
        self.assertNotIn('Transition to shutdown state', result.log)
