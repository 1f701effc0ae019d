# The box's commands in the real host answer as they do in feedbox: the normal answer of
# each, and its error answer as a command error that leaves the host running.
import re
import subprocess

from scenario import HostScenario
import klipper_host
import mcu_output

WRAPPING = ('// Code:ZKE_004_013; Message:Detected wrapping filament,please check the '
            'filament.')
WRAPPING_ADVICE = ('// What to do (ZKE_004_013): Unwind the spool so that the filament runs '
                   'freely. TRY_MOVE_AGAIN only forgets the step; nothing moves, and a paused '
                   'print stays paused until RESUME. BOX_ERROR_HELP explains it.')
SENSORS_NOW = re.compile(r'// Sensors now: box outlet (sees filament|clear), extruder entry '
                         r'(sees filament|clear)\. Its record: .*box_record_\d+\.jsonl '
                         r'\(feedbox replay shows where the filament went\)\.')

# Commands that move no slot motor, in one run, with the answer of each.
ANSWERS = [
    ('MOTION_TIPS', [WRAPPING, WRAPPING_ADVICE, SENSORS_NOW]),
    ('SAVE_VARIABLE VARIABLE=value_t0 VALUE="\'slot1\'"', []),
    ('BOX_TEMP_SET VT0=200',
     ["// Box 1 heats to 55 C, not 200 C: the filament table's box_max_temp allows no more for "
      "1A, 1B, 1C, 1D, which carry no description and count as PLA (describe them with "
      "BOX_SET_SLOT or read their tags with RFID_READ)"]),
    ('DISABLE_BOX_HEATER BOX=1', []),
    ('ENABLE_BOX_DRY BOX=1 TEMP=50 END_TIME=1',
     ['// BOX_DRY started for BOX 1',
      '// Drying box 1 at 50 C for 1 h 00 min, turning its filament over every 5 min: '
      'DISABLE_BOX_DRY BOX=1 stops it.']),
    ('DISABLE_BOX_DRY BOX=1', ['// DISABLE_BOX_DRY for BOX 1']),
    ('DISABLE_BOX_DRY BOX=1', ['// No active heating for BOX 1']),
    # MOTION_TIPS recorded its code as the step to retry.
    ('TRY_MOVE_AGAIN', ['// Step ZKE_004_013 concerns no particular slot and has no automatic '
                        'retry; clear its cause as its message says, then carry on by hand']),
    ('CLEAR_RUNOUT_NUM', []),
    ('TOOL_CHANGE_START F=1 T=0', []),
    # value_t0 above gave tool 0 the slot of tool 1; nothing was loaded, so nothing stayed in
    # (whether the entry sees filament depends on the hall sensor's reading in batch mode).
    ('TOOL_CHANGE_END', [re.compile(
        r'// The tool change to T0 ended, but 1B is not in the extruder \(no slot is loaded'
        r'(, the extruder entry is empty)?\); load it with T0 before printing on\.')]),
]


def answered(got, answer):
    """The lines `got` are those of `answer`, each its text or matching its pattern."""
    return len(got) == len(answer) and all(
        want.fullmatch(line) if isinstance(want, re.Pattern) else want == line
        for line, want in zip(got, answer))

# Commands refused with a command error; the batch run ends at the first, so one run each.
ERRORS = [
    ('ENABLE_BOX_DRY BOX=7', "!! Error on 'ENABLE_BOX_DRY BOX=7': BOX must have maximum of 4"),
    ('RUN_STEPPER STEPPER=9',
     "!! RUN_STEPPER: no slot feeder 'feedlane slot9'; 'slot9' is not a configured slot."),
    ('SLOT_UNLOAD SLOT=slot9', "!! The value 'slot9' is not valid for SLOT"),
    ('EXTRUDER_LOAD', "!! Error on 'EXTRUDER_LOAD': missing SLOT"),
    ('TIGHTEN_FILAMENT T=4', '!! T4 uses 2A (slot4), which is not a configured slot'),
    ('E_LOAD SLOT=20', '!! E_LOAD: SLOT=20 names no slot; give its label (1A to 4D), its name '
     '(slot0 to slot15) or its number (0 to 15)'),
    ('RELOAD_ALL FIRST=-1', "!! Error on 'RELOAD_ALL FIRST=-1': FIRST must have minimum of 0"),
]


class Commands(HostScenario):
    def test_answers_as_in_feedbox(self):
        lines = [line for line, _answer in ANSWERS]
        result = self.run_host(lines)
        self.assertRanCleanly(result)
        for index, (line, answer) in enumerate(ANSWERS):
            nth = [l for l, _a in ANSWERS[:index]].count(line)
            got = [r for r in klipper_host.responses_of(result, line, nth)
                   if r != 'ok' and not r.startswith('// Klipper state')]
            self.assertTrue(answered(got, answer), '%s: %r' % (line, got))
        self.assertEqual(result.saved_variables().get('value_t0'), 'slot1')
        # The simulator answers the same lines with the same lines.
        command = [self.feedbox, 'run', '--settle', '5']
        for line in lines:
            command += ['-c', line]
        simulated = subprocess.run(command, stdout=subprocess.PIPE, check=True, text=True)
        expected = [r for _line, answer in ANSWERS for r in answer]
        self.assertTrue(answered(simulated.stdout.splitlines(), expected),
                        simulated.stdout)

    def test_errors_are_command_errors(self):
        for line, error in ERRORS:
            with self.subTest(line=line):
                result = self.run_host([line], suffix='-' + line.split()[0])
                self.assertFalse(result.shut_down(), klipper_host.fail_message(result))
                self.assertNotIn('Internal error', result.log)
                errors = [r for r in klipper_host.responses_of(result, line)
                          if r.startswith('!!')]
                self.assertEqual(len(errors), 1, result.text())
                self.assertTrue(errors[0].startswith(error), errors[0])
                # Nothing moved.
                lines = mcu_output.decode(self.paths.klipper, self.paths.dictionary,
                                          result.serial_file('mcu_box1'))
                self.assertFalse([l for l in lines if l.startswith('queue_step')])
