# Box operations that succeed in the real host say so in one line each, naming the slot and
# how long they took; a failed one says its error and nothing else.
import re

from scenario import HostScenario, option
import klipper_host

DURATION = r'([0-9]+\.[0-9] s|[0-9]+ min [0-9]{2} s|[0-9]+ h [0-9]{2} min)'


def success(what):
    return re.compile('// %s in %s\\.' % (re.escape(what), DURATION))


class SuccessLines(HostScenario):
    def outlet_clear(self, clear=1):
        mcu, pin = option(self.sections, 'feedhub', 'b_button_pin').lstrip('^~!').split(':')
        return 'TEST_BUTTON MCU=%s PIN=%s STATE=%d' % (mcu, pin, clear)

    def answers(self, result, line, nth=0):
        return [r for r in klipper_host.responses_of(result, line, nth)
                if r != 'ok' and not r.startswith('// Klipper state')]

    def assertSaid(self, result, line, patterns, nth=0):
        got = self.answers(result, line, nth)
        self.assertEqual(len(got), len(patterns), '%s: %r' % (line, got))
        for answer, pattern in zip(got, patterns):
            self.assertRegex(answer, pattern, line)

    def test_a_slot_load_and_an_extruder_load_say_their_success(self):
        # Without a box the homings end at once or run out, and no sensor changes in the
        # middle of a command: the outlet is made clear for the box load.
        result = self.run_host(
            [self.outlet_clear(), 'RELOAD_ALL', 'SLOT_UNLOAD SLOT=slot1', 'M400'],
            saved={'box_count': 1, 'auto_read_rfid': 0, 'slot0': 3, 'slot1': 1})
        self.assertRanCleanly(result)
        self.assertSaid(result, 'RELOAD_ALL', [success('Loaded 1A into the box')])
        self.assertSaid(result, 'SLOT_UNLOAD SLOT=slot1', [success('Unloaded 1B to its sensor')])
        # The extruder load starts where a load left 1A's strand in the outlet path (the
        # outlet sensor reads filament unless told otherwise), and the hall sensor sees it
        # at the entry, where its push through the tube brings it. An entry that sees
        # filament while the load's own strand is still in the box is another strand's.
        result = self.run_host(['TEST_HALL DIAMETER=1.75', 'EXTRUDER_LOAD SLOT=slot0', 'M400'],
                               saved={'box_count': 1, 'slot0': 1, 'last_load_slot': 'slot0'})
        self.assertRanCleanly(result)
        self.assertSaid(result, 'EXTRUDER_LOAD SLOT=slot0', [success('Loaded 1A into the extruder')])
        saved = result.saved_variables()
        self.assertEqual((saved.get('slot0'), saved.get('slot_sync')), (2, 'slot0'))

    def test_a_failed_load_says_its_error_and_no_success(self):
        # The outlet reads as occupied by another slot's filament: the load fails at once.
        result = self.run_host(['EXTRUDER_LOAD SLOT=slot0', 'M400'],
                               saved={'box_count': 1, 'slot0': 1})
        self.assertRanCleanly(result)
        answers = self.answers(result, 'EXTRUDER_LOAD SLOT=slot0')
        # The report, and the advice and sensor lines that follow it.
        self.assertEqual(answers[:1], ['// Code:ZKE_004_006; Message:Extruder loading failure.'])
        self.assertTrue(all(a.startswith(('// What to do (ZKE_004_006)', '// Sensors now: '))
                            for a in answers[1:]), answers)
        self.assertFalse([a for a in answers if re.search(' in %s' % DURATION, a)], answers)
