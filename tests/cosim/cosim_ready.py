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
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import time

PYTHON = '/usr/bin/python3'
REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
MINIMAL_CONFIG = """[mcu]
serial: {serial}

[printer]
kinematics: none
max_velocity: 1
max_accel: 1
"""


class Failure(Exception):
    pass


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


class ApiClient:
    """The host's API server socket (klippy.py -a): JSON requests ended by 0x03."""

    def __init__(self, path, timeout):
        self.path = path
        self.timeout = timeout
        self._connect()

    def _connect(self):
        deadline = time.monotonic() + self.timeout
        while True:
            try:
                self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                self.sock.connect(self.path)
                break
            except OSError:
                self.sock.close()
                if time.monotonic() > deadline:
                    raise Failure('the host opened no API socket at %s' % self.path)
                time.sleep(0.1)
        self.sock.settimeout(self.timeout)
        self.buffer = b''
        self.next_id = 1

    def call(self, method, params=None):
        request_id = self.next_id
        self.next_id += 1
        request = {'id': request_id, 'method': method, 'params': params or {}}
        self.sock.sendall(json.dumps(request).encode() + b'\x03')
        while True:
            while b'\x03' not in self.buffer:
                data = self.sock.recv(4096)
                if not data:
                    raise OSError('the host closed its API socket')
                self.buffer += data
            message, self.buffer = self.buffer.split(b'\x03', 1)
            reply = json.loads(message)
            if reply.get('id') == request_id:
                return reply

    def wait_state(self, wanted, timeout):
        deadline = time.monotonic() + timeout
        info = {}
        while time.monotonic() < deadline:
            try:
                info = self.call('info').get('result', {})
            except (OSError, Failure):
                # The host closes its socket and opens a new one when it restarts.
                self.sock.close()
                time.sleep(0.1)
                self._connect()
                continue
            if info.get('state') == wanted:
                return time.monotonic() - (deadline - timeout)
            time.sleep(0.1)
        raise Failure('the host did not become %s within %.0f s: state %s, %s' % (
            wanted, timeout, info.get('state'), info.get('state_message', '').strip()))

    def close(self):
        self.sock.close()


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


def batched_analog(klippy):
    with open(os.path.join(os.path.dirname(klippy), 'mcu.py')) as f:
        return 'values=%*s' in f.read()


def clock_figures(log_text, clock_freq):
    """The host's view of the emulated clock from its last statistics line."""
    stats = re.findall(r'^Stats .* srtt=([\d.]+) .*? freq=(\d+) ', log_text, re.M)
    if not stats:
        return 'no statistics logged'
    srtt, freq = stats[-1]
    return 'round trip %.3f s, estimated clock %d Hz (%+.0f ppm of %d)' % (
        float(srtt), int(freq), (int(freq) - clock_freq) / clock_freq * 1e6, clock_freq)


class Session:
    """One emulator and one host on a configuration, stopped on leaving."""

    def __init__(self, emulator, klippy, folder, name, config_text, flags, timeout):
        self.folder = folder
        self.serial = os.path.join(folder, 'mcu')
        self.config = os.path.join(folder, name + '.cfg')
        self.log = os.path.join(folder, name + '.log')
        self.api = os.path.join(folder, name + '.sock')
        for path in (self.log, self.api):
            if os.path.exists(path):
                os.remove(path)
        with open(self.config, 'w') as f:
            f.write(config_text.format(serial=self.serial) if '{serial}' in config_text
                    else config_text)
        self.emu = subprocess.Popen([emulator] + flags + ['mcu=' + self.serial],
                                    stdout=subprocess.PIPE, text=True)
        self.host = None
        self.client = None
        self.emu.stdout.readline()  # the link exists once the emulator has named it
        self.host = subprocess.Popen([PYTHON, klippy, self.config, '-l', self.log, '-a', self.api],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.STDOUT)
        self.client = ApiClient(self.api, timeout)

    def log_text(self):
        if not os.path.exists(self.log):
            return ''
        with open(self.log) as f:
            return f.read()

    def wait_log(self, line, count, timeout):
        deadline = time.monotonic() + timeout
        while self.log_text().count(line) < count:
            if time.monotonic() > deadline:
                raise Failure('the host logged "%s" fewer than %d times' % (line, count))
            time.sleep(0.1)

    def close(self):
        if self.client:
            self.client.close()
        for process in (self.host, self.emu):
            if process and process.poll() is None:
                process.terminate()
                try:
                    process.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()


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
