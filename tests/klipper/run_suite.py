#!/usr/bin/python3
# The real-host suite: the box modules in an unmodified Klipper checkout.
#
#   tests/klipper/run_suite.py --klipper ~/klipper --build build [-k PATTERN] [--cost]
#
# The checkout is copied to a scratch folder under the build folder (the original is not
# touched and may be read-only), the modules are installed into the copy as
# `make install` does, and every scenario runs the host in batch mode or on its
# pseudo-terminal. The checkout needs dict/linuxprocess.dict, the data dictionary of its
# Linux-process MCU (make menuconfig: Linux process; make; cp out/klipper.dict).
import argparse
import os
import subprocess
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument('--klipper', required=True, help='a Klipper checkout')
    parser.add_argument('--build', default='build', help='the feedbox build folder')
    parser.add_argument('-k', dest='patterns', action='append', default=[],
                        help='only scenarios whose name contains this')
    parser.add_argument('-v', dest='verbosity', action='store_const', const=2, default=1)
    parser.add_argument('--cost', action='store_true',
                        help='the long measurements (cost_*.py) instead of the scenarios')
    args = parser.parse_args()

    klipper = os.path.abspath(args.klipper)
    build = os.path.abspath(args.build)
    if not os.path.isfile(os.path.join(klipper, 'klippy', 'klippy.py')):
        sys.exit('%s is not a Klipper checkout (no klippy/klippy.py)' % klipper)
    dictionary = os.path.join(klipper, 'dict', 'linuxprocess.dict')
    if not os.path.isfile(dictionary):
        sys.exit('%s is missing: build the Linux-process MCU of that checkout and copy its '
                 'out/klipper.dict there' % dictionary)
    extras = os.path.join(build, 'bridge', 'extras')
    if not os.path.isfile(os.path.join(extras, 'libfeedbox_bridge.so')):
        sys.exit('%s holds no bridge: run make build first' % extras)
    name = os.path.basename(klipper.rstrip('/'))
    scratch = os.path.join(build, 'klipper-test', name)
    # A fresh copy per run: the installed modules and data files are those of this build.
    subprocess.run(['rm', '-rf', scratch], check=True)
    os.environ.update({
        'FEEDBOX_KLIPPER': klipper,
        'FEEDBOX_EXTRAS': extras,
        'FEEDBOX_SCRATCH': scratch,
        'FEEDBOX_FEEDBOX': os.path.join(build, 'apps', 'feedbox', 'feedbox'),
        'FEEDBOX_REPO': os.path.dirname(os.path.dirname(HERE)),
    })
    sys.path.insert(0, HERE)
    loader = unittest.TestLoader()
    if args.patterns:
        loader.testNamePatterns = ['*%s*' % p for p in args.patterns]
    suite = loader.discover(HERE, pattern='cost_*.py' if args.cost else 'test_*.py',
                            top_level_dir=HERE)
    print('Real-host suite against %s (scratch %s)' % (klipper, scratch), flush=True)
    result = unittest.TextTestRunner(verbosity=args.verbosity).run(suite)
    sys.exit(0 if result.wasSuccessful() else 1)


if __name__ == '__main__':
    main()
