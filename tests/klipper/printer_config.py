# Printer configurations for the real host, made from the simulator's embedded printer:
# config/printer.cfg with the box files feedbox writes for N boxes, without what only the
# simulator has, with every file path inside the run's folder and the pins of the
# Linux-process MCU whose dictionary stands in for the boards.
import os
import re
import subprocess
import tempfile

from klipper_host import REPO

# Sections of the simulator only: its filament physics.
SIMULATOR_ONLY = ('filament_world',)
# The card reader's MCU command exists only in the box firmware's dictionary.
FIRMWARE_ONLY = ('feedtag ',)

_ANALOG_OPTIONS = ('sensor_pin', 'adc1', 'adc2')
_PIN_OPTIONS = re.compile(r'^(\w*_pin|pin|adc1|adc2|\w+_pin\d*)$')


def split_sections(text):
    """[(header, [lines])] in file order; text before the first header is dropped."""
    sections = []
    for line in text.splitlines():
        if line.startswith('['):
            sections.append([line.strip()[1:-1], []])
        elif sections:
            sections[-1][1].append(line)
    return sections


def join_sections(sections):
    return ''.join('[%s]\n%s\n\n' % (name, '\n'.join(lines).strip('\n'))
                   for name, lines in sections)


def set_option(sections, section, key, value):
    for name, lines in sections:
        if name == section:
            for i, line in enumerate(lines):
                if re.match(r'^%s\s*[:=]' % re.escape(key), line):
                    lines[i] = '%s: %s' % (key, value)
                    return
            lines.insert(0, '%s: %s' % (key, value))
            return
    sections.append([section, ['%s: %s' % (key, value)]])


def remove_option(sections, section, key):
    for name, lines in sections:
        if name == section:
            lines[:] = [l for l in lines if not re.match(r'^%s\s*[:=]' % re.escape(key), l)]


class PinMap:
    """STM32 pin names to Linux-process pins, per MCU: digital pins to gpioN, ADC inputs
    to analogN (each ADC input gets its own channel)."""

    def __init__(self):
        self.analog = {}

    def _digital(self, pin):
        match = re.fullmatch(r'P([A-K])(\d+)', pin)
        if not match:
            return pin
        return 'gpio%d' % ((ord(match.group(1)) - ord('A')) * 16 + int(match.group(2)))

    def _analog(self, chip, pin):
        channels = self.analog.setdefault(chip, {})
        if pin not in channels:
            channels[pin] = 'analog%d' % len(channels)
        return channels[pin]

    def translate(self, option, value):
        match = re.fullmatch(r'([\^~]?!?)(?:(\w+):)?(\S+)', value.strip())
        if not match:
            return value
        prefix, chip, pin = match.groups()
        chip_text = chip + ':' if chip else ''
        if option in _ANALOG_OPTIONS:
            new_pin = self._analog(chip or 'mcu', pin)
        else:
            new_pin = self._digital(pin)
        return prefix + chip_text + new_pin


def translate_pins(sections):
    pins = PinMap()
    for _name, lines in sections:
        for i, line in enumerate(lines):
            match = re.match(r'^(\w+)\s*[:=]\s*(.*)$', line)
            if match and (match.group(1) in _ANALOG_OPTIONS or match.group(1).endswith('_pin')
                          or match.group(1) == 'pin'):
                lines[i] = '%s: %s' % (match.group(1), pins.translate(match.group(1),
                                                                      match.group(2)))


def _expand_includes(text, folder):
    out = []
    for line in text.splitlines():
        match = re.match(r'^\[include (.+)\]\s*$', line)
        if match:
            path = os.path.join(folder, match.group(1))
            if os.path.exists(path):
                with open(path) as f:
                    out.append(_expand_includes(f.read(), os.path.dirname(path)))
            continue
        out.append(line)
    return '\n'.join(out)


def box_and_world_texts(feedbox, boxes):
    """From one run of feedbox for `boxes` boxes: the live box configuration it writes
    (includes expanded), and the simulator's [filament_world] for those boxes
    (config/sim_world.cfg and the sim_world_boxN.cfg files)."""
    box, world, _ = box_world_and_files(feedbox, boxes)
    return box, world


def box_world_and_files(feedbox, boxes):
    """As box_and_world_texts, and the box files as the box detection left them in the
    configuration folder ({"box.cfg": text, "box1.cfg": text, ...}), serials included."""
    with open(os.path.join(REPO, 'config', 'sim_world.cfg')) as f:
        world = [f.read()]
    with tempfile.TemporaryDirectory() as data:
        subprocess.run([feedbox, 'run', '--boxes', str(boxes), '--data-dir', data,
                        '--settle', '0'], check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        config_dir = os.path.join(data, 'home', 'zur', 'printer_data', 'config')
        files = {}
        for name in ['box.cfg'] + ['box%d.cfg' % n for n in range(1, 5)]:
            with open(os.path.join(config_dir, name)) as f:
                files[name] = f.read()
        box = _expand_includes(files['box.cfg'], config_dir)
        # feedbox writes the world files of every box it knows; only those configured count.
        for number in range(1, boxes + 1):
            with open(os.path.join(config_dir, 'sim_world_box%d.cfg' % number)) as f:
                world.append(f.read())
    return box, '\n'.join(world), files


def box_files_text(feedbox, boxes):
    """The live box configuration feedbox writes for `boxes` boxes, includes expanded."""
    return box_and_world_texts(feedbox, boxes)[0]


def embedded_printer_text():
    with open(os.path.join(REPO, 'config', 'printer.cfg')) as f:
        return _expand_includes(f.read(), os.path.join(REPO, 'config'))


def host_has_flow_switch():
    """Whether the host under test has `enable_flow_compensation` (v0.13.0 has not)."""
    klipper = os.environ.get('FEEDBOX_KLIPPER', '')
    path = os.path.join(klipper, 'klippy', 'extras', 'hall_filament_width_sensor.py')
    with open(path) as f:
        return 'enable_flow_compensation' in f.read()


def real_host_sections(feedbox, boxes=1, card_readers=False, linux_pins=True):
    """The embedded printer with `boxes` boxes as the real host gets it, as sections; with
    `card_readers` it keeps the sections that need the box firmware; without `linux_pins`
    the pins stay the boards' own (for controllers that enumerate them, as feedbox-mcu
    does)."""
    text = embedded_printer_text() + '\n' + box_files_text(feedbox, boxes)
    left_out = SIMULATOR_ONLY + (() if card_readers else FIRMWARE_ONLY)
    sections = [s for s in split_sections(text) if not s[0].startswith(left_out)]
    if linux_pins:
        translate_pins(sections)
    set_option(sections, 'save_variables', 'filename',
               '@FOLDER@/printer_data/config/saved_variables.cfg')
    set_option(sections, 'virtual_sdcard', 'path', '@FOLDER@/printer_data/gcodes')
    set_option(sections, 'feedhub', 'base_folder', '@FOLDER@')
    set_option(sections, 'feedscan', 'base_folder', '@FOLDER@')
    if not host_has_flow_switch():
        remove_option(sections, 'hall_filament_width_sensor', 'enable_flow_compensation')
    sections.append(['feedbox_test_probe', ['responses: @FOLDER@/responses.txt']])
    return sections


def real_host_config(feedbox, boxes=1):
    return join_sections(real_host_sections(feedbox, boxes))
