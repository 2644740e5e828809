"""Runs this interpreter over the sanitizer build of the module.

Usage: python asan_run.py BUILD_DIR ARGS...

The interpreter is not sanitized: the AddressSanitizer runtime of the
compiler that built the module (where this interpreter lives, so inside its
Debian root for the versions there) is preloaded, the plain allocator makes
every object a malloc block, and full unwinding lets the suppressions in
BUILD_DIR/lsan.supp (interpreter-only, each explained) match.
"""
import os
import subprocess
import sys


def main(argv):
    if len(argv) < 2:
        raise SystemExit(__doc__)
    build = os.path.abspath(argv[0])
    runtime = subprocess.run(["c++", "-print-file-name=libasan.so"], stdout=subprocess.PIPE,
                             universal_newlines=True).stdout.strip()
    if not os.path.isabs(runtime) or not os.path.exists(runtime):
        raise SystemExit("No AddressSanitizer runtime: install libasan (apt-get install libasan8).")
    env = dict(os.environ,
               LD_PRELOAD=runtime,
               PYTHONMALLOC="malloc",
               ASAN_OPTIONS="detect_leaks=1:fast_unwind_on_malloc=0",
               LSAN_OPTIONS="suppressions=%s:print_suppressions=0" % os.path.join(build, "lsan.supp"),
               UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1",
               CALLBACK_MODEL_ROOT=os.path.join(build, "root"),
               CALLBACK_MODEL_PROBE_DIR=os.path.join(build, "probe"))
    os.execve(sys.executable, [sys.executable, *argv[1:]], env)


if __name__ == "__main__":
    main(sys.argv[1:])
