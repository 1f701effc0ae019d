# Runs the real Klipper host with the box modules installed: a scratch copy of a Klipper
# checkout per suite run, printer configurations made from the embedded one, batch runs
# and interactive runs over the host's pseudo-terminal.
import dataclasses
import os
import pty  # noqa: F401  (the host makes the pseudo-terminal; we only open it)
import re
import shutil
import subprocess
import sys
import time

PYTHON = '/usr/bin/python3'
HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))


class Paths:
    """Where the suite finds the host under test and the modules to install."""

    def __init__(self):
        self.klipper_source = os.environ['FEEDBOX_KLIPPER']
        self.extras = os.environ['FEEDBOX_EXTRAS']
        self.scratch = os.environ['FEEDBOX_SCRATCH']
        self.klipper = os.path.join(self.scratch, 'klipper')
        self.dictionary = os.path.join(self.klipper, 'dict', 'linuxprocess.dict')
        # The product's data files as `make install` puts them into a base folder.
        self.data = os.path.join(self.scratch, 'base')


def prepare_host(paths):
    """Copies the host (once per suite run) and installs the modules into it with
    scripts/install, plus the suite's own test-only host modules."""
    if not os.path.isdir(paths.klipper):
        os.makedirs(paths.scratch, exist_ok=True)
        shutil.copytree(paths.klipper_source, paths.klipper, symlinks=True,
                        ignore=shutil.ignore_patterns('.git', '*.pyc', '__pycache__'))
        for root, dirs, files in os.walk(paths.klipper):
            for name in dirs + files:
                os.chmod(os.path.join(root, name), 0o755 if name in dirs else 0o644)
        os.chmod(os.path.join(paths.klipper, 'klippy', 'klippy.py'), 0o755)
        extras = os.path.join(paths.klipper, 'klippy', 'extras')
        build = os.path.dirname(os.path.dirname(paths.extras))
        # The printer's layout: the modules linked in from an install folder, the data files
        # and the box's macros in the base folder.
        subprocess.run([os.path.join(REPO, 'scripts', 'install'), '--klipper', paths.klipper,
                        '--python', PYTHON, '--base-folder', paths.data, '--build-dir', build,
                        '--install-dir', os.path.join(paths.scratch, 'installed'),
                        '--moonraker-conf', os.path.join(paths.scratch, 'no-moonraker.conf'),
                        '--skip-build', '--no-packages', '--no-restart'],
                       check=True, stdout=subprocess.DEVNULL)
        for name in os.listdir(os.path.join(HERE, 'host_modules')):
            if name.endswith('.py'):
                shutil.copy(os.path.join(HERE, 'host_modules', name), extras)
        # The host builds its C helper on first start; do it once, outside any timing.
        subprocess.run([PYTHON, '-c', 'import chelper; chelper.get_ffi()'],
                       cwd=os.path.join(paths.klipper, 'klippy'), check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


@dataclasses.dataclass
class BatchResult:
    returncode: int
    responses: list
    log: str
    folder: str

    def serial_file(self, mcu):
        suffix = '' if mcu == 'mcu' else '-' + mcu
        return os.path.join(self.folder, 'out.serial' + suffix)

    def text(self):
        return '\n'.join(self.responses)

    def saved_variables(self):
        return read_saved_variables(os.path.join(self.folder, SAVED_VARIABLES))

    def shut_down(self):
        return 'Transition to shutdown state' in self.log or 'Internal error' in self.log


def read_saved_variables(path):
    import ast
    import configparser
    parser = configparser.ConfigParser()
    parser.read(path)
    if not parser.has_section('Variables'):
        return {}
    return {key: ast.literal_eval(value) for key, value in parser.items('Variables')}


def mcu_names(config_text):
    return [m.group(1) for m in re.finditer(r'^\[mcu (\S+)\]', config_text, re.M)]


def _dictionary_args(paths, config_text):
    args = ['-d', paths.dictionary]
    for name in mcu_names(config_text):
        args += ['-d', '%s=%s' % (name, paths.dictionary)]
    return args


SAVED_VARIABLES = 'printer_data/config/saved_variables.cfg'


def _new_run_folder(paths, folder, config_text, saved, files=None):
    """A run's folder: the installed data files, printer.cfg, saved variables, and `files`
    (path relative to the folder -> text)."""
    if os.path.isdir(folder):
        shutil.rmtree(folder)
    shutil.copytree(paths.data, folder)
    with open(os.path.join(folder, 'printer.cfg'), 'w') as f:
        f.write(config_text.replace('@FOLDER@', folder))
    if saved is not None:
        path = os.path.join(folder, SAVED_VARIABLES)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, 'w') as f:
            f.write('[Variables]\n')
            for key in sorted(saved):
                f.write('%s = %r\n' % (key, saved[key]))
            f.write('\n')
    for relative, text in (files or {}).items():
        path = os.path.join(folder, relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, 'w') as f:
            f.write(text)


