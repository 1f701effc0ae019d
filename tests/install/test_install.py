#!/usr/bin/python3
# The install as a user makes it: scripts/install into a copy of a Klipper checkout, with a
# klippy-env virtualenv made from /usr/bin/python3, a base folder holding a printer.cfg and a
# moonraker.conf; the host then starts in batch mode from that printer.cfg (which only got
# the include line) and runs box commands; the uninstall must leave Klipper's checkout, its
# git status, moonraker.conf and printer.cfg as they were and keep the user's data.
#
#   tests/install/test_install.py --klipper DIR [--klipper DIR ...] [--build build-printer]
#
# Each checkout is tried with the base folder /home/zur (in a private mount namespace, where
# /home is a scratch folder; skipped where the system allows none) and with another one.
import argparse
import glob
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(REPO, 'tests', 'klipper'))
INSTALL = os.path.join(REPO, 'scripts', 'install')
ARGS = None  # the command line, set by main()

# What an upstream checkout ignores; the snapshots carry only klippy/ and dict/, and the
# host writes its compiled helper and bytecode into the checkout as it starts.
UPSTREAM_GITIGNORE = 'out\n*.so\n*.pyc\n.config\n.config.old\nklippy/.version\n'
MOONRAKER_CONF = '[server]\nhost: 0.0.0.0\n\n[update_manager]\nrefresh_interval: 168\n'
SAVE_CONFIG_BLOCK = ('#*# <---------------------- SAVE_CONFIG ---------------------->\n'
                     '#*# DO NOT EDIT THIS BLOCK OR BELOW. The contents are auto-generated.\n'
                     '#*#\n#*# [idle_timeout]\n#*# timeout = 900\n')


def run(command, **kwargs):
    return subprocess.run(command, check=True, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, universal_newlines=True, **kwargs).stdout


def git(checkout, *args):
    return run(['git', '-C', checkout, '-c', 'user.name=test', '-c', 'user.email=test@invalid']
               + list(args))


def copy_checkout(source, target):
    """A writable copy; one that is not a git checkout becomes one, as on a printer."""
    shutil.copytree(source, target, symlinks=True)
    run(['chmod', '-R', 'u+w', target])
    if subprocess.run(['git', '-C', source, 'rev-parse', '--git-dir'], stdout=subprocess.DEVNULL,
                      stderr=subprocess.DEVNULL).returncode != 0:
        with open(os.path.join(target, '.gitignore'), 'w') as f:
            f.write(UPSTREAM_GITIGNORE)
        git(target, 'init', '-q')
        git(target, 'add', '-A')
        git(target, 'commit', '-qm', 'snapshot')


def users_printer_cfg():
    """The printer's own sections of config/printer.cfg for the Linux-process MCU, as a user
    has them before the install: no box section, a SAVE_CONFIG block at the end."""
    import printer_config
    with open(os.path.join(REPO, 'config', 'printer.cfg')) as f:
        sections = printer_config.split_sections(f.read())
    sections = [s for s in sections if not s[0].startswith('include ')]
    printer_config.translate_pins(sections)
    if not printer_config.host_has_flow_switch():
        printer_config.remove_option(sections, 'hall_filament_width_sensor',
                                     'enable_flow_compensation')
    return printer_config.join_sections(sections) + SAVE_CONFIG_BLOCK


def plug_in_box(config_dir, base):
    """What box detection does when box 1 is plugged in, with the box's sections made fit
    for the Linux-process MCU (no card readers: they need the box firmware)."""
    import printer_config
    shutil.copy(os.path.join(base, 'cfg_with_1'), os.path.join(config_dir, 'box.cfg'))
    path = os.path.join(config_dir, 'box1.cfg')
    with open(path) as f:
        sections = printer_config.split_sections(f.read())
    sections = [s for s in sections if not s[0].startswith(printer_config.FIRMWARE_ONLY)]
    printer_config.translate_pins(sections)
    with open(path, 'w') as f:
        f.write(printer_config.join_sections(sections))
    with open(os.path.join(config_dir, 'saved_variables.cfg'), 'w') as f:
        f.write('[Variables]\nbox_count = 1\n\n')


def read(path):
    with open(path) as f:
        return f.read()


