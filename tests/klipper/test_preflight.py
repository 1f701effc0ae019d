# The pre-flight check in the real host: it reads a file of the host's print folder, says
# what each tool's slot holds against the plan, and a bad file or a refused check is a
# command error that leaves the host running.
from scenario import HostScenario
import klipper_host

PRINT = ('; filament_type = PETG;PLA\n; filament_colour = #FF0000;#FFFFFF\n'
         'T0\nG1 X1\nTOOL_CHANGE_START F=0 T=1\nTOOL_CHANGE_END\n')
FILES = {'printer_data/gcodes/two.gcode': PRINT}
SAVED = {'filament_slot0': 1, 'color_slot0': 3, 'value_t1': 'slot0'}


class Preflight(HostScenario):
    def test_warns_of_a_mismatch_and_refuses_when_asked(self):
        line = 'BOX_PREFLIGHT FILE=two.gcode'
        refused = 'BOX_PREFLIGHT FILE=two.gcode ON_FAIL=error'
        result = self.run_host([line, refused], saved=SAVED, files=FILES)
        self.assertFalse(result.shut_down(), klipper_host.fail_message(result))
        self.assertNotIn('Internal error', result.log)
        text = '\n'.join(klipper_host.responses_of(result, line))
        self.assertIn('T0 (slot 1A) holds PLA but the print plans PETG', text)
        self.assertIn('T1 (slot 1A) holds red #FF0000 but the print plans #FFFFFF', text)
        self.assertIn('Pre-flight: FAIL: T0, T1 not ready', text)
        errors = [r for r in klipper_host.responses_of(result, refused) if r.startswith('!!')]
        self.assertEqual(errors, ['!! Pre-flight: FAIL: T0, T1 not ready; see above what to do '
                                  '(BOX_PREFLIGHT ON_FAIL=error)'])

    def test_a_bad_file_is_a_command_error(self):
        for line, error in [('BOX_PREFLIGHT FILE=nothing.gcode',
                             "!! BOX_PREFLIGHT: no file 'nothing.gcode' in the print folder"),
                            ('BOX_PREFLIGHT FILE=../printer.cfg', '!! BOX_PREFLIGHT FILE='),
                            ('BOX_PREFLIGHT', "!! Error on 'BOX_PREFLIGHT': missing FILE")]:
            with self.subTest(line=line):
                result = self.run_host([line], suffix='-%d' % len(line))
                self.assertFalse(result.shut_down(), klipper_host.fail_message(result))
                errors = [r for r in klipper_host.responses_of(result, line)
                          if r.startswith('!!')]
                self.assertEqual(len(errors), 1, result.text())
                self.assertTrue(errors[0].startswith(error), errors[0])
