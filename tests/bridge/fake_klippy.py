# A small stand-in for the Klipper host objects the bridge touches: a reactor whose tasks
# are greenlets on a virtual clock, the printer registry, config sections, G-code
# dispatch, and the buttons registry. Only what the bridge calls is here, shaped the way
# the host offers it.
import queue
import shlex

import greenlet

NOW = 0.
NEVER = 9999999999999999.


class ConfigError(Exception):
    pass


class CommandError(Exception):
    pass


class _Timer:
    def __init__(self, callback, waketime):
        self.callback = callback
        self.waketime = waketime


class _Retire(BaseException):
    """Ends a resumed task's greenlet once its timer callback has returned."""


class Completion:
    _PENDING = object()

    def __init__(self, reactor):
        self._reactor = reactor
        self._result = self._PENDING
        self._waiting = []

    def test(self):
        return self._result is not self._PENDING

    def complete(self, result):
        self._result = result
        for task in self._waiting:
            self._reactor.update_timer(task.resume_timer, NOW)

    def wait(self, waketime=NEVER, waketime_result=None):
        if self._result is self._PENDING:
            task = greenlet.getcurrent()
            self._waiting.append(task)
            self._reactor._completion_waits += 1
            try:
                self._reactor.pause(waketime)
            finally:
                self._reactor._completion_waits -= 1
            self._waiting.remove(task)
            if self._result is self._PENDING:
                return waketime_result
        return self._result


class Mutex:
    def __init__(self, reactor):
        self._reactor = reactor
        self._locked = False
        self._queue = []

    def test(self):
        return self._locked

    def lock(self):
        while self._locked:
            turn = self._reactor.completion()
            self._queue.append(turn)
            turn.wait()
        self._locked = True

    def unlock(self):
        self._locked = False
        if self._queue:
            self._queue.pop(0).complete(True)

    def __enter__(self):
        self.lock()

    def __exit__(self, *exc):
        self.unlock()


class Reactor:
    """Timers run on a dispatch greenlet. A task that pauses hands the dispatch role to a
    fresh greenlet and sleeps until its resume timer switches back to it; once its callback
    returns, it gives control back to the dispatcher that resumed it and ends."""
    NOW = NOW
    NEVER = NEVER

    def __init__(self):
        self._now = 0.
        self._timers = []
        self._main = greenlet.getcurrent()
        self._dispatcher = None
        self._greenlets = []
        self._end_time = 0.
        self._async = queue.Queue()
        self._completion_waits = 0

    def monotonic(self):
        return self._now

    def register_timer(self, callback, waketime=NEVER):
        timer = _Timer(callback, waketime)
        self._timers.append(timer)
        return timer

    def update_timer(self, timer, waketime):
        timer.waketime = waketime

    def unregister_timer(self, timer):
        timer.waketime = NEVER
        if timer in self._timers:
            self._timers.remove(timer)

    def completion(self):
        return Completion(self)

    def mutex(self):
        return Mutex(self)

    def register_callback(self, callback, waketime=NOW):
        done = self.completion()

        def run_once(eventtime):
            self.unregister_timer(timer)
            done.complete(callback(eventtime))
            return NEVER
        timer = self.register_timer(run_once, waketime)
        return done

    def async_complete(self, completion, result):
        """The one call other threads make, as the host's."""
        self._async.put((completion, result))

    def _deliver_async(self, timeout):
        """Completes what other threads handed in, waiting up to `timeout` seconds of real
        time for the first; True when anything was delivered."""
        try:
            completion, result = self._async.get(timeout=timeout) if timeout else \
                self._async.get_nowait()
        except queue.Empty:
            return False
        completion.complete(result)
        return True

    def pause(self, waketime):
        task = greenlet.getcurrent()
        if task is not self._dispatcher:
            # A resumed task: the dispatcher that resumed it reschedules its timer.
            return self._dispatcher.switch(waketime)
        self._dispatcher = self._new_greenlet()
        task.resume_timer = self.register_timer(
            lambda eventtime: self._resume(task, eventtime), waketime)
        return self._dispatcher.switch()

    def _resume(self, task, eventtime):
        task.parent = greenlet.getcurrent()
        return task.switch(eventtime)

    def _new_greenlet(self):
        g = greenlet.greenlet(self._dispatch_loop, parent=self._main)
        self._greenlets.append(g)
        return g

    def _dispatch_loop(self):
        try:
            while True:
                if self._deliver_async(None):
                    continue
                due = min(self._timers, key=lambda t: t.waketime, default=None)
                if due is None or due.waketime > self._end_time:
                    # A task waiting on a completion may be waiting for another thread:
                    # like the simulator's clock, this one waits for it.
                    if self._completion_waits and self._deliver_async(0.25):
                        continue
                    self._now = max(self._now, self._end_time)
                    self._main.switch()
                    continue
                self._now = max(self._now, due.waketime)
                self._run_timer(due)
        except _Retire:
            return NEVER

    def _run_timer(self, timer):
        timer.waketime = NEVER
        waketime = timer.callback(self._now)
        timer.waketime = waketime
        task = greenlet.getcurrent()
        if task is not self._dispatcher:
            # Paused and resumed inside the callback: another greenlet dispatches now.
            self.unregister_timer(task.resume_timer)
            raise _Retire()

    def run_until(self, end_time):
        """Runs every timer due up to `end_time` (virtual seconds)."""
        self._end_time = end_time
        if self._dispatcher is None or self._dispatcher.dead:
            self._dispatcher = self._new_greenlet()
        self._dispatcher.switch()

    def run_for(self, seconds):
        self.run_until(self._now + seconds)

    def finalize(self):
        """Kills every suspended task, as the host does when it stops."""
        for g in self._greenlets:
            if not g.dead:
                g.parent = self._main
        for g in self._greenlets:
            if not g.dead:
                g.throw()
        self._greenlets = []
        self._dispatcher = None


