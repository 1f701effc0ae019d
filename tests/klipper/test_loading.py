# The embedded printer, without what only the simulator has, starts in the real host with
# every box module and its objects in place.
from scenario import HostScenario
import klipper_host


class OneBox(HostScenario):
    boxes = 1

    def test_starts_and_reports_the_box_objects(self):
        result = self.run_host(['MOTION_TIPS', 'SAVE_VARIABLE VARIABLE=probe VALUE=5',
                                'TEST_OBJECTS'])
        self.assertRanCleanly(result)
        objects = klipper_host.responses_of(result, 'TEST_OBJECTS')
        for name in ('feedhub', 'feedlane slot0', 'feedlane slot3', 'feedscan'):
            self.assertIn('object ' + name, objects)
        self.assertEqual(result.saved_variables().get('probe'), 5)
        self.assertIn('// Code:ZKE_004_013; Message:Detected wrapping filament,please check the '
                      'filament.', klipper_host.responses_of(result, 'MOTION_TIPS'))


class TwoBoxes(HostScenario):
    boxes = 2

    def test_starts_with_eight_slots(self):
        result = self.run_host(['TEST_OBJECTS'])
        self.assertRanCleanly(result)
        self.assertIn('object feedlane slot7', klipper_host.responses_of(result, 'TEST_OBJECTS'))

    def test_box_two_has_a_heater_that_dries(self):
        result = self.run_host(['ENABLE_BOX_DRY BOX=2 TEMP=50 DURATION=1', 'DISABLE_BOX_DRY BOX=2'])
        self.assertRanCleanly(result)
        self.assertIn('// BOX_DRY started for BOX 2',
                      klipper_host.responses_of(result, 'ENABLE_BOX_DRY BOX=2 TEMP=50 DURATION=1'))

