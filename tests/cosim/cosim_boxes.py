#!/usr/bin/env python3
"""The real Klipper host with the box modules installed, on the full printer of
config/printer.cfg plus the box files feedbox writes, every MCU emulated by feedbox-mcu:
the printer reaches Ready with 1 box (and again after RESTART) and with 4 boxes; then, with
4 boxes, the extruder heats to 220 C and a box dried with ENABLE_BOX_DRY warms its heater.

    cosim_boxes.py --emulator build/apps/feedbox_mcu/feedbox-mcu \
                   --feedbox build/apps/feedbox/feedbox --extras build/bridge/extras \
                   --scratch DIR --klipper KLIPPER_CHECKOUT [--klipper ANOTHER ...]

Each checkout is copied afresh into the scratch folder with the modules installed into it
as scripts/install does. The configurations used are left in the run folders:
printer.cfg for the host, world.cfg for the emulator (the same plus the simulator's
[filament_world] sections). Prints Ready times, the heat-up time and the clock figures."""

import argparse
import os
import re
import shutil
import sys
import threading
import time
import types

from cosim_common import REPO, Failure, Session, batched_analog, clock_figures

sys.path.insert(0, os.path.join(REPO, 'tests', 'klipper'))
import klipper_host  # noqa: E402
import printer_config  # noqa: E402

EXTRUDER_TARGET = 220
BOX_DRY_TEMP = 55
READY_TIMEOUT = 60


def configurations(feedbox, boxes, folder, klippy):
    """(host config, world config, MCU names, box files): the real STM32 pins and the card
    readers kept, every serial port a link in `folder`; the box files as the box detection
    left them, which name each box by its USB link."""
    box, world, box_files = printer_config.box_world_and_files(feedbox, boxes)
    sections = [s for s in printer_config.split_sections(
        printer_config.embedded_printer_text() + '\n' + box)
        if not s[0].startswith(printer_config.SIMULATOR_ONLY)]
    mcus = [name for name, _ in sections if name == 'mcu' or name.startswith('mcu ')]
    names = [name.split(' ', 1)[1] if ' ' in name else name for name in mcus]
    for section, name in zip(mcus, names):
        printer_config.set_option(sections, section, 'serial', os.path.join(folder, name))
    set_option = printer_config.set_option
    set_option(sections, 'save_variables', 'filename',
               os.path.join(folder, klipper_host.SAVED_VARIABLES))
    set_option(sections, 'virtual_sdcard', 'path', os.path.join(folder, 'printer_data', 'gcodes'))
    set_option(sections, 'feedhub', 'base_folder', folder)
    set_option(sections, 'feedscan', 'base_folder', folder)
    hall = os.path.join(os.path.dirname(klippy), 'extras', 'hall_filament_width_sensor.py')
    with open(hall) as f:
        if 'enable_flow_compensation' not in f.read():
            printer_config.remove_option(sections, 'hall_filament_width_sensor',
                                         'enable_flow_compensation')
    host = printer_config.join_sections(sections)
    return host, host + '\n' + world, names, box_files


class Host:
    """A scratch copy of one checkout with the modules installed."""

    def __init__(self, source, scratch, extras):
        self.name = os.path.basename(os.path.normpath(source))
        self.paths = types.SimpleNamespace(
            klipper_source=source, extras=extras, scratch=os.path.join(scratch, self.name),
            klipper=os.path.join(scratch, self.name, 'klipper'),
            data=os.path.join(scratch, self.name, 'base'))
        # A fresh copy: the installed modules and data files are those of this build.
        shutil.rmtree(self.paths.scratch, ignore_errors=True)
        klipper_host.prepare_host(self.paths)
        self.klippy = os.path.join(self.paths.klipper, 'klippy', 'klippy.py')

    def session(self, emulator, feedbox, boxes, extra_config=''):
        folder = os.path.join(self.paths.scratch, 'boxes%d' % boxes)
        host_text, world_text, mcus, box_files = configurations(feedbox, boxes, folder,
                                                                self.klippy)
        host_text += extra_config
        # The host's box detection finds each box on USB by the link its file names.
        usb_links = re.findall(r'^serial:\s*(/dev/serial/by-id/\S+)', box_files['box.cfg'],
                               re.M)
        files = {os.path.join('printer_data', 'config', name): text
                 for name, text in box_files.items()}
        klipper_host._new_run_folder(self.paths, folder, host_text, None, files)
        world = os.path.join(folder, 'world.cfg')
        with open(world, 'w') as f:
            f.write(world_text)
        flags = ['--world', world] + (['--batched-analog'] if batched_analog(self.klippy) else [])
        return Session(emulator, self.klippy, folder, 'printer', host_text, flags, READY_TIMEOUT,
                       mcus=mcus, cwd=folder, usb_links=usb_links)


def status(client, objects):
    return client.call('objects/query', {'objects': {o: None for o in objects}})['result']['status']


def gcode(client, script, timeout, check=True):
    """Runs a script; its error, if any, fails the run when `check`."""
    client.sock.settimeout(timeout)
    try:
        reply = client.call('gcode/script', {'script': script})
    finally:
        client.sock.settimeout(client.timeout)
    if check and 'error' in reply:
        raise Failure('%s: %s' % (script, reply['error'].get('message', reply['error'])))


