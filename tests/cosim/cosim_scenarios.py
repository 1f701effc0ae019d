#!/usr/bin/env python3
"""User scenarios in the real Klipper host against feedbox-mcu's filament world, each run
the same way in feedbox: both must end with the same saved variables, the same numbered
reports and success lines, and every strand within a few millimetres of the other.

    cosim_scenarios.py --emulator build/apps/feedbox_mcu/feedbox-mcu \
                       --feedbox build/apps/feedbox/feedbox --extras build/bridge/extras \
                       --scratch DIR --klipper KLIPPER_CHECKOUT [--klipper ANOTHER ...] \
                       [--long] [-k NAME]

A scenario is a list of steps: G-code for the printer, or a SIM_ line for the filament
world (SIM_SPOOL, SIM_FAULT), which feedbox runs as a command and the emulator takes on its
standard input. Prints each scenario's wall time, the host's lead over the MCU clock, and
every difference found."""

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

from cosim_common import Failure
import cosim_boxes

# Strands may end this far apart: the host's timing of sensor reports against moves is
# not the simulator's, to within a report's lag at the approach speeds.
STRAND_TOLERANCE_MM = 5.0
# Saved values that differ by design: counters of motion and time, the moment of a save.
VOLATILE_KEYS = re.compile(r'^(stats_|.*_time$|.*_at$|box_uptime)')
# The box's progress steps and success lines.
SUCCESS = re.compile(r'^(?://\s*)?(Loading|Loaded|Unloading|Unloaded|Changing|Changed|Reloaded|'
                     r'Cut|Read|print)\b.*')
REPORT = re.compile(r'Code:(ZKE_\d+_\d+)')
DURATION = re.compile(r' in (\d+(\.\d+)? s|\d+ min \d+ s|\d+ h \d+ min)')


PRINT_TIMEOUT = 1800


class Scenario:
    def __init__(self, name, steps, long=False, after=5.0, settle=10.0, print_file=None):
        self.name = name
        self.steps = steps
        # A G-code file of tests/cosim printed from the virtual SD card after the steps.
        self.print_file = print_file and os.path.join(os.path.dirname(__file__), print_file)
        self.long = long
        self.after = after  # seconds run after the last step, for moves still queued
        # Seconds between Ready and the first step: past the start-up inspection and tag
        # reads, which would otherwise race the steps differently in the two hosts.
        self.settle = settle


SCENARIOS = [
    Scenario('extruder load and unload',
             ['EXTRUDER_LOAD SLOT=1', 'EXTRUDER_UNLOAD SLOT=1']),
    Scenario('jam fails a load, retried once cleared',
             ['SIM_FAULT SLOT=0 KIND=jam', 'EXTRUDER_LOAD SLOT=0',
              'SIM_FAULT SLOT=0 KIND=clear', 'TRY_MOVE_AGAIN']),
    Scenario('spool inserted and pulled into the box',
             ['SIM_SPOOL SLOT=2 ACTION=remove', 'G4 P2000',
              'SIM_SPOOL SLOT=2 ACTION=insert FILAMENT=PETG COLOR=00FF00', 'G4 P2000'],
             after=45.0),
    Scenario('a load sent as the host becomes ready waits for its sensors',
             ['EXTRUDER_LOAD SLOT=0'], settle=0.0),
    Scenario('a restart finds the loaded slot and unloads it',
             ['EXTRUDER_LOAD SLOT=1', 'RESTART', 'EXTRUDER_UNLOAD SLOT=1']),
    Scenario('the tag of a spool read by its card reader', ['RFID_READ SLOT=slot1']),
    Scenario('tool changes T0 T1 T0', ['T0', 'T1', 'T0'], long=True),
    Scenario('a print changing tools four times, a run-out spool handed over',
             ['BOX_MAP_TOOL T=0 SLOT=1A', 'BOX_MAP_TOOL T=1 SLOT=1B',
              'SAVE_VARIABLE VARIABLE=auto_reload_detect VALUE=1',
              'RFID_READ SLOT=1C',  # the spare spool's tag read: parked, known, in the box
              'BOX_SET_SLOT SLOT=1A FILAMENT=PLA COLOR=red',
              'BOX_SET_SLOT SLOT=1B FILAMENT=PLA COLOR=green',
              'BOX_SET_SLOT SLOT=1C FILAMENT=PLA COLOR=red',
              # Out once the load and half of the first stretch have drawn it off the spool.
              'SIM_FAULT SLOT=0 KIND=runout LENGTH=1410'],
             # The host ends a print with its last moves still queued.
             long=True, print_file='tool_changes_print.gcode', after=15.0),
]


