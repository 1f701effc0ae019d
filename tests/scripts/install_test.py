#!/usr/bin/env python3
"""scripts/install against a made-up printer: a Klipper checkout under git, a
moonraker.conf and a base folder in a scratch folder, with the modules of this build (no
rebuild, no packages, no restart, no root, no network).

    install_test.py REPO BUILD_FOLDER
"""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

REPO = BUILD = PYTHON = None
MODULES = ['feedhub', 'feedlane', 'feedtag', 'feedscan', 'libfeedbox_bridge.so']
MOONRAKER = '[server]\nhost: 0.0.0.0\n\n[update_manager]\nrefresh_interval: 168\n'
SECTION = '[update_manager feedbox]'


def built_for():
    """The Python the build's modules were made for (scripts/install checks they match)."""
    with open(os.path.join(BUILD, 'CMakeCache.txt')) as f:
        for line in f:
            if line.startswith('FEEDBOX_PYTHON:'):
                return line.split('=', 1)[1].strip()
    return '/usr/bin/python3'


class Printer(unittest.TestCase):
    def setUp(self):
        self.scratch = tempfile.TemporaryDirectory()
        root = self.scratch.name
        self.home = os.path.join(root, 'home')
        self.klipper = os.path.join(self.home, 'klipper')
        self.base = os.path.join(root, 'base')
        self.installed = os.path.join(root, 'installed')
        self.moonraker = os.path.join(self.base, 'printer_data', 'config', 'moonraker.conf')
        os.makedirs(os.path.join(self.klipper, 'klippy', 'extras'))
        with open(os.path.join(self.klipper, 'klippy', 'extras', 'heaters.py'), 'w') as f:
            f.write('# a module of Klipper\n')
        self.git('init', '-q')
        self.git('add', '.')
        self.git('-c', 'user.name=t', '-c', 'user.email=t@t', 'commit', '-q', '-m', 'klipper')
        self.exclude = os.path.join(self.klipper, '.git', 'info', 'exclude')
        with open(self.exclude) as f:
            self.exclude_before = f.read()
        os.makedirs(os.path.dirname(self.moonraker))
        with open(self.moonraker, 'w') as f:
            f.write(MOONRAKER)

    def tearDown(self):
        self.scratch.cleanup()

    def git(self, *args):
        return subprocess.run(['git', '-C', self.klipper] + list(args), check=True,
                              stdout=subprocess.PIPE, text=True).stdout

    def install(self, *extra, check=True):
        command = [os.path.join(REPO, 'scripts', 'install'), '--install-dir', self.installed,
                   '--build-dir', BUILD, '--no-packages', '--no-restart'] + list(extra)
        env = dict(os.environ, HOME=self.home)
        result = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, text=True, env=env)
        if check:
            self.assertEqual(result.returncode, 0, result.stdout)
        return result

    def first_install(self):
        return self.install('--klipper', self.klipper, '--python', PYTHON,
                            '--base-folder', self.base, '--skip-build')

    def read(self, path):
        with open(path) as f:
            return f.read()

    def snapshot(self):
        """Every file of the scratch printer (links by their target), git's objects aside."""
        files = {}
        for folder, dirs, names in os.walk(self.scratch.name):
            if 'objects' in dirs:
                dirs.remove('objects')
            for name in names:
                path = os.path.join(folder, name)
                if os.path.islink(path):
                    files[path] = os.readlink(path)
                else:
                    with open(path, 'rb') as f:
                        files[path] = f.read()
        return files

    def test_dry_run_changes_nothing(self):
        before = self.snapshot()
        result = self.install('--klipper', self.klipper, '--python', PYTHON,
                              '--base-folder', self.base, '--skip-build', '--dry-run')
        self.assertIn('would run: ln -s', result.stdout)
        self.assertEqual(self.snapshot(), before)

    def test_a_klipper_copy_inside_another_repository_leaves_its_exclude_alone(self):
        # A Klipper folder that is no checkout of its own (a copy made in a build folder):
        # git answers for the repository around it, whose files must not be hidden.
        shutil.rmtree(os.path.join(self.klipper, '.git'))
        self.git_in(self.home, 'init', '-q')
        outer = os.path.join(self.home, '.git', 'info', 'exclude')
        before = self.read(outer)
        self.first_install()
        self.assertEqual(self.read(outer), before)

    def git_in(self, folder, *args):
        subprocess.run(['git', '-C', folder] + list(args), check=True, stdout=subprocess.PIPE)

    def test_install_links_hides_and_registers_once(self):
        self.first_install()
        extras = os.path.join(self.klipper, 'klippy', 'extras')
        for name in MODULES:
            link = os.path.join(extras, name)
            self.assertEqual(os.readlink(link), os.path.join(self.installed, 'modules', name))
        suffix = subprocess.run([PYTHON, '-c', 'import sysconfig; print(sysconfig.get_config_var('
                                 '"EXT_SUFFIX"))'], check=True, stdout=subprocess.PIPE,
                                text=True).stdout.strip()
        self.assertTrue(os.path.isfile(os.path.join(extras, 'feedhub', '_feedhub' + suffix)))
        self.assertEqual(self.git('status', '--porcelain', '--untracked-files=all'), '')
        box1 = os.path.join(self.base, 'printer_data', 'config', 'box1.cfg')
        self.assertIn('[feedhub]\nbase_folder: %s\n' % self.base, self.read(box1))

        table = os.path.join(self.base, 'printer_data', 'config', 'officiall_filas_list.cfg')
        with open(table, 'a') as f:
            f.write('# edited\n')
        # The update: run again with no options, from the choices the first run kept.
        again = self.install('--skip-build')
        self.assertIn('Updating', again.stdout)
        self.assertTrue(self.read(table).endswith('# edited\n'))
        self.assertEqual(self.read(self.moonraker).count(SECTION), 1)
        exclude = self.read(self.exclude)
        self.assertEqual(exclude.count('/klippy/extras/feedhub\n'), 1)
        self.assertIn('path: %s\n' % REPO, self.read(self.moonraker))
        self.assertIn('managed_services: klipper\n', self.read(self.moonraker))

    def test_uninstall_restores_klipper_and_moonraker_and_keeps_data(self):
        # Mainsail's folder, which its web server serves at the printer's address: the box
        # panel goes in beside it and leaves with the uninstall.
        mainsail = os.path.join(self.base, 'mainsail')
        os.makedirs(mainsail)
        with open(os.path.join(mainsail, 'index.html'), 'w') as f:
            f.write('mainsail')
        self.first_install()
        self.assertIn('panel.js', self.read(os.path.join(mainsail, 'box', 'index.html')))
        saved = os.path.join(self.base, 'printer_data', 'config', 'saved_variables.cfg')
        with open(saved, 'w') as f:
            f.write('[Variables]\nauto_read_rfid = 0\n')
        # Options written by hand after the entry stay with the user's next section.
        with open(self.moonraker, 'a') as f:
            f.write('\n[timelapse]\n')
        self.install('--uninstall')
        extras = os.path.join(self.klipper, 'klippy', 'extras')
        self.assertEqual(sorted(os.listdir(extras)), ['heaters.py'])
        self.assertEqual(self.read(self.exclude), self.exclude_before)
        self.assertEqual(self.git('status', '--porcelain', '--untracked-files=all'), '')
        self.assertEqual(self.read(self.moonraker), MOONRAKER + '\n[timelapse]\n')
        self.assertEqual(self.read(saved), '[Variables]\nauto_read_rfid = 0\n')
        self.assertTrue(os.path.isfile(os.path.join(self.base, 'cfg_with_1')))
        self.assertEqual(os.listdir(mainsail), ['index.html'])

    def test_a_file_of_klipper_in_the_way_is_not_replaced(self):
        foreign = os.path.join(self.klipper, 'klippy', 'extras', 'feedlane')
        with open(foreign, 'w') as f:
            f.write('# not the box\n')
        result = self.install('--klipper', self.klipper, '--python', PYTHON,
                              '--base-folder', self.base, '--skip-build', check=False)
        self.assertEqual(result.returncode, 2, result.stdout)
        self.assertIn(foreign + ' exists and is not the box', result.stdout)
        self.assertEqual(self.read(foreign), '# not the box\n')


if __name__ == '__main__':
    REPO, BUILD = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    PYTHON = built_for()
    unittest.main(argv=sys.argv[:1], verbosity=2)
