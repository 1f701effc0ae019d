# What every real-host scenario shares: the prepared host, the embedded printer as the
# real host gets it, and runs in folders named after the scenario.
import os
import re
import unittest

import klipper_host
import printer_config


class HostScenario(unittest.TestCase):
    boxes = 1

    @classmethod
    def setUpClass(cls):
        cls.paths = klipper_host.Paths()
        klipper_host.prepare_host(cls.paths)
        cls.feedbox = os.environ['FEEDBOX_FEEDBOX']
        cls.sections = printer_config.real_host_sections(cls.feedbox, cls.boxes)
        cls.config = printer_config.join_sections(cls.sections)

    def folder(self, suffix=''):
        name = self.id().split('.', 1)[-1].replace('.', '-') + suffix
        return os.path.join(self.paths.scratch, 'runs', name)

    def run_host(self, lines, saved=None, config=None, suffix='', files=None):
        return klipper_host.run_batch(self.paths, self.folder(suffix),
                                      config if config is not None else self.config,
                                      lines, saved=saved, files=files)

    def interactive(self, saved=None, config=None, suffix='', env=None):
        host = klipper_host.InteractiveHost(self.paths, self.folder(suffix),
                                            config if config is not None else self.config,
                                            saved=saved, env=env)
        self.addCleanup(host.close)
        return host

    def assertRanCleanly(self, result):
        """The host read the whole file and exited without a shutdown."""
        message = klipper_host.fail_message(result)
        self.assertFalse(result.shut_down(), message)
        self.assertNotIn('Config error', result.log, message)
        self.assertEqual(result.returncode, 0, message)


def option(sections, section, key):
    """The value of `key` in `section` of a configuration split into sections."""
    for name, lines in sections:
        if name == section:
            for line in lines:
                match = re.match(r'^%s\s*[:=]\s*(.*)$' % re.escape(key), line)
                if match:
                    return match.group(1).strip()
    raise KeyError('%s: %s' % (section, key))
