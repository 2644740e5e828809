/* pyconfig.h for compiling extension modules for 64-bit Windows CPython
 * (3.8 to 3.13) with mingw-w64.
 *
 * The interpreter headers read the platform's configuration from this file.
 * An extension needs only what its headers test: which platform it is, the
 * sizes of the C types as the Windows interpreter was built with them (MSVC,
 * LLP64: long is 32 bits, pointers and size_t 64), and that the C API is
 * imported from the interpreter's DLL.  Nothing here configures how the
 * interpreter itself is built: Py_BUILD_CORE is never defined by an
 * extension, so every internal switch stays off.
 */
#ifndef CALLBACK_MODEL_WINDOWS_PYCONFIG_H
#define CALLBACK_MODEL_WINDOWS_PYCONFIG_H

#if !defined(_WIN64) || !defined(__MINGW64__)
#error "this pyconfig.h is for 64-bit Windows with mingw-w64"
#endif

/* --- platform ------------------------------------------------------------ */

/* Windows (MS_WINDOWS), its Win32 API (MS_WIN32) in the 64-bit flavour
 * (MS_WIN64): selects the Windows branches of the headers, e.g. the
 * "I" printf length modifier and the DLL import declarations below. */
#define MS_WINDOWS
#define MS_WIN32
#define MS_WIN64
/* The interpreter uses native Windows threads, not pthreads: pythread.h then
 * declares the thread-local key type the Windows interpreter uses. */
#define NT_THREADS
#define WITH_THREAD

/* --- C types, as the interpreter was compiled with them ------------------ */

#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 4              /* LLP64 */
#define SIZEOF_LONG_LONG 8
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_UINTPTR_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_OFF_T 4
#define SIZEOF_FPOS_T 8
#define SIZEOF_PID_T SIZEOF_INT   /* the interpreter's pid_t is an int */
#define SIZEOF_FLOAT 4
#define SIZEOF_DOUBLE 8
#define SIZEOF_WCHAR_T 2           /* UTF-16 */
#define SIZEOF__BOOL 1
#define SIZEOF_HKEY 8
#define ALIGNOF_SIZE_T 8
#define ALIGNOF_LONG 4
#define HAVE_LONG_LONG 1
#define PY_LONG_LONG long long
#define PY_LLONG_MIN LLONG_MIN
#define PY_LLONG_MAX LLONG_MAX
#define PY_ULLONG_MAX ULLONG_MAX
/* Py_ssize_t is ssize_t, which mingw-w64 declares as a 64-bit integer. */
#define HAVE_SSIZE_T 1
/* wchar.h exists; wchar_t is 16 bits (UTF-16), as SIZEOF_WCHAR_T says. */
#define HAVE_WCHAR_H 1

/* --- C library headers the interpreter headers may include --------------- */

#define HAVE_STDDEF_H 1
#define HAVE_ERRNO_H 1
#define HAVE_SYS_STAT_H 1
/* No unistd.h or pthread.h: those would pull in POSIX declarations that do
 * not describe the Windows interpreter. */
#define HAVE_HYPOT 1
#define HAVE_COPYSIGN 1
#define HAVE_ROUND 1
#define HAVE_DECL_ISINF 1
#define HAVE_DECL_ISNAN 1
#define HAVE_DECL_ISFINITE 1
#define HAVE_STDARG_PROTOTYPES 1

/* --- the DLL interface --------------------------------------------------- */

/* The C API lives in pythonXY.dll: PyAPI_FUNC and PyAPI_DATA become
 * __declspec(dllimport), and PyMODINIT_FUNC becomes __declspec(dllexport),
 * so the module's init function is its one export. */
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL 1
#define HAVE_DYNAMIC_LOADING 1

/* The interpreter was built with its small-object allocator and docstrings;
 * the headers only read these to declare what exists. */
#define WITH_PYMALLOC 1
#define WITH_DOC_STRINGS 1

#endif /* CALLBACK_MODEL_WINDOWS_PYCONFIG_H */
