'''vm/init's story runner. Python, pytest and the bench are loaded before the
machine is saved (vm/run.py), so that no story's VM spends its emulated CPU
on them: about 6 s each under TCG. Says it is ready until it reads
"NAME EPOCH" on the console, then runs tests/system/test_stories.py::test_NAME
against the real gateway and prints "@@VMTEST result PASS|FAIL NAME SECONDS
[the first error line]".
'''

import os
import select
import subprocess
import sys
import time

sys.path[:0] = ['/src/vm', '/src/sim', '/src/tests', '/src/tests/system']
os.environ['PAIRGATE_GATEWAY'] = 'real'
import pytest  # noqa: E402  pylint: disable=wrong-import-position
import _pytest.config  # noqa: E402,F401  pylint: disable=wrong-import-position,unused-import
import bench  # noqa: E402,F401  pylint: disable=wrong-import-position,unused-import
import expected  # noqa: E402,F401  pylint: disable=wrong-import-position,unused-import


class Outcome:
    '''The pytest plugin that keeps what the result line says.'''

    def __init__(self):
        self.passed = False
        self.error = ''

    def pytest_runtest_logreport(self, report):
        if report.passed and report.when == 'call':
            self.passed = True
        if report.failed and not self.error:
            self.error = next((line[4:] for line in report.longreprtext.splitlines()
                               if line.startswith('E ')), '')


def main():
    while True:
        print('@@VMTEST ready', flush=True)
        if select.select([sys.stdin], [], [], 0.2)[0]:
            break
    story, now = sys.stdin.readline().split()
    # The clock the machine was saved with is behind by however long ago that was.
    time.clock_settime(time.CLOCK_REALTIME, float(now))
    subprocess.run(['mount', '-o', 'remount,rw', '/'], check=True)
    os.chdir('/src/tests/system')
    began = time.monotonic()
    outcome = Outcome()
    status = pytest.main(['-s', '-q', '-p', 'no:cacheprovider', '--color=no', '--tb=short',
                          f'test_stories.py::test_{story}'], plugins=[outcome])
    verdict = 'PASS' if status == 0 and outcome.passed and not outcome.error else 'FAIL'
    print(f'@@VMTEST result {verdict} {story} {time.monotonic() - began:.0f} {outcome.error}',
          flush=True)


if __name__ == '__main__':
    main()
