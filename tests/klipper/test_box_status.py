# The box's picture in the real host: the status keys reach the host's status reporting
# through the bridge (as JSON for front ends, and in macros), BOX_STATUS draws them, and
# BOX_MAP_TOOL, BOX_SET_SLOT, LOAD_TOOL and T0-T15 work as in feedbox. Without a box in
# batch mode every load fails, which shows the slot it was meant for.
import json

from scenario import HostScenario
import klipper_host

# A front end's panel in a macro: the status keys as the host's templates see them.
SHOW_BOX = ('[gcode_macro SHOW_BOX]\ngcode:\n'
            '  TEST_MARK TEXT="{printer.feedhub.slots[1].label} '
            "{printer['feedlane slot1'].filament_name} {printer['feedlane slot1'].color_name} "
            '{printer.feedhub.tool_map[3]} {printer.feedhub.last_error.code}"\n')


def answer_of(result, line, nth=0):
    """The lines `line` answered, without the host's "ok"."""
    return [r for r in klipper_host.responses_of(result, line, nth) if r != 'ok']


def status_of(result, line, nth=0):
    """The JSON status TEST_STATUS answered for `line`."""
    for response in klipper_host.responses_of(result, line, nth):
        if response.startswith('status '):
            return json.loads(response[len('status '):])
    raise AssertionError('no status for %s:\n%s' % (line, result.text()))


class BoxStatus(HostScenario):
    def test_status_keys_reach_front_ends_and_macros(self):
        hub, lane = 'TEST_STATUS OBJECT=feedhub', "TEST_STATUS OBJECT='feedlane slot1'"
        lines = [hub, lane, 'BOX_SET_SLOT SLOT=1B FILAMENT=petg COLOR=red',
                 'BOX_MAP_TOOL T=3 SLOT=slot1', lane, hub, 'SHOW_BOX']
        result = self.run_host(lines, config=self.config + SHOW_BOX)
        self.assertRanCleanly(result)
        fresh = status_of(result, hub)
        for key in ('box_button_state', 'b_endstop_state', 'e_endstop_state', 'box_count',
                    'slots', 'tool_map', 'extruder_slot', 'action', 'last_error', 'boxes'):
            self.assertIn(key, fresh)
        self.assertEqual([s['label'] for s in fresh['slots']], ['1A', '1B', '1C', '1D'])
        self.assertEqual(fresh['tool_map'], list(range(16)))
        self.assertEqual((fresh['action'], fresh['extruder_slot']), ('idle', -1))
        self.assertEqual(fresh['last_error']['code'], '')
        self.assertEqual(fresh['boxes'][0]['heater'], 'heater_box1')
        before = status_of(result, lane)
        self.assertEqual((before['runout_button'], before['rfid_state']), (0, 0))
        self.assertIsNone(before['filament'])

        self.assertEqual(answer_of(result, lines[2]),
                         ['// Slot 1B (slot1) holds PETG (filament 2), red (colour 3), vendor 1'])
        self.assertEqual(answer_of(result, lines[3]), ['// T3 now uses slot 1B (slot1) (was 1D)'])
        after = status_of(result, lane, 1)
        self.assertEqual((after['filament'], after['filament_name'], after['color'],
                          after['color_name'], after['vendor'], after['tools']),
                         (2, 'PETG', 3, 'red', 1, [1, 3]))
        self.assertEqual(status_of(result, hub, 1)['tool_map'][3], 1)
        saved = result.saved_variables()
        self.assertEqual((saved['filament_slot1'], saved['color_slot1'], saved['vendor_slot1'],
                          saved['value_t3']), (2, 3, 1, 'slot1'))
        self.assertIn('== 1B PETG red 1 ', result.responses)

    def test_box_status_and_the_last_error_follow_a_failed_load(self):
        hub = 'TEST_STATUS OBJECT=feedhub'
        lines = ['BOX_STATUS', 'LOAD_TOOL T=1', 'BOX_STATUS', hub]
        result = self.run_host(lines)
        self.assertRanCleanly(result)
        fresh = answer_of(result, 'BOX_STATUS')
        self.assertTrue(fresh[0].startswith('// Box 1: heater '), fresh)
        self.assertIn('// 1B   yes    inserted, not loaded  ?         ?            ?       T1',
                      fresh)
        self.assertEqual(fresh[-2:], ['// Doing: nothing', '// Last error: none'])
        failed = answer_of(result, 'BOX_STATUS', 1)
        self.assertIn('// 1B   yes    extruder move failed  ?         ?            ?       T1',
                      failed)
        self.assertTrue(failed[-1].startswith('// Last error: ZKE_004_006 (1B), '), failed)
        error = status_of(result, hub)['last_error']
        self.assertEqual((error['code'], error['slot'], error['label'], error['retry_pending'],
                          error['retry_step']), ('ZKE_004_006', 1, '1B', True, 'ZKE_004_006_1'))
        self.assertIsInstance(error['time'], float)