def run_batch(paths, folder, config_text, gcode_lines, saved=None, timeout=120, files=None):
    """One batch run of the host: `config_text` as printer.cfg, `gcode_lines` as input.
    Each line is preceded by a TEST_MARK naming it, so responses can be split per line."""
    _new_run_folder(paths, folder, config_text, saved, files)
    with open(os.path.join(folder, 'test.gcode'), 'w') as f:
        for index, line in enumerate(gcode_lines):
            f.write('TEST_MARK TEXT="%d %s"\n' % (index, line.replace('"', "'")))
            f.write(line + '\n')
        f.write('TEST_SETTLE\n')
    command = [PYTHON, os.path.join(paths.klipper, 'klippy', 'klippy.py'),
               os.path.join(folder, 'printer.cfg'), '-i', os.path.join(folder, 'test.gcode'),
               '-o', os.path.join(folder, 'out.serial'), '-v',
               '-l', os.path.join(folder, 'klippy.log')] + _dictionary_args(paths, config_text)
    proc = subprocess.run(command, cwd=folder, timeout=timeout,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    responses_path = os.path.join(folder, 'responses.txt')
    responses = []
    if os.path.exists(responses_path):
        with open(responses_path) as f:
            responses = f.read().splitlines()
    log = ''
    if os.path.exists(os.path.join(folder, 'klippy.log')):
        with open(os.path.join(folder, 'klippy.log')) as f:
            log = f.read()
    log += proc.stdout.decode(errors='replace')
    return BatchResult(proc.returncode, responses, log, folder)


def responses_of(result, line, nth=0):
    """The responses between the `nth` mark of `line` and the next mark."""
    text = line.replace('"', "'")
    out, inside, seen = [], False, 0
    for response in result.responses:
        if response.startswith('== '):
            if inside:
                break
            if response.split(' ', 2)[2:] == [text]:
                inside = seen == nth
                seen += 1
            continue
        if inside:
            out.append(response)
    return out


class InteractiveHost:
    """The host in its pseudo-terminal mode: real time, RESTART works."""

    def __init__(self, paths, folder, config_text, saved=None, env=None):
        self.folder = folder
        _new_run_folder(paths, folder, config_text, saved)
        self.pty_path = os.path.join(folder, 'printer.pty')
        self.log_path = os.path.join(folder, 'klippy.log')
        command = [PYTHON, os.path.join(paths.klipper, 'klippy', 'klippy.py'),
                   os.path.join(folder, 'printer.cfg'), '-I', self.pty_path,
                   '-o', os.path.join(folder, 'out.serial'), '-v', '-l', self.log_path]
        command += _dictionary_args(paths, config_text)
        self.proc = subprocess.Popen(command, cwd=folder, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.STDOUT, env=dict(os.environ, **(env or {})))
        deadline = time.monotonic() + 60
        while not os.path.exists(self.pty_path):
            if time.monotonic() > deadline or self.proc.poll() is not None:
                raise RuntimeError('host did not open its terminal; see ' + self.log_path)
            time.sleep(0.05)
        self.fd = os.open(self.pty_path, os.O_RDWR | os.O_NOCTTY)
        self.buffer = b''

    def _read_until(self, pattern, timeout):
        deadline = time.monotonic() + timeout
        import select
        while True:
            match = re.search(pattern, self.buffer)
            if match:
                text = self.buffer[:match.end()]
                self.buffer = self.buffer[match.end():]
                return text.decode(errors='replace')
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError('no %r from the host; got %r' % (pattern, self.buffer[-500:]))
            ready, _, _ = select.select([self.fd], [], [], min(left, 0.2))
            if ready:
                try:
                    self.buffer += os.read(self.fd, 65536)
                except OSError:
                    time.sleep(0.05)

    def command(self, line, timeout=60):
        """Sends one G-code line; returns the response lines up to its "ok"."""
        self.buffer = b''
        os.write(self.fd, (line + '\n').encode())
        text = self._read_until(rb'(^|\n)ok\n', timeout)
        return [l for l in text.splitlines() if l and l != 'ok']

    def wait_ready(self, timeout=60):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            try:
                lines = self.command('STATUS', timeout=5)
            except TimeoutError:
                continue
            if any('Klipper state: Ready' in l for l in lines):
                return
            time.sleep(0.2)
        raise TimeoutError('host not ready; see ' + self.log_path)

    def log(self):
        with open(self.log_path) as f:
            return f.read()

    def cpu_seconds(self):
        """User plus system CPU time the host process has used so far."""
        with open('/proc/%d/stat' % self.proc.pid) as f:
            fields = f.read().rsplit(')', 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf('SC_CLK_TCK')

    def memory_and_threads(self):
        rss_kb = threads = 0
        with open('/proc/%d/status' % self.proc.pid) as f:
            for line in f:
                if line.startswith('VmRSS:'):
                    rss_kb = int(line.split()[1])
                elif line.startswith('Threads:'):
                    threads = int(line.split()[1])
        return rss_kb, threads

    def close(self):
        try:
            os.close(self.fd)
        except OSError:
            pass
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


def fail_message(result):
    tail = result.log[-3000:]
    return 'host exit %d\n--- responses\n%s\n--- log tail\n%s' % (
        result.returncode, result.text(), tail)


if __name__ == '__main__':
    sys.exit('this is a helper of the real-host suite; run run_suite.py')
