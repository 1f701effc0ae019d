"""What the co-simulation harnesses share: the host's API socket, one emulator with one
host on a configuration, and the host's view of the emulated clock."""

import json
import os
import re
import shutil
import socket
import subprocess
import time

PYTHON = '/usr/bin/python3'
REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


class Failure(Exception):
    pass


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
        # Messages the host sends unasked (the console output once subscribed to it).
        self.notifications = []

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
            if 'id' not in reply:
                self.notifications.append(reply)

    def subscribe_output(self):
        """From now on the console's lines arrive as notifications (see output_lines)."""
        self.call('gcode/subscribe_output', {'response_template': {'output': True}})

    def output_lines(self):
        """The console lines received so far, each once."""
        lines = []
        for message in self.notifications:
            params = message.get('params', {})
            if isinstance(params, dict) and 'response' in params:
                lines.extend(params['response'].splitlines())
        self.notifications = [m for m in self.notifications
                              if not isinstance(m.get('params'), dict)
                              or 'response' not in m['params']]
        return lines

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


def batched_analog(klippy):
    with open(os.path.join(os.path.dirname(klippy), 'mcu.py')) as f:
        return 'values=%*s' in f.read()


def clock_figures(log_text, clock_freq, mcu='mcu'):
    """The host's view of an emulated clock from its last statistics line."""
    stats = re.findall(r'^Stats .*? %s: mcu_awake=.*? srtt=([\d.]+) .*? freq=(\d+) '
                       % re.escape(mcu), log_text, re.M)
    if not stats:
        return 'no statistics logged for %s' % mcu
    srtt, freq = stats[-1]
    return '%s: round trip %.3f s, estimated clock %d Hz (%+.0f ppm of %d)' % (
        mcu, float(srtt), int(freq), (int(freq) - clock_freq) / clock_freq * 1e6, clock_freq)


def usb_devices(folder, links):
    """The command prefix that shows the host a USB serial device for each by-id link, as
    a printer with its boxes plugged in has: umockdev's test bed for libudev and /sys."""
    runner = shutil.which('umockdev-run')
    if not runner:
        raise Failure('umockdev-run is missing: the host\'s box detection needs it to see the '
                      'emulated boxes on USB; install umockdev (scripts/install-deps)')
    path = os.path.join(folder, 'usb.umockdev')
    with open(path, 'w') as f:
        for number, link in enumerate(links):
            f.write('P: /devices/pci0000:00/0000:00:14.0/usb1/1-%d/1-%d:1.0/tty/ttyACM%d\n'
                    'N: ttyACM%d\nE: DEVNAME=/dev/ttyACM%d\nE: SUBSYSTEM=tty\n'
                    'E: DEVLINKS=%s\nA: dev=166:%d\n\n'
                    % (number + 1, number + 1, number, number, number, link, number))
    return [runner, '-d', path, '--']


class Session:
    """One emulator and one host on a configuration, stopped on leaving."""

    def __init__(self, emulator, klippy, folder, name, config_text, flags, timeout,
                 mcus=('mcu',), cwd=None, usb_links=()):
        self.folder = folder
        self.serial = os.path.join(folder, 'mcu')
        links = ['%s=%s' % (mcu, os.path.join(folder, mcu)) for mcu in mcus]
        self.config = os.path.join(folder, name + '.cfg')
        self.log = os.path.join(folder, name + '.log')
        self.api = os.path.join(folder, name + '.sock')
        for path in (self.log, self.api):
            if os.path.exists(path):
                os.remove(path)
        with open(self.config, 'w') as f:
            f.write(config_text.format(serial=self.serial) if '{serial}' in config_text
                    else config_text)
        self.emu = subprocess.Popen([emulator] + flags + links, stdin=subprocess.PIPE,
                                    stdout=subprocess.PIPE, text=True)
        self.emu_output = ''
        self.host = None
        self.client = None
        for _ in links:  # a link exists once the emulator has named it
            if not self.emu.stdout.readline():
                self.close()
                raise Failure('the emulator stopped before it made its links')
        command = [PYTHON, klippy, self.config, '-l', self.log, '-a', self.api]
        if usb_links:
            command = usb_devices(folder, usb_links) + command
        self.host = subprocess.Popen(command,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.STDOUT, cwd=cwd)
        self.client = ApiClient(self.api, timeout)

    def world_command(self, line):
        """Runs a world command (SIM_SPOOL, SIM_FAULT, SIM_STATE) in the emulator (started
        with --world); returns its answer's lines."""
        self.emu.stdin.write(line + '\n')
        self.emu.stdin.flush()
        answer = []
        while True:
            out = self.emu.stdout.readline()
            if not out:
                raise Failure('the emulator stopped while running %r' % line)
            if out.startswith('feedbox-mcu: ok'):
                return answer
            if out.startswith('feedbox-mcu: error: '):
                raise Failure('the emulator refused %r: %s' % (line, out[20:].strip()))
            answer.append(out.rstrip('\n'))

    def world_strands(self):
        """Where each strand's tip is in the emulator's world: {"slot0": mm, ...}."""
        strands = {}
        for line in self.world_command('SIM_STATE'):
            match = re.match(r'^(slot\d+) .*\(tip at (-?[\d.]+) mm', line)
            if match:
                strands[match.group(1)] = float(match.group(2))
        return strands

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
        if self.emu and self.emu.stdin and not self.emu.stdin.closed:
            self.emu.stdin.close()
        if self.emu and not self.emu.stdout.closed:
            self.emu_output = self.emu.stdout.read()
            self.emu.stdout.close()


