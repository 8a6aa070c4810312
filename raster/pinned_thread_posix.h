// Starting a thread pinned to one processor on POSIX systems, for both
// engines' thread layers (the reference engine's render workers, the fast
// engine's pool). Included by those platform files only.
#pragma once

#include <pthread.h>

// Starts entry(argument) on a new thread pinned to `processor` (-1: not
// pinned). Where the system cannot pin (only Linux can here), or refuses
// to, because the machine lacks that processor, the thread runs unpinned,
// wherever the scheduler puts it. False when no thread can be had.
bool start_pinned_thread(pthread_t* thread, void* (*entry)(void*), void* argument, int processor);