def comparable(result):
    """The parts of a run the two hosts must agree on."""
    variables = {k: v for k, v in result['variables'].items() if not VOLATILE_KEYS.match(k)}
    lines = []
    for line in result['lines']:
        report = REPORT.search(line)
        if report:
            lines.append(report.group(1))
        elif SUCCESS.match(line):
            lines.append(DURATION.sub('', line.lstrip('/ ')))
    return variables, lines


def differences(simulated, real):
    out = []
    sim_vars, sim_lines = comparable(simulated)
    real_vars, real_lines = comparable(real)
    for key in sorted(set(sim_vars) | set(real_vars)):
        if sim_vars.get(key) != real_vars.get(key):
            out.append('saved %s: feedbox %r, host %r' % (key, sim_vars.get(key),
                                                           real_vars.get(key)))
    if sim_lines != real_lines:
        out.append('lines: feedbox %s, host %s' % (sim_lines, real_lines))
    for slot in sorted(set(simulated['strands']) | set(real['strands'])):
        a, b = simulated['strands'].get(slot), real['strands'].get(slot)
        if a is None or b is None:
            out.append('%s: a strand only in %s' % (slot, 'feedbox' if b is None else 'the host'))
        elif abs(a - b) > STRAND_TOLERANCE_MM:
            out.append('%s: tip at %.1f mm in feedbox, %.1f mm in the host' % (slot, a, b))
    return out


def parse_variables(text):
    variables = {}
    for line in text.splitlines():
        match = re.match(r'^(\w+) = (.*)$', line)
        if match:
            variables[match.group(1)] = match.group(2).strip()
    return variables


def run_in_feedbox(feedbox, scenario):
    with tempfile.TemporaryDirectory() as data:
        command = [feedbox, 'run', '--boxes', '1', '--data-dir', data, '--settle',
                   str(scenario.settle), '--after', str(scenario.after), '--status']
        for step in scenario.steps:
            command += ['-c', step]
        if scenario.print_file:
            command += ['--print', scenario.print_file]
        # A print that does not complete is a result to compare, not a failure of the run.
        run = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        if run.returncode not in (0, 3):
            raise Failure('feedbox ended with %d: %s' % (run.returncode, run.stdout[-2000:]))
        out = run.stdout
        with open(os.path.join(data, 'home', 'zur', 'printer_data', 'config',
                               'saved_variables.cfg')) as f:
            variables = parse_variables(f.read())
    json_start = out.index('\n{') + 1
    # A print's report follows the status.
    status, json_end = json.JSONDecoder().raw_decode(out, json_start)
    strands = {s: v['tip_mm'] for s, v in status['filament_world']['strands'].items()
               if v['spool']}
    lines = out[:json_start].splitlines() + out[json_end:].splitlines()
    if scenario.print_file:
        lines.append('print ' + status['print_stats']['state'])
    return {'variables': variables, 'lines': lines, 'strands': strands}


def run_in_host(host, emulator, feedbox, scenario):
    session = host.session(emulator, feedbox, 1)
    try:
        session.client.wait_state('ready', cosim_boxes.READY_TIMEOUT)
        session.client.subscribe_output()
        time.sleep(scenario.settle)
        lines = []
        for step in scenario.steps:
            if step.startswith('SIM_'):
                session.world_command(step)
            elif step in ('RESTART', 'FIRMWARE_RESTART'):
                lines += session.client.output_lines()
                try:
                    session.client.call('gcode/script', {'script': step})
                except OSError:
                    pass  # the host closes its socket as it goes
                time.sleep(1.0)
                session.client.wait_state('ready', cosim_boxes.READY_TIMEOUT)
                session.client.subscribe_output()
                time.sleep(scenario.settle)
            else:
                cosim_boxes.gcode(session.client, step, 600, check=False)
        print_state = scenario.print_file and print_in_host(session, scenario.print_file)
        time.sleep(scenario.after)
        # Lines arrive with the replies to calls: this one brings those said meanwhile.
        state = session.client.call('info')['result']['state']
        lines += session.client.output_lines()
        strands = session.world_strands()
        if state != 'ready':
            raise Failure('the host is %s: %s' % (state, session.log_text()[-2000:]))
        with open(os.path.join(session.folder, cosim_boxes.klipper_host.SAVED_VARIABLES)) as f:
            variables = parse_variables(f.read())
        if print_state:
            lines.append('print ' + print_state)
        return {'variables': variables, 'lines': lines, 'strands': strands}
    finally:
        session.close()


