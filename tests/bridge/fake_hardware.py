# Stand-ins for the host's hardware-facing objects that the product modules use: MCUs and
# pins, buttons, endstops, the toolhead with its extruder and heater, G-code move
# transforms, filament sensors, saved variables, and the host's motion library (chelper).
import ast
import configparser
import os
import sys
import types

import fake_klippy


class Endstop:
    def __init__(self, mcu, params):
        self.mcu = mcu
        self.params = params
        self.steppers = []

    def get_mcu(self):
        return self.mcu

    def add_stepper(self, stepper):
        self.steppers.append(stepper)

    def query_endstop(self, print_time):
        return 0


class DigitalOut:
    def __init__(self, params):
        self.params = params
        self.values = []

    def setup_max_duration(self, max_duration):
        self.max_duration = max_duration

    def setup_start_value(self, start_value, shutdown_value):
        self.start_value = start_value

    def set_digital(self, print_time, value):
        self.values.append((print_time, value))


class Mcu:
    def __init__(self, name):
        self._name = name
        self._oids = 0
        self.config_cmds = []
        self.queries = []

    def get_name(self):
        return self._name

    def create_oid(self):
        self._oids += 1
        return self._oids - 1

    def add_config_cmd(self, cmd, is_init=False, on_restart=False):
        self.config_cmds.append(cmd)

    def register_config_callback(self, cb):
        pass

    def estimated_print_time(self, eventtime):
        return eventtime

    def setup_pin(self, pin_type, params):
        return Endstop(self, params) if pin_type == "endstop" else DigitalOut(params)

    def alloc_command_queue(self):
        return object()

    def lookup_query_command(self, msgformat, respformat, oid=None, cq=None, is_async=False):
        mcu = self

        class Query:
            def send(self, data=(), minclock=0, reqclock=0):
                mcu.queries.append((msgformat, respformat, oid, cq is not None, list(data)))
                return {"#name": respformat.split()[0], "oid": oid, "data": b"\x01AB"}
        return Query()


class Pins:
    def __init__(self, chips):
        self.chips = chips
        self.used = set()

    def parse_pin(self, desc, can_invert=False, can_pullup=False):
        pullup = invert = 0
        if desc.startswith("^"):
            pullup, desc = 1, desc[1:]
        if desc.startswith("!"):
            invert, desc = 1, desc[1:]
        chip_name, pin = desc.split(":") if ":" in desc else ("mcu", desc)
        return {"chip": self.chips[chip_name], "chip_name": chip_name, "pin": pin,
                "invert": invert, "pullup": pullup}

    def setup_pin(self, pin_type, desc):
        params = self.parse_pin(desc, True, True)
        if (params["chip_name"], params["pin"]) in self.used:
            raise fake_klippy.ConfigError("pin %s used multiple times in config"
                                          % params["pin"])
        self.used.add((params["chip_name"], params["pin"]))
        return params["chip"].setup_pin(pin_type, params)


class McuButtons:
    def __init__(self):
        self.callbacks = []  # (mask, shift, callback), as the host keeps them


class Buttons:
    def __init__(self, printer):
        self.printer = printer
        self.mcu_buttons = {}

    def register_buttons(self, pins, callback):
        ppins = self.printer.lookup_object("pins")
        chip_name = ppins.parse_pin(pins[0])["chip_name"]
        per_mcu = self.mcu_buttons.setdefault(chip_name, McuButtons())
        per_mcu.callbacks.append(((1 << len(pins)) - 1, 0, callback))

    def report(self, eventtime, state, index=0):
        """Reports a state change of the `index`-th registered button set."""
        callbacks = [c for m in self.mcu_buttons.values() for c in m.callbacks]
        callbacks[index][2](eventtime, state)


class QueryEndstops:
    def __init__(self):
        self.endstops = []

    def register_endstop(self, endstop, name):
        self.endstops.append((endstop, name))


class EncoderSensor:
    def __init__(self, config):
        self.detection_length = config.getfloat("detection_length", 7., above=0.)
        self.events = []
        buttons = config.get_printer().load_object(config, "buttons")
        buttons.register_buttons([config.get("switch_pin")], self.encoder_event)

    def encoder_event(self, eventtime, state):
        self.events.append((eventtime, state))

    def get_status(self, eventtime):
        return {"filament_detected": True, "enabled": True}