class GCodeCommand:
    def __init__(self, gcode, command, commandline, params):
        self._gcode = gcode
        self._command = command
        self._commandline = commandline
        self._params = params
        self.error = gcode.error

    def get_command(self):
        return self._command

    def get_commandline(self):
        return self._commandline

    def get_command_parameters(self):
        return self._params

    def respond_info(self, msg, log=True):
        self._gcode.respond_info(msg, log)

    def respond_raw(self, msg):
        self._gcode.respond_raw(msg)


class GCodeDispatch:
    error = CommandError

    def __init__(self, printer):
        self.printer = printer
        self.ready_gcode_handlers = {}
        self.base_gcode_handlers = {}
        self.mux_commands = {}
        self.mutex = printer.get_reactor().mutex()
        self.responses = []

    def register_command(self, cmd, func, when_not_ready=False, desc=None):
        if cmd in self.ready_gcode_handlers:
            raise self.printer.config_error("gcode command %s already registered" % cmd)
        self.ready_gcode_handlers[cmd] = func

    def register_mux_command(self, cmd, key, value, func, desc=None):
        prev = self.mux_commands.get(cmd)
        if prev is None:
            def handler(gcmd):
                known_key, values = self.mux_commands[cmd]
                chosen = gcmd.get_command_parameters().get(known_key)
                if chosen not in values:
                    raise self.error("The value '%s' is not valid for %s" % (chosen, known_key))
                values[chosen](gcmd)
            self.register_command(cmd, handler)
            self.mux_commands[cmd] = prev = (key, {})
        prev[1][value] = func

    def get_mutex(self):
        return self.mutex

    def respond_info(self, msg, log=True):
        self.responses.extend("// " + line for line in msg.split("\n"))

    def respond_raw(self, msg):
        self.responses.append(msg)

    def run_script(self, script):
        with self.mutex:
            self._process(script)

    def run_script_from_command(self, script):
        self._process(script)

    def _process(self, script):
        for line in script.split("\n"):
            line = line.split(";")[0].strip()
            if not line:
                continue
            words = shlex.split(line)
            command = words[0].upper()
            params = dict(word.split("=", 1) for word in words[1:])
            params = {key.upper(): value for key, value in params.items()}
            handler = self.ready_gcode_handlers.get(command)
            if handler is None:
                self.respond_info('Unknown command:"%s"' % command)
                continue
            try:
                handler(GCodeCommand(self, command, line, params))
            except self.error as e:
                self.respond_raw("!! %s" % e)
                raise