def print_in_host(session, path):
    """Prints `path` from the virtual SD card; returns the print's state once it ends
    (complete, error, cancelled) or pauses."""
    folder = os.path.join(session.folder, 'printer_data', 'gcodes')
    os.makedirs(folder, exist_ok=True)
    shutil.copy(path, folder)
    cosim_boxes.gcode(session.client,
                      'SDCARD_PRINT_FILE FILENAME=%s' % os.path.basename(path), 60)
    deadline = time.monotonic() + PRINT_TIMEOUT
    while time.monotonic() < deadline:
        time.sleep(2.0)
        state = cosim_boxes.status(session.client, ['print_stats'])['print_stats']['state']
        if state not in ('printing', 'standby'):
            return state
    raise Failure('the print did not end within %d s' % PRINT_TIMEOUT)


def stall_report(lines):
    for line in reversed(lines):
        match = re.search(r'stall_probe ticks=(\d+) max_ms=([\d.]+) p99_ms=(\d+)', line)
        if match:
            return float(match.group(2)), int(match.group(3))
    raise Failure('no stall probe report in %r' % lines[-5:])


def tool_change_stall(host, emulator, feedbox):
    """How long a whole tool change (1A to 1B, the slot loaded before) holds the host's
    event loop, beside an idle stretch of the same length."""
    session = host.session(emulator, feedbox, 1, '\n[feedbox_stall_probe]\n')
    try:
        client = session.client
        client.wait_state('ready', cosim_boxes.READY_TIMEOUT)
        client.subscribe_output()
        time.sleep(3.0)
        cosim_boxes.gcode(client, 'T0', 600)
        client.output_lines()
        start = time.monotonic()
        cosim_boxes.gcode(client, 'STALL_PROBE_START\nT1\nM400\nSTALL_PROBE_REPORT', 600)
        change_s = time.monotonic() - start
        lines = client.output_lines()
        if not any(l.lstrip('/ ').startswith('Loaded 1B into the extruder') for l in lines):
            raise Failure('the tool change did not succeed: %s' % lines[-6:])
        change = stall_report(lines)
        cosim_boxes.gcode(client, 'STALL_PROBE_START', 10)
        time.sleep(change_s)
        cosim_boxes.gcode(client, 'STALL_PROBE_REPORT', 10)
        idle = stall_report(client.output_lines())
        return ('tool change T0 -> T1 in %.1f s: longest stall %.2f ms, 99%% within %d ms '
                '(idle: longest %.2f ms, 99%% within %d ms)' % ((change_s,) + change + idle))
    finally:
        session.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    parser.add_argument('--emulator', required=True)
    parser.add_argument('--feedbox', required=True)
    parser.add_argument('--extras', required=True)
    parser.add_argument('--scratch', required=True)
    parser.add_argument('--klipper', action='append', required=True)
    parser.add_argument('--long', action='store_true', help='also the long scenarios')
    parser.add_argument('-k', dest='patterns', action='append',
                        help='only scenarios whose name has this (may be given again)')
    parser.add_argument('-v', dest='verbose', action='store_true',
                        help='print both consoles\' lines of a scenario with differences')
    parser.add_argument('--stall', action='store_true',
                        help='measure how long a tool change holds the host\'s loop')
    args = parser.parse_args()
    scenarios = [s for s in SCENARIOS if (args.long or not s.long)
                 and (not args.patterns or any(p in s.name for p in args.patterns))]
    failed = False
    for source in args.klipper:
        host = cosim_boxes.Host(os.path.abspath(source), os.path.abspath(args.scratch),
                                os.path.abspath(args.extras))
        if args.stall:
            try:
                print('%s: %s' % (host.name, tool_change_stall(
                    host, os.path.abspath(args.emulator), os.path.abspath(args.feedbox))),
                    flush=True)
            except (Failure, OSError) as e:
                print('%s: stall not measured: %s' % (host.name, e), flush=True)
                failed = True
        for scenario in scenarios:
            start = time.monotonic()
            try:
                simulated = run_in_feedbox(os.path.abspath(args.feedbox), scenario)
                real = run_in_host(host, os.path.abspath(args.emulator),
                                   os.path.abspath(args.feedbox), scenario)
                found = differences(simulated, real)
            except (Failure, OSError, subprocess.CalledProcessError) as e:
                found = ['did not run: %s' % e]
            wall = time.monotonic() - start
            print('%s, %s: %.0f s%s' % (host.name, scenario.name, wall,
                                        ''.join('\n  DIFFERENCE ' + d for d in found)),
                  flush=True)
            if found and args.verbose and 'real' in locals():
                print('  feedbox said:\n    ' + '\n    '.join(simulated['lines']))
                print('  the host said:\n    ' + '\n    '.join(real['lines']), flush=True)
            failed = failed or bool(found)
    return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main())
