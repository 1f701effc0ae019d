# What the box costs the host in CPU time while idle: the same printer without the box, with
# one box and with four, side by side in one run (all hosts at once, so all see the same
# machine), for two minutes. Figures come from /proc (user plus system time of each host
# process). A print is left out: without the box's micro-controllers every load fails, so
# its CPU time would say nothing about a print. Takes about three minutes:
#   make klipper-cost KLIPPER=~/klipper
import time

from scenario import HostScenario
import printer_config

IDLE_S = 120
# The box's start-up run begins 3 s after the host is ready; idle starts after it.
SETTLE_S = 10
BOX_SECTIONS = ('feedhub', 'feedlane', 'feedtag', 'feedscan', 'mcu mcu_box')


def without_box(sections):
    return [[name, list(lines)] for name, lines in sections
            if not name.startswith(BOX_SECTIONS) and not any('mcu_box' in l for l in lines)]


class HostCost(HostScenario):
    def test_idle_cpu_without_the_box_and_with_one_and_four_boxes(self):
        configs = {'without box': printer_config.join_sections(without_box(self.sections)),
                   '1 box': self.config,
                   '4 boxes': printer_config.join_sections(
                       printer_config.real_host_sections(self.feedbox, 4))}
        hosts = {name: self.interactive(config=config, suffix='-' + name.replace(' ', '-'))
                 for name, config in configs.items()}
        for host in hosts.values():
            host.wait_ready()
        time.sleep(SETTLE_S)
        start = {name: host.cpu_seconds() for name, host in hosts.items()}
        wall = time.monotonic()
        time.sleep(IDLE_S)
        elapsed = time.monotonic() - wall
        share = {name: (host.cpu_seconds() - start[name]) / elapsed
                 for name, host in hosts.items()}
        print()
        for name in hosts:
            extra = share[name] - share['without box']
            print('  %-12s idle %.3f %% of a core (%.1f CPU s per hour)%s'
                  % (name, 100 * share[name], 3600 * share[name],
                     '' if name == 'without box' else
                     '; the box adds %.3f %% (%.1f CPU s per hour)' % (100 * extra,
                                                                        3600 * extra)))
        for host in hosts.values():
            self.assertNotIn('Transition to shutdown state', host.log())
