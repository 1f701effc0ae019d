#!/usr/bin/env python3
"""The real Klipper host with the printer and one box on feedbox-mcu, whose filament world
moves with the steps the host sends: an extruder load of slot 0 homes the slot feeder
against the box's sensors, ends with the host's success line, and leaves the strand at the
extruder entry, as the emulator's world reports it.

    cosim_load.py --emulator build/apps/feedbox_mcu/feedbox-mcu \
                  --feedbox build/apps/feedbox/feedbox --build build --scratch DIR \
                  --klipper KLIPPER_CHECKOUT [--klipper ANOTHER ...]

Prints the scenario's wall time and how far ahead of the controllers' clock the host
queued its steps."""

import argparse
import os
import re
import signal
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), 'klipper'))
sys.path.insert(0, HERE)

import cosim_common  # noqa: E402
import klipper_host  # noqa: E402
import printer_config  # noqa: E402

LOAD = 'EXTRUDER_LOAD SLOT=slot0'
SUCCESS = re.compile(r'// Loaded 1A into the extruder in '
                     r'([0-9]+\.[0-9] s|[0-9]+ min [0-9]{2} s)\.')
# Where the world's description puts slot 0's strand after the load.
AT_ENTRY = re.compile(r'slot0 \(1A\): PLA FF0000, at the extruder entry \(tip at ([0-9.]+) mm')


class Failure(Exception):
    pass


def world_state(emulator):
    """The emulator's description of its world (it prints it on SIGUSR1)."""
    emulator.send_signal(signal.SIGUSR1)
    lines = []
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        line = emulator.stdout.readline()
        if not line or line.startswith('feedbox-mcu: end of world'):
            break
        if not line.startswith('feedbox-mcu: world'):
            lines.append(line.rstrip('\n'))
    return lines


def run_one(args, source):
    name = os.path.basename(os.path.normpath(source))
    scratch = os.path.join(os.path.abspath(args.scratch), name)
    os.environ['FEEDBOX_KLIPPER'] = source
    os.environ['FEEDBOX_EXTRAS'] = os.path.join(os.path.abspath(args.build), 'bridge', 'extras')
    os.environ['FEEDBOX_SCRATCH'] = scratch
    paths = klipper_host.Paths()
    klipper_host.prepare_host(paths)
    klippy = os.path.join(paths.klipper, 'klippy', 'klippy.py')
    folder = os.path.join(scratch, 'load')

    sections = printer_config.real_host_sections(args.feedbox, 1, linux_pins=False)
    printer_config.set_option(sections, 'mcu', 'serial', os.path.join(folder, 'mcu'))
    printer_config.set_option(sections, 'mcu mcu_box1', 'serial',
                              os.path.join(folder, 'mcu_box1'))
    host_text = printer_config.join_sections(sections)
    klipper_host._new_run_folder(paths, folder, host_text, saved={'box_count': 1})
    world_config = os.path.join(folder, 'emulator.cfg')
    with open(os.path.join(folder, 'printer.cfg')) as f, open(world_config, 'w') as out:
        out.write(f.read() + '\n' + printer_config.world_files_text(args.feedbox, 1))

    flags = ['--batched-analog'] if cosim_common.batched_analog(klippy) else []
    log = os.path.join(folder, 'klippy.log')
    api = os.path.join(folder, 'api.sock')
    started = time.monotonic()
    emulator = subprocess.Popen(
        [args.emulator] + flags + ['--world', world_config, 'mcu=' + os.path.join(folder, 'mcu'),
                                   'mcu_box1=' + os.path.join(folder, 'mcu_box1')],
        stdout=subprocess.PIPE, text=True)
    host = client = None
    try:
        for _ in range(2):
            if not emulator.stdout.readline():
                raise Failure('the emulator did not start (see its errors above)')
        host = subprocess.Popen([cosim_common.PYTHON, klippy, os.path.join(folder, 'printer.cfg'),
                                 '-l', log, '-a', api] + (['-v'] if os.environ.get('COSIM_VERBOSE') else []), cwd=folder,
                                stdout=subprocess.DEVNULL, stderr=subprocess.STDOUT)
        client = cosim_common.ApiClient(api, args.timeout)
        ready = client.wait_state('ready', args.timeout)
        # The host's hall sensor starts at the nominal diameter and only then filters
        # towards what its inputs read: until it has let go, the entry reads filament.
        deadline = time.monotonic() + args.timeout
        while True:
            status = client.call('objects/query', {
                'objects': {'hall_filament_width_sensor': ['Diameter']}})['result']['status']
            diameter = status['hall_filament_width_sensor']['Diameter']
            if diameter < 0.5:
                break
            if time.monotonic() > deadline:
                raise Failure('the hall sensor still reads %.2f mm with no filament' % diameter)
            time.sleep(0.2)
        before = world_state(emulator)
        load_started = time.monotonic()
        # About the simulator's 21 s; two minutes when a homing move's planned length stays
        # on the host's print time after the trip.
        client.sock.settimeout(args.load_timeout)
        reply = client.call('gcode/script', {'script': LOAD + '\nM400'})
        load_time = time.monotonic() - load_started
        if 'error' in reply:
            raise Failure('%s failed: %s' % (LOAD, reply['error'].get('message', reply)))
        with open(os.path.join(folder, 'responses.txt')) as f:
            responses = f.read().splitlines()
        if not any(SUCCESS.fullmatch(r) for r in responses):
            raise Failure('no success line for %s; the host said:\n%s' % (
                LOAD, '\n'.join(responses[-15:])))
        after = world_state(emulator)
        tips = [float(m.group(1)) for m in map(AT_ENTRY.search, after) if m]
        if not tips:
            raise Failure('the world does not have slot 0 at the extruder entry:\n%s\n'
                          '(before the load:\n%s)' % ('\n'.join(after), '\n'.join(before)))
        if 'box1 outlet sensor: filament' not in '\n'.join(after):
            raise Failure('the box outlet sensor does not see the loaded strand:\n%s'
                          % '\n'.join(after))
        lead = [l for l in after if l.startswith('host queued steps')]
        said = [r for r in responses if SUCCESS.fullmatch(r)]
        print('%s: ready after %.1f s; %s took %.1f s (%s), strand tip at %.1f mm; %s; '
              'scenario %.1f s' % (name, ready, LOAD, load_time, said[0][3:], tips[0],
                                   lead[0] if lead else 'no lead figure',
                                   time.monotonic() - started), flush=True)
    except (Failure, cosim_common.Failure, OSError) as e:
        if emulator.poll() is None:
            e = '%s\n--- the world now ---\n%s' % (e, '\n'.join(world_state(emulator)))
        tail = ''
        if os.path.exists(log):
            with open(log) as f:
                tail = ''.join(f.readlines()[-30:])
        raise Failure('%s: %s\n--- last lines of the host log ---\n%s' % (name, e, tail))
    finally:
        if client:
            client.close()
        for process in (host, emulator):
            if process and process.poll() is None:
                process.terminate()
                try:
                    process.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    parser.add_argument('--emulator', required=True)
    parser.add_argument('--feedbox', required=True)
    parser.add_argument('--build', required=True)
    parser.add_argument('--scratch', required=True)
    parser.add_argument('--klipper', action='append', required=True)
    parser.add_argument('--timeout', type=float, default=60)
    parser.add_argument('--load-timeout', type=float, default=240)
    args = parser.parse_args()
    failed = False
    for source in args.klipper:
        try:
            run_one(args, os.path.abspath(source))
        except Failure as e:
            print('FAIL %s' % e, flush=True)
            failed = True
    return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main())