class Install(unittest.TestCase):
    klipper_source = None
    base = None  # the base folder; None: a scratch one

    def setUp(self):
        self.scratch = tempfile.mkdtemp(prefix='feedbox-install-')
        self.addCleanup(shutil.rmtree, self.scratch, ignore_errors=True)
        self.klipper = os.path.join(self.scratch, 'klipper')
        os.environ['FEEDBOX_KLIPPER'] = self.klipper_source
        copy_checkout(self.klipper_source, self.klipper)
        self.python = os.path.join(self.scratch, 'klippy-env', 'bin', 'python')
        run(['/usr/bin/python3', '-m', 'venv', '--system-site-packages',
             os.path.join(self.scratch, 'klippy-env')])
        if self.base:
            self.addCleanup(run, ['find', self.base, '-mindepth', '1', '-delete'])
        self.base = self.base or os.path.join(self.scratch, 'printer-home')
        self.config_dir = os.path.join(self.base, 'printer_data', 'config')
        os.makedirs(self.config_dir)
        self.files = {'moonraker.conf': MOONRAKER_CONF, 'printer.cfg': users_printer_cfg()}
        for name, text in self.files.items():
            with open(os.path.join(self.config_dir, name), 'w') as f:
                f.write(text)
        self.exclude = os.path.join(self.klipper, '.git', 'info', 'exclude')
        self.exclude_before = read(self.exclude) if os.path.exists(self.exclude) else None

    def install(self, *extra):
        return run([INSTALL, '--klipper', self.klipper, '--python', self.python,
                    '--base-folder', self.base, '--build-dir', ARGS.build,
                    '--install-dir', os.path.join(self.scratch, 'installed'),
                    '--no-packages', '--no-restart'] + list(extra))

    def run_host(self, lines):
        logs = os.path.join(self.base, 'printer_data', 'logs')
        os.makedirs(logs, exist_ok=True)
        gcode = os.path.join(self.scratch, 'test.gcode')
        with open(gcode, 'w') as f:
            f.write('\n'.join(lines) + '\n')
        dictionary = os.path.join(self.klipper, 'dict', 'linuxprocess.dict')
        proc = subprocess.run(
            [self.python, os.path.join(self.klipper, 'klippy', 'klippy.py'),
             os.path.join(self.config_dir, 'printer.cfg'), '-i', gcode,
             '-o', os.path.join(self.scratch, 'out.serial'), '-d', dictionary,
             '-d', 'mcu_box1=' + dictionary, '-l', os.path.join(logs, 'klippy.log')],
            cwd=self.scratch, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=300)
        log = read(os.path.join(logs, 'klippy.log'))
        self.assertEqual(proc.returncode, 0, log[-3000:] + proc.stdout.decode()[-2000:])
        self.assertNotIn('Transition to shutdown', log)
        return logs

    def test_install_run_and_uninstall(self):
        installed = self.install()
        self.assertIn('added [include box/box_macros.cfg]', installed)
        printer_cfg = read(os.path.join(self.config_dir, 'printer.cfg'))
        # One line (and its marker) before the block SAVE_CONFIG keeps last.
        self.assertEqual(printer_cfg.count('[include box/box_macros.cfg]'), 1)
        self.assertTrue(printer_cfg.endswith(SAVE_CONFIG_BLOCK))
        macros = read(os.path.join(self.config_dir, 'box', 'box_macros.cfg'))
        self.assertIn('filename: %s/printer_data/config/saved_variables.cfg' % self.base, macros)
        self.assertIn('path: %s/printer_data/gcodes' % self.base, macros)
        self.assertIn('base_folder: %s\n' % self.base, macros)
        self.assertEqual(git(self.klipper, 'status', '--porcelain'), '')

        # Run twice (an update): nothing is added twice, an edited data file is kept.
        table = os.path.join(self.config_dir, 'officiall_filas_list.cfg')
        self.assertIn('[fila1]', read(table))
        with open(table, 'a') as f:
            f.write('# edited\n')
        self.assertIn('kept      %s (already there)' % table, self.install())
        self.assertTrue(read(table).endswith('# edited\n'))
        self.assertEqual(read(os.path.join(self.config_dir, 'printer.cfg')), printer_cfg)
        moonraker = read(os.path.join(self.config_dir, 'moonraker.conf'))
        self.assertEqual(moonraker.count('[update_manager feedbox]'), 1)
        self.assertIn('install_script: scripts/install', moonraker)

        # No box yet, so no [feedhub]: the box still finds its base folder (from [feedscan]),
        # where box detection looks for the box files; its log shows it.
        logs = self.run_host(['GET_POSITION'])
        self.assertTrue(os.path.exists(os.path.join(logs, 'box.log')))

        plug_in_box(self.config_dir, self.base)
        # The included macros are there: an unknown command would end the run.
        logs = self.run_host(['MOTION_TIPS', 'RUN_STEPPER STEPPER=0', 'BOX_RECORD_DUMP', '_CG28',
                              'MOVE_TO_TRASH', 'SET_GCODE_VARIABLE MACRO=BOX_PRINT_CHECK '
                              'VARIABLE=on_fail VALUE="\'error\'"'])
        self.assertEqual(git(self.klipper, 'status', '--porcelain'), '')
        box_log = read(os.path.join(logs, 'box.log'))
        self.assertIn('Box record of ZKE_004_013_00 written to %s/box_record_' % logs, box_log)
        self.assertEqual(len(glob.glob(os.path.join(logs, 'box_record_*.jsonl'))), 2)

        # An edited macros file is the user's: an update keeps it, the uninstall too.
        macros_path = os.path.join(self.config_dir, 'box', 'box_macros.cfg')
        with open(macros_path, 'a') as f:
            f.write('# my change\n')
        self.assertIn('it was edited', self.install())
        self.assertTrue(read(macros_path).endswith('# my change\n'))
        self.assertTrue(os.path.exists(macros_path + '.new'))

        self.install('--uninstall')
        self.assertEqual(git(self.klipper, 'status', '--porcelain'), '')
        self.assertEqual(read(self.exclude) if os.path.exists(self.exclude) else None,
                         self.exclude_before)
        for name, text in self.files.items():
            self.assertEqual(read(os.path.join(self.config_dir, name)), text, name)
        self.assertEqual(glob.glob(os.path.join(self.klipper, 'klippy', 'extras', 'feed*')), [])
        self.assertTrue(read(macros_path).endswith('# my change\n'))
        self.assertIn('box_count', read(os.path.join(self.config_dir, 'saved_variables.cfg')))

    def test_an_unedited_macros_file_follows_updates_and_goes_with_the_uninstall(self):
        self.install()
        macros_path = os.path.join(self.config_dir, 'box', 'box_macros.cfg')
        with open(macros_path, 'w') as f:
            f.write('# as an older version wrote it\n')
        checksum = os.path.join(self.scratch, 'installed', 'box_macros.sha256')
        with open(checksum, 'w') as f:
            f.write(run(['sha256sum', macros_path]).split()[0] + '\n')
        self.install()
        self.assertIn('[gcode_macro T15]', read(macros_path))
        self.assertFalse(os.path.exists(macros_path + '.new'))
        self.install('--uninstall')
        self.assertFalse(os.path.exists(macros_path))
        self.assertTrue(os.path.exists(os.path.join(self.config_dir, 'box1.cfg')))