def check_restart(session):
    """A host RESTART finds the boards configured and sends its restart commands (the card
    readers' query_fm17550 among them) instead of a new configuration."""
    start = time.monotonic()
    session.client.call('gcode/script', {'script': 'RESTART'})
    session.wait_log("Configured MCU 'mcu_box1'", 2, READY_TIMEOUT)
    session.client.wait_state('ready', READY_TIMEOUT)
    again = time.monotonic() - start
    if session.log_text().count("Sending MCU 'mcu_box1' printer configuration") != 1:
        raise Failure('the host configured box 1 afresh after RESTART')
    return 'ready again %.1f s after RESTART' % again


def check_heating(session):
    """The extruder to 220 C and box 1 drying: both heaters heat as the host drives them,
    and the host's heater checks stay quiet."""
    client = session.client
    start = time.monotonic()
    gcode(client, 'SET_HEATER_TEMPERATURE HEATER=extruder TARGET=%d\n'
          'TEMPERATURE_WAIT SENSOR=extruder MINIMUM=%d MAXIMUM=%d'
          % (EXTRUDER_TARGET, EXTRUDER_TARGET - 1, EXTRUDER_TARGET + 5), 90)
    heat_up = time.monotonic() - start
    extruder = status(client, ['extruder'])['extruder']['temperature']
    if abs(extruder - EXTRUDER_TARGET) > 3:
        raise Failure('the wait for 220 C ended with the extruder at %.1f C' % extruder)
    heater = 'heater_generic heater_box1'
    room = status(client, [heater])[heater]['temperature']
    gcode(client, 'ENABLE_BOX_DRY BOX=1 TEMP=%d END_TIME=1' % BOX_DRY_TEMP, 10)
    deadline = time.monotonic() + 20
    while True:
        box = status(client, [heater])[heater]
        if box['target'] == BOX_DRY_TEMP and box['temperature'] >= room + 4:
            break
        if time.monotonic() > deadline:
            raise Failure('drying box 1 left its heater at %.1f C (target %.0f, from %.1f C)'
                          % (box['temperature'], box['target'], room))
        time.sleep(0.5)
    gcode(client, 'DISABLE_BOX_DRY BOX=1\nTURN_OFF_HEATERS', 10)
    state = client.call('info')['result']['state']
    if state != 'ready':
        raise Failure('the host is %s after heating' % state)
    return 'extruder at %.1f C %.1f s after SET_HEATER_TEMPERATURE; box 1 from %.1f to %.1f C' % (
        extruder, heat_up, room, box['temperature'])


def run_one(host, emulator, feedbox, results):
    try:
        for boxes in (1, 4):
            session = None
            try:
                session = host.session(emulator, feedbox, boxes)
                ready = session.client.wait_state('ready', READY_TIMEOUT)
                line = '%s, %d box%s: ready after %.1f s' % (
                    host.name, boxes, 'es' if boxes > 1 else '', ready)
                if boxes == 1:
                    line += '; ' + check_restart(session)
                if boxes == 4:
                    line += '; ' + check_heating(session)
                log = session.log_text()
                line += '; %s; %s' % (clock_figures(log, 168000000),
                                      clock_figures(log, 48000000, 'mcu_box1'))
                session.close()
                leads = re.findall(r'^feedbox-mcu: (mcu|mcu_box1): (.*)$', session.emu_output, re.M)
                line += ''.join('; %s: %s' % lead for lead in leads)
                results.append((True, line))
            except (Failure, OSError) as e:
                tail = ''.join(session.log_text().splitlines(True)[-25:]) if session else ''
                results.append((False, '%s, %d boxes: %s\n--- last lines of the host log ---\n%s'
                                % (host.name, boxes, e, tail)))
                return
            finally:
                if session:
                    session.close()
    except Exception as e:  # a thread's crash must fail the run, not vanish
        results.append((False, '%s: %r' % (host.name, e)))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    parser.add_argument('--emulator', required=True)
    parser.add_argument('--feedbox', required=True)
    parser.add_argument('--extras', required=True, help='the build\'s bridge/extras folder')
    parser.add_argument('--scratch', required=True)
    parser.add_argument('--klipper', action='append', required=True)
    args = parser.parse_args()
    hosts = []
    for source in args.klipper:
        if not os.path.isfile(os.path.join(source, 'klippy', 'klippy.py')):
            sys.exit('%s is not a Klipper checkout (no klippy/klippy.py)' % source)
        hosts.append(Host(os.path.abspath(source), os.path.abspath(args.scratch),
                          os.path.abspath(args.extras)))
    # The snapshots run side by side: most of a run is waiting for heaters in real time.
    results = []
    threads = [threading.Thread(target=run_one, args=(
        host, os.path.abspath(args.emulator), os.path.abspath(args.feedbox), results))
        for host in hosts]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for ok, line in results:
        print(line if ok else 'FAIL ' + line, flush=True)
    return 0 if results and all(ok for ok, _ in results) else 1


if __name__ == '__main__':
    sys.exit(main())