class HallSensor:
    # As the host's, settled on `diameter`: its calibration, and the sum of its two ADC
    # readings as Raw.
    def __init__(self, config):
        self.dia1, self.dia2 = 1.5, 2.0
        self.rawdia1, self.rawdia2 = 9500, 10500
        self.diameter = 1.75

    def get_status(self, eventtime):
        raw = self.rawdia1 + ((self.diameter - self.dia1) * (self.rawdia2 - self.rawdia1)
                              / (self.dia2 - self.dia1))
        return {"Diameter": self.diameter, "Raw": int(round(raw)), "is_active": True}


class SaveVariables:
    def __init__(self, config):
        self.filename = os.path.expanduser(config.get("filename"))
        self.allVariables = {}
        if not os.path.exists(self.filename):
            open(self.filename, "w").close()
        self.loadVariables()

    def loadVariables(self):
        parser = configparser.ConfigParser()
        parser.read(self.filename)
        items = parser.items("Variables") if parser.has_section("Variables") else []
        self.allVariables = {name: ast.literal_eval(value) for name, value in items}

    def get_status(self, eventtime):
        return {"variables": self.allVariables}


class GCodeMacro:
    def __init__(self, config):
        self.variables = {o[len("variable_"):]: ast.literal_eval(config.get(o))
                          for o in config.get_prefix_options("variable_")}


class PrintStats:
    state = "standby"

    def get_status(self, eventtime):
        return {"state": self.state}


class IdleTimeout:
    def get_status(self, eventtime):
        return {"state": "Ready", "printing_time": 0.}


class Heater:
    def __init__(self):
        self.target = 0.
        self.temperature = 20.

    def get_name(self):
        return "extruder"

    def set_temp(self, degrees):
        self.target = degrees

    def get_temp(self, eventtime):
        return self.temperature, self.target

    def check_busy(self, eventtime):
        return abs(self.temperature - self.target) > 2.


class Extruder:
    def __init__(self):
        self.heater = Heater()
        self.last_position = 0.

    def get_name(self):
        return "extruder"

    def get_heater(self):
        return self.heater

    def get_trapq(self):
        return "extruder trapq"


class MotionQueuing:
    """Where a current host notes the activity of private motion queues."""

    def __init__(self):
        self.activity = []

    def note_mcu_movequeue_activity(self, print_time, is_step_gen=True):
        self.activity.append(print_time)


class Toolhead:
    """A toolhead of a current host: the activity note lives in motion_queuing."""

    def __init__(self):
        self.extruder = Extruder()
        self.position = [0., 0., 0., 0.]
        self.moves = []
        self.flushes = 0

    def get_last_move_time(self):
        return 1.25

    def dwell(self, delay):
        pass

    def wait_moves(self):
        pass

    def flush_step_generation(self):
        self.flushes += 1

    def get_extruder(self):
        return self.extruder

    def get_position(self):
        return list(self.position)

    def set_position(self, position):
        self.position = list(position)

    def move(self, newpos, speed):
        self.moves.append((list(newpos), speed))
        self.position = list(newpos)


class GCodeMove:
    def __init__(self, toolhead):
        self.move_transform = toolhead
        self.last_position = [0., 0., 0., 0.]

    def set_move_transform(self, transform, force=False):
        if self.move_transform is not None and not force:
            raise fake_klippy.ConfigError("G-Code move transform already specified")
        previous, self.move_transform = self.move_transform, transform
        return previous

    def reset_last_position(self):
        self.last_position = self.move_transform.get_position()


def install_chelper(three_argument_finalize=True):
    """Puts a stand-in of the host's motion library on the import path as `chelper`."""
    calls = []

    def finalize3(tq, print_time, clear_history_time):
        calls.append(("trapq_finalize_moves", print_time, clear_history_time))

    def finalize2(tq, print_time):
        calls.append(("trapq_finalize_moves", print_time))

    lib = types.SimpleNamespace(
        trapq_alloc=lambda: object(),
        trapq_free=lambda tq: None,
        trapq_append=lambda tq, *move: calls.append(("trapq_append",) + move),
        trapq_finalize_moves=finalize3 if three_argument_finalize else finalize2)
    ffi = types.SimpleNamespace(gc=lambda obj, free: obj, NULL=None)
    sys.modules["chelper"] = types.SimpleNamespace(get_ffi=lambda: (ffi, lib))
    return calls


