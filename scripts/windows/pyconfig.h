/* pyconfig.h for compiling extension modules against the official CPython
   3.11, 3.12 and 3.13 for Windows x64 (python3XX.dll, built with MSVC) with a
   cross compiler.
   Only what the public headers read, with the values of that build;
   scripts/windows/abi_check.c checks the resulting layouts against the
   interpreter itself. */
#ifndef Py_CONFIG_H
#define Py_CONFIG_H

#if !defined(_WIN64) || !(defined(__x86_64__) || defined(_M_X64))
#error "this pyconfig.h is for Windows x64 only"
#endif

/* Platform */
#define MS_WIN32
#define MS_WIN64
#define MS_WINDOWS
#define NT_THREADS
#define WITH_THREAD
#define PLATFORM "win32"

/* python3XX.dll is a shared library: API functions and data are imported,
   the module's init function exported. */
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL

/* Headers */
#define HAVE_STDDEF_H 1
#define HAVE_WCHAR_H 1
#define HAVE_SYS_STAT_H 1

/* Types */
typedef long long Py_ssize_t;
#define PY_SSIZE_T_MAX 9223372036854775807LL
#define HAVE_PY_SSIZE_T 1

#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_FLOAT 4
#define SIZEOF_DOUBLE 8
#define SIZEOF_LONG_DOUBLE 8
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_OFF_T 4
#define SIZEOF_FPOS_T 8
#define SIZEOF_WCHAR_T 2
#define SIZEOF_PID_T SIZEOF_INT  /* pid_t is int in the official build */
#define SIZEOF__BOOL 1
#define SIZEOF_HKEY 8
#define ALIGNOF_SIZE_T 8
#define ALIGNOF_MAX_ALIGN_T 8
#define DOUBLE_IS_LITTLE_ENDIAN_IEEE754 1

/* Build options of the official release build (no debug, no trace refs, no stats) */
#define WITH_PYMALLOC 1
#define WITH_DOC_STRINGS 1

#endif /* Py_CONFIG_H */
