# The embedded printer, without what only the simulator has, starts in the real host with
# every box module and its objects in place.
from scenario import HostScenario
import klipper_host


class OneBox(HostScenario):
    boxes = 1

    def test_starts_and_reports_the_box_objects(self):
        result = self.run_host(['MOTION_TIPS', 'SAVE_VARIABLE VARIABLE=probe VALUE=5'])
        self.assertRanCleanly(result)
        for name in ('feedhub', 'feedlane slot0', 'feedlane slot3', 'feedscan'):
            self.assertIn("'%s'" % name, result.log, 'object %s not loaded' % name)
        self.assertEqual(result.saved_variables().get('probe'), 5)
        self.assertTrue(klipper_host.responses_of(result, 'MOTION_TIPS'), result.text())


class TwoBoxes(HostScenario):
    boxes = 2

    def test_starts_with_eight_slots(self):
        result = self.run_host(['MOTION_TIPS'])
        self.assertRanCleanly(result)
        self.assertIn('feedlane slot7', result.log)
