#!/usr/bin/env python3
"""The README's command reference names every command of the box, and only commands the
printer has: the box's commands are those that `feedbox run ... -c HELP` lists with a box
and not without one."""

import re
import subprocess
import sys

# Host commands that come with sections of the box's configuration (its motion sensor, the
# slot LEDs): the host documents them.
HOST_COMMANDS = {'SET_FILAMENT_SENSOR', 'QUERY_FILAMENT_SENSOR', 'SET_LED'}


def help_names(feedbox, boxes):
    out = subprocess.run([feedbox, 'run', '--settle', '5', '--boxes', str(boxes), '-c', 'HELP'],
                         stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, check=True,
                         text=True, timeout=300).stdout
    return {line[3:].split(':', 1)[0].strip() for line in out.splitlines()
            if line.startswith('// ') and ':' in line}


def reference_section(readme_text):
    match = re.search(r'^## Command reference\n(.*?)^## ', readme_text, re.S | re.M)
    return match.group(1) if match else ''


def main():
    repo, feedbox = sys.argv[1], sys.argv[2]
    with open(repo + '/README.md') as f:
        reference = reference_section(f.read())
    if not reference:
        print('README: no "## Command reference" section')
        return 1
    everything = help_names(feedbox, 1)
    box_commands = everything - help_names(feedbox, 0) - HOST_COMMANDS
    if len(box_commands) < 10:
        print('HELP lists too few box commands: %s' % sorted(box_commands))
        return 1
    failed = 0
    for name in sorted(box_commands):
        if not re.search(r'`%s[ `]' % re.escape(name), reference):
            print('README: the command reference does not describe %s' % name)
            failed += 1
    # Each row of the reference's tables starts with the command as it is typed.
    for row in re.findall(r'^\| `([A-Z][A-Z0-9_]*)', reference, re.M):
        if row not in everything:
            print('README: the command reference describes %s, which the printer lacks' % row)
            failed += 1
    print('%d box commands; %d mistakes in the command reference' % (len(box_commands), failed))
    return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main())
