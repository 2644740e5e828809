"""Runs this (ThreadSanitizer) interpreter over the ThreadSanitizer build of
the module, and fails on any report that involves the module.

Usage: python tsan_run.py BUILD_DIR ARGS...

Every interpreter the run starts writes its reports to BUILD_DIR/tsan-logs;
the interpreter's own suppressions (installed with it in share/tsan) keep its
known benign races out.  A report is the module's when one of its racing
accesses is made by the module's own code or by an interpreter function
that the module called: one of the two innermost frames of that access
stack outside the sanitizer's runtime lies in the module's library (the
interpreter's inline functions compiled into it included).  The module
calls into Python (importlib, to find its full name), so its frames also
appear further down in accesses the interpreter makes; those reports, like
any other, are counted, not failed on.
"""
import glob
import os
import re
import subprocess
import sys

MODULE_MARK = "callback_model"
FRAME = re.compile(r"^\s+#\d+ .*\((\S+?)\+0x[0-9a-f]+\)\s*$")


def accessing_objects(report):
    """For each racing access of the report, the libraries of its two innermost frames."""
    objects, current = [], None
    for line in report.splitlines():
        if line.startswith(("  Location is", "  Thread T", "  Mutex ", "SUMMARY:")):
            break
        if re.match(r"^  \S", line):  # an access: "  Write of size 8 ...", "  Previous atomic read ..."
            current = []
            objects.append(current)
            continue
        frame = FRAME.match(line)
        if frame and current is not None and len(current) < 2 and "libtsan" not in frame.group(1):
            current.append(frame.group(1))
    return [obj for found in objects for obj in found]


def main(argv):
    if len(argv) < 2:
        raise SystemExit(__doc__)
    build = os.path.abspath(argv[0])
    logs = os.path.join(build, "tsan-logs")
    os.makedirs(logs, exist_ok=True)
    for old in glob.glob(os.path.join(logs, "report*")):
        os.remove(old)
    supp = os.path.join(sys.base_prefix, "share", "tsan", "suppressions_free_threading.txt")
    env = dict(os.environ,
               TSAN_OPTIONS="halt_on_error=0:exitcode=0:second_deadlock_stack=1:log_path=%s:suppressions=%s"
               % (os.path.join(logs, "report"), supp),
               PYTHON_GIL="0",
               CALLBACK_MODEL_ROOT=os.path.join(build, "root"))
    rc = subprocess.run([sys.executable, *argv[1:]], env=env).returncode
    reports = []
    for path in sorted(glob.glob(os.path.join(logs, "report*"))):
        with open(path, errors="replace") as f:
            text = f.read()
        reports += [block for block in text.split("==================") if "WARNING: ThreadSanitizer" in block]
    ours = [r for r in reports if any(MODULE_MARK in obj for obj in accessing_objects(r))]
    print("ThreadSanitizer: %d report(s), %d involving the module" % (len(reports), len(ours)))
    for report in ours:
        print(report)
    return 1 if rc or ours else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
