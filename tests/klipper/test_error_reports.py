# A failed box step in the real host: the report is followed by what to do, BOX_ERROR_HELP
# explains it, and a failure during a print reaches the places front ends read (an error
# line, the display message, an action:prompt dialog) until the step is cleared. Without a
# box in batch mode every extruder load fails, which gives the failure.
import json

from scenario import HostScenario
import klipper_host


def display_message(result, nth):
    """The display_status message TEST_STATUS answered the nth time."""
    for response in klipper_host.responses_of(result, 'TEST_STATUS OBJECT=display_status', nth):
        if response.startswith('status '):
            return json.loads(response[len('status '):])['message']
    raise AssertionError('no display status:\n%s' % result.text())


class ErrorReports(HostScenario):
    def test_a_report_says_what_to_do_and_box_error_help_explains_it(self):
        lines = ['BOX_ERROR_HELP', 'EXTRUDER_LOAD SLOT=slot1', 'BOX_ERROR_HELP',
                 'BOX_ERROR_HELP CODE=ZKE_004_003', 'BOX_ERROR_HELP CODE=12']
        result = self.run_host(lines)
        # Batch mode ends with a failure status after a command error: no shutdown is what
        # counts.
        self.assertFalse(result.shut_down(), klipper_host.fail_message(result))
        self.assertIn('// No box step is waiting for a retry.',
                      ' '.join(klipper_host.responses_of(result, lines[0])))
        load = klipper_host.responses_of(result, lines[1])
        report = load.index('// Code:ZKE_004_006; Message:Extruder loading failure.')
        self.assertTrue(load[report + 1].startswith(
            '// What to do (ZKE_004_006): Check the tube'), load)
        self.assertIn('loads 1B into the extruder again', load[report + 1])
        self.assertFalse([r for r in load if 'Print paused by the box' in r or 'action:' in r],
                         'no print runs: nothing to announce')
        pending = '\n'.join(klipper_host.responses_of(result, lines[2], 1))
        self.assertIn('// ZKE_004_006 (information): Extruder loading failure.', pending)
        self.assertIn('// What happened: The filament of 1B did not reach', pending)
        self.assertIn('// ZKE_004_003 (warning): Slot unloading failure, please unload the slot '
                      'again.',
                      klipper_host.responses_of(result, lines[3]))
        self.assertTrue([r for r in klipper_host.responses_of(result, lines[4])
                         if r.startswith("!! BOX_ERROR_HELP: '12' is no box error code")])

    def test_a_failure_during_a_print_shows_why_until_the_step_is_cleared(self):
        status = 'TEST_STATUS OBJECT=display_status'
        # Batch mode stops at a command error: the refused RESUME comes last.
        lines = ['TEST_PRINT_STARTED', 'EXTRUDER_LOAD SLOT=slot1', status, 'BOX_CLEAR_ERROR',
                 status, 'EXTRUDER_LOAD SLOT=slot1', 'RESUME']
        result = self.run_host(lines)
        # Batch mode ends with a failure status after a command error: no shutdown is what
        # counts.
        self.assertFalse(result.shut_down(), klipper_host.fail_message(result))
        load = klipper_host.responses_of(result, lines[1])
        self.assertIn('!! Print paused by the box. ZKE_004_006 at 1B: Extruder loading failure. '
                      'Fix the cause, then run TRY_MOVE_AGAIN (BOX_ERROR_HELP explains it).', load)
        for line in ('// action:prompt_begin Box paused the print',
                     '// action:prompt_footer_button Retry|TRY_MOVE_AGAIN|primary',
                     '// action:prompt_show'):
            self.assertIn(line, load)
        self.assertEqual(display_message(result, 0),
                         'Box paused: ZKE_004_006 at 1B: Extruder loading failure.')
        # Said once, though RESUME is a macro: the host names the macro that raised it.
        self.assertEqual(len([r for r in klipper_host.responses_of(result, 'RESUME')
                              if r.startswith('!! ') and
                              'Not resuming: box step ZKE_004_006_1 failed' in r]), 1)
        self.assertIn('// action:prompt_end', klipper_host.responses_of(result, 'BOX_CLEAR_ERROR'))
        self.assertIsNone(display_message(result, 1))