class Hardware:
    """The host objects that exist before any section is loaded, and the modules the
    stand-in host imports for the host's own sections."""

    def __init__(self):
        self.mcu = Mcu("mcu")
        self.box_mcu = Mcu("mcu_box1")
        self.toolhead = Toolhead()
        self.motion_queuing = MotionQueuing()
        self.spi_share_types = []
        self.print_stats = PrintStats()

    def modules(self):
        def module(**entries):
            return types.SimpleNamespace(**entries)
        return {
            "buttons": module(load_config=lambda config: Buttons(config.get_printer())),
            "query_endstops": module(load_config=lambda config: QueryEndstops()),
            "filament_motion_sensor": module(load_config_prefix=EncoderSensor),
            "hall_filament_width_sensor": module(load_config=HallSensor),
            "save_variables": module(load_config=SaveVariables),
            "gcode_macro": module(load_config_prefix=GCodeMacro),
        }

    def install(self, printer):
        printer.add_object("mcu", self.mcu)
        printer.add_object("mcu mcu_box1", self.box_mcu)
        printer.add_object("pins", Pins({"mcu": self.mcu, "mcu_box1": self.box_mcu}))
        printer.add_object("toolhead", self.toolhead)
        printer.add_object("motion_queuing", self.motion_queuing)
        printer.add_object("gcode_move", GCodeMove(self.toolhead))
        printer.add_object("print_stats", self.print_stats)
        printer.add_object("idle_timeout", IdleTimeout())


class Stepper:
    def __init__(self, name):
        self._name = name
        self.trapq = "own trapq of " + name
        self.position = None

    def get_name(self):
        return self._name

    def get_trapq(self):
        return self.trapq

    def set_trapq(self, tq):
        previous, self.trapq = self.trapq, tq
        return previous

    def set_position(self, coord):
        self.position = list(coord)

    def calc_position_from_coord(self, coord):
        return coord[0]

    def get_step_dist(self):
        return 0.0125

    def get_commanded_position(self):
        return 0.


class ExtruderStepper:
    def __init__(self, config):
        self.stepper = Stepper(config.get_name())
        self.synced = None
        config.get("rotation_distance")

    def sync_to_extruder(self, extruder_name):
        self.synced = extruder_name


class PrinterPWMLED:
    instances = []

    def __init__(self, config):
        self.updates = []
        PrinterPWMLED.instances.append(self)
        config.get("white_pin", None)

    def update_leds(self, led_state, print_time):
        self.updates.append((list(led_state), print_time))


class EnableLine:
    def __init__(self):
        self.enabled = False

    def motor_enable(self, print_time):
        self.enabled = True

    def motor_disable(self, print_time):
        self.enabled = False

    def is_motor_enabled(self):
        return self.enabled


class StepperEnable:
    def __init__(self):
        self.lines = {}

    def lookup_enable(self, name):
        return self.lines.setdefault(name, EnableLine())


class Spi:
    def __init__(self, mcu, oid):
        self.mcu = mcu
        self.oid = oid

    def get_mcu(self):
        return self.mcu

    def get_oid(self):
        return self.oid

    def get_command_queue(self):
        return "spi queue"


def install_host_classes(hardware):
    """Puts stand-ins of the host classes that modules build from their own sections where
    the host keeps them: kinematics.extruder, extras.led and extras.bus."""
    def spi_from_config(config, mode, pin_option="cs_pin", default_speed=100000,
                        share_type=None):
        hardware.spi_share_types.append(share_type)
        params = config.get_printer().lookup_object("pins").parse_pin(config.get(pin_option))
        return Spi(params["chip"], params["chip"].create_oid())
    for name, attributes in {"kinematics": {}, "extras": {},
                             "kinematics.extruder": {"ExtruderStepper": ExtruderStepper},
                             "extras.led": {"PrinterPWMLED": PrinterPWMLED},
                             "extras.bus": {"MCU_SPI_from_config": spi_from_config}}.items():
        sys.modules[name] = types.SimpleNamespace(**attributes)