class ToolMap(HostScenario):
    def test_load_tool_and_tool_macros_load_the_mapped_slot_also_on_a_fresh_box(self):
        failed_in_the_tube = {'last_load_slot': 'slot1', 'slot1': -2}
        for lines, saved, step in [
                (['LOAD_TOOL T=1'], None, 'ZKE_004_006_1'),
                (['T2'], None, 'ZKE_004_006_2'),
                (['BOX_MAP_TOOL T=0 SLOT=1D', 'LOAD_TOOL T=0'], None, 'ZKE_004_006_3'),
                (['BOX_MAP_TOOL T=9 SLOT=2', 'T9'], None, 'ZKE_004_006_2'),
                # The tool's slot failed to load in the tube: T1 tries again, and with the
                # filament past the outlet (as batch mode reads it) the load goes through.
                (['T1'], failed_in_the_tube, None)]:
            with self.subTest(lines=lines, saved=saved):
                result = self.run_host(lines, saved=saved, suffix='-%s-%d' % (
                    lines[-1].replace(' ', '-'), saved is not None))
                self.assertRanCleanly(result)
                self.assertNotIn('Error evaluating', result.text())
                saved_after = result.saved_variables()
                if step is None:
                    self.assertEqual((saved_after['slot1'], saved_after['slot_sync']),
                                     (2, 'slot1'))
                    continue
                self.assertIn('// Code:ZKE_004_006; Message:Extruder loading failure.',
                              klipper_host.responses_of(result, lines[-1]))
                self.assertEqual(saved_after.get('retry_step'), step)

    def test_bad_input_is_refused_and_saves_nothing(self):
        cases = [
            ('BOX_MAP_TOOL T=16 SLOT=1A',
             "!! Error on 'BOX_MAP_TOOL T=16 SLOT=1A': T must have maximum of 15"),
            ('BOX_MAP_TOOL T=1 SLOT=2A',
             '!! BOX_MAP_TOOL: slot 2A (slot4) has no [feedlane slot4] section in the printer '
             'configuration. Configured: 1A, 1B, 1C, 1D'),
            ('BOX_MAP_TOOL T=1 SLOT=5A', '!! BOX_MAP_TOOL: SLOT=5A names no slot; '),
            ('BOX_SET_SLOT SLOT=1A FILAMENT=42 COLOR=red',
             '!! BOX_SET_SLOT: FILAMENT=42 is not in the filament table '),
            ('BOX_SET_SLOT SLOT=1A FILAMENT=PLA COLOR=chartreuse',
             '!! BOX_SET_SLOT: COLOR=chartreuse is no colour of the box; '),
        ]
        for line, error in cases:
            with self.subTest(line=line):
                result = self.run_host([line], saved={'probe': 1},
                                       suffix='-%d' % cases.index((line, error)))
                self.assertFalse(result.shut_down(), klipper_host.fail_message(result))
                errors = [r for r in klipper_host.responses_of(result, line)
                          if r.startswith('!!')]
                self.assertEqual(len(errors), 1, result.text())
                self.assertTrue(errors[0].startswith(error), errors[0])
                self.assertEqual(result.saved_variables(), {'probe': 1})
