#!/usr/bin/env python3
"""The real Klipper host against feedbox-mcu: the host identifies and configures the
emulated micro-controller and reaches Ready; an emergency stop shuts it down and a
FIRMWARE_RESTART (config_reset over the wire, then a fresh identify) brings it back; a
RESTART finds it configured with the same CRC. Then
the printer of config/printer.cfg (without the box) reaches Ready with its heaters
reading room temperature, in the analog format each host knows best.

    cosim_ready.py --emulator build/apps/feedbox_mcu/feedbox-mcu --scratch DIR \
                   --klipper KLIPPER_CHECKOUT [--klipper ANOTHER ...]

Each checkout is copied once into the scratch folder (the host compiles its C helper on
first start). Prints the clock figures of the host's statistics."""

import argparse
import os
import re
import shutil
import subprocess
import sys
import time

from cosim_common import PYTHON, REPO, Failure, Session, batched_analog, clock_figures
MINIMAL_CONFIG = """[mcu]
serial: {serial}

[printer]
kinematics: none
max_velocity: 1
max_accel: 1
"""


def prepare_host(source, folder):
    klippy = os.path.join(folder, 'klippy')
    if not os.path.isdir(klippy):
        shutil.copytree(os.path.join(source, 'klippy'), klippy,
                        ignore=shutil.ignore_patterns('*.pyc', '__pycache__', '*.so', '*.o'))
        for root, dirs, files in os.walk(klippy):
            for name in dirs + files:
                os.chmod(os.path.join(root, name), 0o755 if name in dirs else 0o644)
    subprocess.run([PYTHON, '-c', 'import chelper; chelper.get_ffi()'], cwd=klippy, check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return os.path.join(klippy, 'klippy.py')


def printer_config(serial, klippy):
    """config/printer.cfg on the emulated controller, without the box's include (its
    controllers and modules are not emulated yet) and without the options the host lacks."""
    with open(os.path.join(REPO, 'config', 'printer.cfg')) as f:
        text = f.read()
    text = re.sub(r'^serial: .*$', 'serial: ' + serial, text, flags=re.M)
    text = re.sub(r'^\[include box/.*$', '', text, flags=re.M)
    hall = os.path.join(os.path.dirname(klippy), 'extras', 'hall_filament_width_sensor.py')
    with open(hall) as f:
        if 'enable_flow_compensation' not in f.read():
            text = re.sub(r'^enable_flow_compensation:.*$', '', text, flags=re.M)
    return text


def check_restart(session, timeout):
    client = session.client
    ready = client.wait_state('ready', timeout)
    client.call('gcode/script', {'script': 'M112'})
    client.wait_state('shutdown', timeout)
    client.call('gcode/script', {'script': 'FIRMWARE_RESTART'})
    restarted = client.wait_state('ready', timeout)
    # A host restart finds the controller configured with the same CRC and goes on.
    client.call('gcode/script', {'script': 'RESTART'})
    session.wait_log("Configured MCU 'mcu'", 3, timeout)
    client.wait_state('ready', timeout)
    time.sleep(2.5)  # a few statistics lines on the new connection
    text = session.log_text()
    if "Attempting MCU 'mcu' config_reset command" not in text:
        raise Failure('the host did not reset the emulated controller through config_reset')
    if text.count("Sending MCU 'mcu' printer configuration") != 2:
        raise Failure('the host did not configure the reset controller afresh')
    if text.count("Configured MCU 'mcu'") != 3:
        raise Failure('the host did not take the configured controller after RESTART')
    return 'ready after %.1f s, again %.1f s after FIRMWARE_RESTART; %s' % (
        ready, restarted, clock_figures(text, 168000000))


def check_printer(session, timeout):
    client = session.client
    ready = client.wait_state('ready', timeout)
    # The host starts its sensors' sampling a second or two after configuring them;
    # until the first reading a heater shows 0.
    objects = {'extruder': None, 'heater_generic heater_box1': None}
    deadline = time.monotonic() + 10
    while True:
        status = client.call('objects/query', {'objects': objects})['result']['status']
        if time.monotonic() > deadline or all(status[n]['temperature'] for n in objects):
            break
        time.sleep(0.2)
    for name in objects:
        temperature = status[name]['temperature']
        if not 15 <= temperature <= 35:
            raise Failure('%s reads %.1f C, not room temperature' % (name, temperature))
    return 'printer ready after %.1f s, extruder at %.1f C' % (
        ready, status['extruder']['temperature'])


def run_one(emulator, source, scratch, timeout):
    name = os.path.basename(os.path.normpath(source))
    folder = os.path.join(scratch, name)
    os.makedirs(folder, exist_ok=True)
    klippy = prepare_host(source, folder)
    serial = os.path.join(folder, 'mcu')
    batched = batched_analog(klippy)
    runs = [('minimal', MINIMAL_CONFIG, [], check_restart),
            ('printer', printer_config(serial, klippy),
             ['--batched-analog'] if batched else [], check_printer)]
    for run_name, config_text, flags, check in runs:
        session = None
        try:
            session = Session(emulator, klippy, folder, run_name, config_text, flags, timeout)
            result = check(session, timeout)
            print('%s, %s%s: %s' % (name, run_name, ' (batched analog)' if flags else '',
                                    result), flush=True)
        except Failure as e:
            tail = ''.join(session.log_text().splitlines(True)[-25:]) if session else ''
            raise Failure('%s, %s: %s\n--- last lines of the host log ---\n%s' % (
                name, run_name, e, tail))
        finally:
            if session:
                session.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    parser.add_argument('--emulator', required=True)
    parser.add_argument('--scratch', required=True)
    parser.add_argument('--klipper', action='append', required=True)
    parser.add_argument('--timeout', type=float, default=30)
    args = parser.parse_args()
    failed = False
    for source in args.klipper:
        if not os.path.isfile(os.path.join(source, 'klippy', 'klippy.py')):
            sys.exit('%s is not a Klipper checkout (no klippy/klippy.py)' % source)
        try:
            run_one(os.path.abspath(args.emulator), os.path.abspath(source),
                    os.path.abspath(args.scratch), args.timeout)
        except Failure as e:
            print('FAIL %s' % e, flush=True)
            failed = True
    return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main())
