/* A host application that embeds CPython, for the tests: it runs one
   script in a number of rounds, each in a runtime of its own, the way an
   application that reloads its scripts restarts the interpreter.

   Usage: embed_host SCRIPT ROUNDS

   Each round initialises the interpreter, sets sys.argv to
   ["embed_host", ROUND, TAKEN] (ROUND counting from 1; TAKEN the number of
   Py_AtExit slots the host took before the script: with
   EMBED_TAKE_EXIT_SLOTS set, every free one in round 1, as other extensions
   might have; else 0), runs the script's text, finalises
   the interpreter, and prints "round N: script X, finalize Y, rss Z KiB",
   where X is what PyRun_SimpleString returned (0, or -1 after printing the
   script's traceback), Y what Py_FinalizeEx returned, and Z the host's
   resident memory once the round has ended (-1 where unknown). */
#include <Python.h>

#include <stdio.h>
#include <stdlib.h>
#if !defined(_WIN32)
#include <unistd.h>
#endif

static char *read_file(const char *path) {
    FILE *f = fopen(path, "rb");
    char *text = NULL;
    long size;
    if (f == NULL) {
        return NULL;
    }
    if (fseek(f, 0, SEEK_END) == 0 && (size = ftell(f)) >= 0 && fseek(f, 0, SEEK_SET) == 0) {
        text = malloc((size_t)size + 1);
        if (text != NULL && fread(text, 1, (size_t)size, f) == (size_t)size) {
            text[size] = '\0';
        } else {
            free(text);
            text = NULL;
        }
    }
    fclose(f);
    return text;
}

static void exit_slot_holder(void) {}

static long resident_kib(void) {
#if defined(_WIN32)
    return -1;
#else
    long size = -1;
    long pages = -1;
    FILE *f = fopen("/proc/self/statm", "r");
    if (f == NULL) {
        return -1;
    }
    if (fscanf(f, "%ld %ld", &size, &pages) != 2) {
        pages = -1;
    }
    fclose(f);
    return pages < 0 ? -1 : pages * (sysconf(_SC_PAGESIZE) / 1024);
#endif
}

int main(int argc, char **argv) {
    char *script;
    int rounds;
    int round;
    if (argc != 3 || (rounds = atoi(argv[2])) < 1) {
        fprintf(stderr, "usage: %s SCRIPT ROUNDS\n", argv[0]);
        return 2;
    }
    script = read_file(argv[1]);
    if (script == NULL) {
        fprintf(stderr, "%s: cannot read %s\n", argv[0], argv[1]);
        return 2;
    }
    for (round = 1; round <= rounds; ++round) {
        char setup[96];
        int ran;
        int finalized;
        int taken = 0;
        Py_InitializeEx(0);
        while (round == 1 && getenv("EMBED_TAKE_EXIT_SLOTS") != NULL && Py_AtExit(exit_slot_holder) == 0) {
            ++taken;
        }
        snprintf(setup, sizeof setup, "import sys\nsys.argv = ['embed_host', '%d', '%d']\n", round, taken);
        ran = PyRun_SimpleString(setup);
        if (ran == 0) {
            ran = PyRun_SimpleString(script);
        }
        finalized = Py_FinalizeEx();
        printf("round %d: script %d, finalize %d, rss %ld KiB\n", round, ran, finalized, resident_kib());
        fflush(stdout);
    }
    free(script);
    return 0;
}
