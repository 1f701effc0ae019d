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

    def endstop_homes(self, result, section, key):
        """The endstop_home commands sent for the endstop on `section`'s `key` pin."""
        pin = option(self.sections, section, key).split(':')[-1]
        lines = mcu_output.decode(self.paths.klipper, self.paths.dictionary,
                                  result.serial_file('mcu_box1'))
        oids = [l.split('oid=')[1].split()[0] for l in lines
                if l.startswith('config_endstop ') and
                l.split('pin=')[1].split()[0].split('/')[-1] == pin]
        self.assertEqual(len(oids), 1, 'one endstop on %s' % pin)
        return [l for l in lines if l.startswith('endstop_home oid=%s ' % oids[0])
                and ' clock=0 ' not in l]

    def test_slot_unload_homes_against_its_runout_sensor_and_moves_on_exactly(self):
        mcu, pin = option(self.sections, 'feedlane slot2', 'runout_pin').lstrip(
            '^~!').split(':')
        result = self.run_host([
            'SLOT_UNLOAD SLOT=slot2',
            # What the sensor saw as the strand left it.
            'TEST_BUTTON MCU=%s PIN=%s STATE=1' % (mcu, pin),
            'SLOT_UNLOAD SLOT=slot2',
            'RUN_STEPPER STEPPER=2', 'RUN_STEPPER STEPPER=2', 'M400'])
        self.assertRanCleanly(result)
        self.assertEqual(len(self.endstop_homes(result, 'feedlane slot2', 'runout_pin')), 1)
        self.assertEqual(result.saved_variables().get('slot2'), 0)
        self.assertEqual(klipper_host.responses_of(result, 'SLOT_UNLOAD SLOT=slot2', 1)[1:2],
                         ['// 1C (slot2) holds no filament at its sensor: nothing to unload.'])
        # Batch mode reports the trip at once, so the homing move sends no steps; the pulls
        # after it are exact.
        self.assertEqual(self.slot_steps(result, 2), [(0, 2 * self.steps_of(2, 50))])

    def test_extruder_loads_and_unloads_twice_leave_the_step_queue_sound(self):
        # The hall sensor keeps its nominal reading until samples arrive, which batch mode
        # never sends: it is made to read an empty extruder entry, as after an unload.
        result = self.run_host([
            'TEST_HALL DIAMETER=0', 'EXTRUDER_LOAD SLOT=slot0', 'EXTRUDER_LOAD SLOT=slot0',
            'EXTRUDER_UNLOAD SLOT=slot0', 'E_UNLOAD SLOT=0', 'RELOAD_ALL', 'RELOAD_ALL',
            'RUN_STEPPER STEPPER=0', 'M400'])
        self.assertRanCleanly(result)
        # Without a box nothing reaches the extruder: each load fails and says so.
        self.assertEqual(result.text().count('Code:ZKE_004_006'), 2, result.text())
        self.assertEqual(result.saved_variables().get('retry_step'), 'ZKE_004_006_0')
        # Homing trips at once in batch mode, so the loads send no steps; the strand they
        # leave is not one waiting at its sensor, which RELOAD_ALL's push would move on.
        self.assertIn('// RELOAD_ALL: 1A is not waiting at its sensor; nothing was pushed',
                      klipper_host.responses_of(result, 'RELOAD_ALL'))
        moves = self.slot_steps(result, 0)
        self.assertEqual({direction for direction, _count in moves}, {0}, moves)
        self.assertEqual(moves[-1][0], 0)
        self.assertGreaterEqual(moves[-1][1], self.steps_of(0, 50))
        # The homing moves against the outlet and entry sensors were armed on the box MCU.
        self.assertTrue(self.endstop_homes(result, 'feedhub', 'b_endstop_pin') or
                        self.endstop_homes(result, 'feedhub', 'e_endstop_pin'))

    def test_unknown_slot_is_a_command_error(self):
        result = self.run_host(['RUN_STEPPER STEPPER=9'])
        self.assertFalse(result.shut_down(), klipper_host.fail_message(result))
        self.assertIn("no slot feeder 'feedlane slot9'", result.text())
