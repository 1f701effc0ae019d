# Starts from the states users leave their printers in (a slot loaded, a print paused by a
# failed step, drying, a tool map, two boxes, a hand-edited file), then RESTART and
# FIRMWARE_RESTART: every start reaches Ready, keeps what was saved and couples again the
# slot that followed the extruder.
from scenario import HostScenario
import klipper_host

# Saved values the box rewrites on its own when they name nothing it has.
REWRITTEN = ('retry_step',)


class UserStates(HostScenario):
    boxes = 1

    def coupled(self, host):
        for line in host.command('TEST_COUPLED'):
            if 'coupled' in line:
                return line.split('coupled', 1)[1].split()
        self.fail('no answer to TEST_COUPLED')

    def check_starts(self, saved, coupled, before=(), suffix=''):
        host = self.interactive(saved=saved, suffix=suffix)
        host.wait_ready()
        for line in before:
            host.command(line)
        self.assertEqual(self.coupled(host), coupled, 'first start')
        for command in ('RESTART', 'FIRMWARE_RESTART'):
            host.command(command, timeout=30)
            host.wait_ready()
            self.assertEqual(self.coupled(host), coupled, 'after ' + command)
            self.assertIn('// Klipper state: Ready', host.command('STATUS'))
        log = host.log()
        host.close()
        self.assertNotIn('Transition to shutdown state', log, log[-3000:])
        self.assertNotIn('Internal error', log, log[-3000:])
        after = klipper_host.read_saved_variables(host.folder + '/' +
                                                  klipper_host.SAVED_VARIABLES)
        for key, value in saved.items():
            if key not in REWRITTEN:
                self.assertEqual(after.get(key), value, key)
        return after

    def test_a_loaded_slot_is_coupled_again_after_every_start(self):
        self.check_starts({'box_count': 1, 'slot0': 1, 'slot1': 2, 'slot_sync': 'slot1',
                           'last_load_slot': 'slot1'}, ['feedlane', 'slot1'])

    def test_a_print_paused_by_a_failed_load_keeps_its_step(self):
        after = self.check_starts({'box_count': 1, 'slot1': -2, 'slot_sync': 'slot-1',
                                   'last_load_slot': 'slot1', 'retry_step': 'ZKE_004_006_1'},
                                  [])
        self.assertEqual(after.get('retry_step'), 'ZKE_004_006_1')

    def test_drying_ends_with_a_restart_and_the_loaded_slot_stays_coupled(self):
        self.check_starts({'box_count': 1, 'slot2': 2, 'slot_sync': 'slot2',
                           'last_load_slot': 'slot2'}, ['feedlane', 'slot2'],
                          before=['ENABLE_BOX_DRY BOX=1 TEMP=50 END_TIME=1'])

    def test_a_tool_map_and_spool_data_are_kept(self):
        self.check_starts({'box_count': 1, 'value_t0': 'slot2', 'value_t1': 'slot0',
                           'filament_slot2': 3, 'color_slot2': 5, 'vendor_slot2': 1,
                           'slot2': 1}, [])

    def test_saved_values_of_the_wrong_type_or_range_start_without_harm(self):
        after = self.check_starts({'box_count': 9, 'slot0': 'abc', 'slot1': 7.5,
                                   'slot_sync': 5, 'value_t0': 'slot99', 'retry_step': 42,
                                   'last_load_slot': None}, [])
        # A coupling to no slot is reported, as a failed step to retry.
        self.assertTrue(str(after.get('retry_step')).startswith('ZKE_004_'), after)


class TwoBoxStates(UserStates):
    boxes = 2

    # The one-box states again are not needed: the second box adds its own.
    test_a_print_paused_by_a_failed_load_keeps_its_step = None
    test_drying_ends_with_a_restart_and_the_loaded_slot_stays_coupled = None
    test_a_tool_map_and_spool_data_are_kept = None
    test_saved_values_of_the_wrong_type_or_range_start_without_harm = None
    test_a_loaded_slot_is_coupled_again_after_every_start = None

    def test_slots_of_both_boxes_loaded_and_parked(self):
        self.check_starts({'box_count': 2, 'slot0': 1, 'slot3': 1, 'slot4': 1, 'slot5': 2,
                           'slot_sync': 'slot5', 'last_load_slot': 'slot5'},
                          ['feedlane', 'slot5'])


class PrintFlow(HostScenario):
    def extrude_factor(self, host):
        host.command('TEST_STATUS OBJECT=gcode_move')
        import json
        with open(host.folder + '/responses.txt') as f:
            lines = [l for l in f.read().splitlines() if l.startswith('status ')]
        return json.loads(lines[-1][len('status '):])['extrude_factor']

    def test_the_width_sensor_never_changes_the_flow_the_user_set(self):
        import time
        host = self.interactive()
        host.wait_ready()
        host.command('M221 S95')
        # A reading inside the sensor's range: the host would set M221 S120 from it.
        host.command('TEST_HALL DIAMETER=1.6')
        time.sleep(2.5)
        self.assertAlmostEqual(self.extrude_factor(host), 0.95)
        self.assertNotIn('Transition to shutdown state', host.log())