class ConfigWrapper:
    error = ConfigError
    _MISSING = object()

    def __init__(self, printer, sections, name):
        self._printer = printer
        self._sections = sections
        self._name = name

    def get_printer(self):
        return self._printer

    def get_name(self):
        return self._name

    def _value(self, option, default):
        options = self._sections[self._name]
        if option in options:
            return options[option]
        if default is not self._MISSING:
            return default
        raise self.error("Option '%s' in section '%s' must be specified"
                         % (option, self._name))

    def get(self, option, default=_MISSING):
        return self._value(option, default)

    def _number(self, kind, option, default, minval=None, maxval=None, above=None,
                below=None):
        value = self._value(option, default)
        if value is default:
            return value
        try:
            value = kind(value)
        except ValueError:
            raise self.error("Unable to parse option '%s' in section '%s'"
                             % (option, self._name))
        if ((minval is not None and value < minval) or (maxval is not None and value > maxval)
                or (above is not None and value <= above)
                or (below is not None and value >= below)):
            raise self.error("Option '%s' in section '%s' is out of range"
                             % (option, self._name))
        return value

    def getint(self, option, default=_MISSING, minval=None, maxval=None):
        return self._number(int, option, default, minval, maxval)

    def getfloat(self, option, default=_MISSING, minval=None, maxval=None, above=None,
                 below=None):
        return self._number(float, option, default, minval, maxval, above, below)

    def getboolean(self, option, default=_MISSING):
        value = self._value(option, default)
        return value if value is default else str(value).lower() in ("1", "true", "yes")

    def getchoice(self, option, choices, default=_MISSING):
        value = self._value(option, default)
        if value not in choices:
            raise self.error("Choice '%s' for option '%s' in section '%s' is not a valid"
                             " choice" % (value, option, self._name))
        return choices[value]

    def get_prefix_options(self, prefix):
        return [o for o in self._sections[self._name] if o.startswith(prefix)]

    def has_section(self, section):
        return section in self._sections

    def getsection(self, section):
        return ConfigWrapper(self._printer, self._sections, section)

    def get_prefix_sections(self, prefix):
        return [self.getsection(s) for s in self._sections if s.startswith(prefix)]


class Printer:
    config_error = ConfigError
    command_error = CommandError
    _MISSING = object()

    def __init__(self, sections, modules, start_args=None):
        """`sections`: {section name: {option: text}}; `modules`: {first word of a
        section: the Python module the host would import for it}."""
        self.reactor = Reactor()
        self._sections = sections
        self._modules = modules
        self._start_args = start_args or {}
        self.objects = {}
        self.event_handlers = {}
        self.exit_result = None
        self.objects["gcode"] = self.gcode = GCodeDispatch(self)

    def get_reactor(self):
        return self.reactor

    def get_start_args(self):
        return self._start_args

    def lookup_object(self, name, default=_MISSING):
        if name in self.objects:
            return self.objects[name]
        if default is self._MISSING:
            raise self.config_error("Unknown config object '%s'" % name)
        return default

    def lookup_objects(self, module=None):
        if module is None:
            return list(self.objects.items())
        return [(n, o) for n, o in self.objects.items()
                if n == module or n.startswith(module + " ")]

    def add_object(self, name, obj):
        if name in self.objects:
            raise self.config_error("Printer object '%s' already created" % name)
        self.objects[name] = obj

    def load_object(self, config, section, default=_MISSING):
        if section in self.objects:
            return self.objects[section]
        module = self._modules.get(section.split()[0])
        if module is None:
            if default is self._MISSING:
                raise self.config_error("Unable to load module '%s'" % section)
            return default
        entry = "load_config_prefix" if " " in section else "load_config"
        self.objects[section] = getattr(module, entry)(config.getsection(section))
        return self.objects[section]

    def load_config(self):
        """Builds every configured section in order, then announces connect and ready."""
        root = ConfigWrapper(self, self._sections, "printer")
        for section in self._sections:
            if section.split()[0] in self._modules:
                self.load_object(root, section)
        self.send_event("klippy:connect")
        self.send_event("klippy:ready")

    def register_event_handler(self, event, callback):
        self.event_handlers.setdefault(event, []).append(callback)

    def send_event(self, event, *params):
        return [cb(*params) for cb in self.event_handlers.get(event, [])]

    def request_exit(self, result):
        self.exit_result = result

    def run_gcode(self, script, run_for=0., lock=True):
        """Runs `script` from a reactor task, as the host runs console input (or, without
        `lock`, as a module's timer runs commands inside its own); returns the exception
        the script ended with, or None."""
        outcome = {}

        def task(eventtime):
            try:
                if lock:
                    self.gcode.run_script(script)
                else:
                    self.gcode.run_script_from_command(script)
            except Exception as e:
                outcome["error"] = e
        self.reactor.register_callback(task)
        self.reactor.run_for(run_for)
        return outcome.get("error")
