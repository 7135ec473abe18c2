// The operating-system calls the core relies on are POSIX: writing files (open, fsync, rename),
// noticing a fork (getpid) and the physical-memory probe (sysconf). Linux is what is tested; other
// POSIX systems take the same calls. Elsewhere the build stops here rather than producing a
// library whose file writing or fork check silently does something else.
#pragma once

#if !defined(__unix__) && !(defined(__APPLE__) && defined(__MACH__))
#error "tessaron builds only on POSIX systems: its file, fork and memory calls are POSIX ones"
#endif

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
