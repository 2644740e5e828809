"""Runs this (ThreadSanitizer) interpreter over the ThreadSanitizer build of
the module, and fails on any report that involves the module.

Usage: python tsan_run.py BUILD_DIR ARGS...

Every interpreter the run starts writes its reports to BUILD_DIR/tsan-logs;
the interpreter's own suppressions (installed with it in share/tsan) keep its
known benign races out.  A report whose racing accesses (the stacks before
the location and thread sections) name no frame of the module is the
interpreter's or a dependency's: counted, not failed on.
"""
import glob
import os
import subprocess
import sys

MODULE_MARK = "callback_model"


def racing_accesses(report):
    """The report's access stacks, without where the memory came from and
    where the threads were started."""
    lines = []
    for line in report.splitlines():
        if line.startswith(("  Location is", "  Thread T", "  Mutex ", "SUMMARY:")):
            break
        lines.append(line)
    return "\n".join(lines)


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
    ours = [r for r in reports if MODULE_MARK in racing_accesses(r)]
    print("ThreadSanitizer: %d report(s), %d involving the module" % (len(reports), len(ours)))
    for report in ours:
        print(report)
    return 1 if rc or ours else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
