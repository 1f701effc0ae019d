# The black-box recorder in the real host: BOX_RECORD_DUMP and every error report write the
# box's recent history as JSON lines into printer_data/logs, and the host runs on.
import glob
import json
import os

from scenario import HostScenario
import klipper_host


def dumps_of(result):
    folder = os.path.join(result.folder, 'printer_data', 'logs')
    return sorted(glob.glob(os.path.join(folder, 'box_record_*.jsonl')))


def records_of(path):
    with open(path) as f:
        return [json.loads(line) for line in f if line.strip()]


class BlackBox(HostScenario):
    def test_a_dump_on_request_and_one_per_error_report(self):
        lines = ['BOX_RECORD_DUMP REASON=asked', 'MOTION_TIPS', 'RUN_STEPPER STEPPER=0']
        result = self.run_host(lines, saved={'box_count': 1})
        self.assertRanCleanly(result)
        self.assertNotIn('Could not write the box record', result.log)
        asked = klipper_host.responses_of(result, lines[0])
        self.assertTrue(any('Box record written to ' in r for r in asked), asked)
        dumps = dumps_of(result)
        self.assertEqual(len(dumps), 2, dumps)

        first = records_of(dumps[0])
        self.assertEqual(first[0]['record'], 'header')
        self.assertEqual(first[0]['reason'], 'asked')
        self.assertEqual(first[1]['slots'], ['slot0', 'slot1', 'slot2', 'slot3'])
        self.assertEqual(first[2]['values']['box_count'], '1')

        # The error's record holds the command that raised it, the report and its step.
        second = records_of(dumps[1])
        self.assertEqual(second[0]['reason'], 'ZKE_004_013_00')
        events = second[4:]
        commands = [e['line'] for e in events if e['record'] == 'command']
        self.assertIn('MOTION_TIPS', commands)
        errors = [e for e in events if e['record'] == 'error']
        self.assertEqual([e['step'] for e in errors], ['ZKE_004_013'])
        self.assertEqual(second[2]['values']['retry_step'], "'ZKE_004_013_00'")

    def test_feed_moves_reach_the_record(self):
        lines = ['RUN_STEPPER STEPPER=0', 'BOX_RECORD_DUMP']
        result = self.run_host(lines, saved={'box_count': 1})
        self.assertRanCleanly(result)
        records = records_of(dumps_of(result)[-1])
        moves = [e for e in records if e['record'] == 'move']
        self.assertEqual([(m['slot'], m['distance']) for m in moves], [(0, -50.0)])
        self.assertGreater(moves[0]['end'], moves[0]['start'])
        ends = [e for e in records if e['record'] == 'command_end']
        self.assertTrue(ends and ends[0]['ok'], records)
