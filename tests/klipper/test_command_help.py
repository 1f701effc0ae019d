# HELP in the real host lists every command of the box with its help text, the per-slot
# commands (one host command for all slots, picked by SLOT=) included, word for word as
# feedbox lists them.
import subprocess

from scenario import HostScenario
import klipper_host


class CommandHelp(HostScenario):
    def simulated_help(self, boxes):
        command = [self.feedbox, 'run', '--settle', '5', '--boxes', str(boxes), '-c', 'HELP']
        out = subprocess.run(command, stdout=subprocess.PIPE, check=True, text=True).stdout
        return [line for line in out.splitlines() if line.startswith('// ')]

    def test_help_lists_every_box_command_with_its_text(self):
        # The box's lines: those feedbox lists with a box and not without one.
        without_box = set(self.simulated_help(0))
        box_lines = [line for line in self.simulated_help(1) if line not in without_box]
        names = [line[3:].split(':', 1)[0].strip() for line in box_lines]
        for mux in ('SLOT_UNLOAD', 'EXTRUDER_LOAD', 'EXTRUDER_UNLOAD', 'SLOT_PROMPT_MOVE',
                    'RFID_READ'):
            self.assertIn(mux, names)
        self.assertIn('BOX_STATUS', names)

        result = self.run_host(['HELP'])
        self.assertRanCleanly(result)
        listed = klipper_host.responses_of(result, 'HELP')
        missing = [line for line in box_lines if line not in listed]
        self.assertEqual(missing, [], '\n'.join(listed))
