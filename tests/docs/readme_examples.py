#!/usr/bin/env python3
"""Runs every feedbox command line of the README's shell examples, as written, from the
repository's top folder, and fails when one of them does not exit with status 0 (or the
status its comment names: "# exit status 1")."""

import os
import re
import shutil
import subprocess
import sys


def example_commands(readme_text):
    commands = []
    for block in re.findall(r'```sh\n(.*?)```', readme_text, re.S):
        for line in block.replace('\\\n', ' ').splitlines():
            command, _, comment = line.partition('  #')
            command = command.strip()
            # A comment "exit status N" says the example ends so on purpose.
            status = re.search(r'exit status (\d+)', comment)
            if command.startswith('build/apps/feedbox/feedbox '):
                commands.append((command, int(status.group(1)) if status else 0))
    return commands


def main():
    repo, feedbox = sys.argv[1], sys.argv[2]
    with open(os.path.join(repo, 'README.md')) as f:
        commands = example_commands(f.read())
    if not commands:
        print('README: no feedbox examples found')
        return 1
    failed = 0
    for command, expected in commands:
        # The interactive console reads its commands from the terminal: it gets none.
        line = command.replace('build/apps/feedbox/feedbox', feedbox, 1)
        for folder in re.findall(r'--data-dir (\S+)', line):
            shutil.rmtree(folder, ignore_errors=True)
        result = subprocess.run(line, shell=True, cwd=repo, stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                                timeout=600)
        verdict = ('ok' if result.returncode == expected else
                   'FAILED (exit %d, expected %d)' % (result.returncode, expected))
        print('%s: %s' % (command, verdict))
        if result.returncode != expected:
            failed += 1
            print(result.stdout[-3000:])
    return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main())