def in_private_home(argv):
    """Runs this script again in a mount namespace where /home is an empty scratch folder, so
    that the base folder /home/zur is the default one; None where that is not allowed."""
    command = ['unshare', '-m', 'sh', '-c',
               'mount -t tmpfs feedbox-home /home && mkdir /home/zur && exec "$@"', 'sh',
               sys.executable, os.path.abspath(__file__), '--in-private-home'] + argv
    probe = subprocess.run(['unshare', '-m', 'sh', '-c', 'mount -t tmpfs probe /mnt'],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if probe.returncode != 0:
        return None
    return subprocess.run(command).returncode


def suite_for(klipper, base):
    case = type('Install_%s_%s' % (os.path.basename(klipper.rstrip('/')),
                                   'home_zur' if base else 'other_base'),
                (Install,), {'klipper_source': klipper, 'base': base})
    return unittest.TestLoader().loadTestsFromTestCase(case)


def main():
    global ARGS
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument('--klipper', action='append', required=True, help='a Klipper checkout')
    parser.add_argument('--build', default=os.path.join(REPO, 'build-printer'),
                        help='the build folder of the install (shared by the runs)')
    parser.add_argument('--in-private-home', action='store_true', help=argparse.SUPPRESS)
    argv = sys.argv[1:]
    ARGS = parser.parse_args()
    ARGS.build = os.path.abspath(ARGS.build)
    checkouts = [os.path.abspath(k) for k in ARGS.klipper]
    suite = unittest.TestSuite()
    if ARGS.in_private_home:
        for klipper in checkouts:
            suite.addTests(suite_for(klipper, '/home/zur'))
        return 0 if unittest.TextTestRunner(verbosity=2).run(suite).wasSuccessful() else 1
    for klipper in checkouts:
        suite.addTests(suite_for(klipper, None))
    ok = unittest.TextTestRunner(verbosity=2).run(suite).wasSuccessful()
    status = in_private_home(argv)
    if status is None:
        print('SKIPPED the base folder /home/zur: no private mount namespace here (unshare -m)')
    return 0 if ok and status in (None, 0) else 1


if __name__ == '__main__':
    sys.exit(main())
