# What the box costs the host in CPU time: the same printer with and without the box
# sections, side by side in one run (both hosts at once, so both see the same machine),
# idle for two minutes and then through the demo print with its tool changes. Figures
# come from /proc (user plus system time of each host process). Takes about four minutes:
#   make klipper-cost KLIPPER=~/klipper
import os
import threading
import time

from scenario import HostScenario
import klipper_host
import printer_config

IDLE_S = 120
# The box's start-up run begins 3 s after the host is ready; idle starts after it.
SETTLE_S = 10
BOX_SECTIONS = ('feedhub', 'feedlane', 'feedtag', 'feedscan', 'mcu mcu_box')


def without_box(sections):
    return [[name, list(lines)] for name, lines in sections
            if not name.startswith(BOX_SECTIONS) and not any('mcu_box' in l for l in lines)]


def demo_print_lines():
    with open(os.path.join(klipper_host.REPO, 'config', 'demo.gcode')) as f:
        lines = [line.split(';', 1)[0].strip() for line in f]
    return [line for line in lines if line]


def print_through(host, lines, result):
    cpu, wall = host.cpu_seconds(), time.monotonic()
    for line in lines:
        host.command(line, timeout=300)
    host.command('M400', timeout=300)
    result['print_cpu_s'] = host.cpu_seconds() - cpu
    result['print_wall_s'] = time.monotonic() - wall


class HostCost(HostScenario):
    boxes = 2

    def test_cpu_with_and_without_the_box(self):
        configs = {'with box': self.config,
                   'without box': printer_config.join_sections(without_box(self.sections))}
        hosts = {name: self.interactive(config=config, suffix='-' + name.replace(' ', '-'))
                 for name, config in configs.items()}
        for host in hosts.values():
            host.wait_ready()
        time.sleep(SETTLE_S)
        results = {name: {} for name in hosts}
        start = {name: host.cpu_seconds() for name, host in hosts.items()}
        wall = time.monotonic()
        time.sleep(IDLE_S)
        elapsed = time.monotonic() - wall
        for name, host in hosts.items():
            results[name]['idle_share'] = (host.cpu_seconds() - start[name]) / elapsed
        lines = demo_print_lines()
        threads = [threading.Thread(target=print_through, args=(host, lines, results[name]))
                   for name, host in hosts.items()]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        print()
        for name, result in results.items():
            print('  %-12s idle %.3f %% of a core (%.1f s/h); demo print %.2f s CPU in %.1f s'
                  % (name, 100 * result['idle_share'], 3600 * result['idle_share'],
                     result['print_cpu_s'], result['print_wall_s']))
        box, bare = results['with box'], results['without box']
        print('  box costs     idle %.3f %% of a core (%.1f CPU s per hour); '
              'printing %.2f s CPU more (%.1f CPU s per hour of printing)'
              % (100 * (box['idle_share'] - bare['idle_share']),
                 3600 * (box['idle_share'] - bare['idle_share']),
                 box['print_cpu_s'] - bare['print_cpu_s'],
                 3600 * (box['print_cpu_s'] / box['print_wall_s']
                         - bare['print_cpu_s'] / bare['print_wall_s'])))
        for host in hosts.values():
            self.assertNotIn('Transition to shutdown state', host.log())
