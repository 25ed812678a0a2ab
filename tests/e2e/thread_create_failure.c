// Preloaded into the daemon (LD_PRELOAD) by the start-up failure test: the
// Nth thread that the main thread creates is refused with EAGAIN, as
// pthread_create does when the system has no thread left to give.
//   DIAG_TEST_REFUSE_THREAD=N   (from 1; unset or 0: none is refused)
// A process that leaves through exit(), running its static destructors and
// atexit handlers, also runs this library's destructor, which says so on
// standard error; _Exit() runs none of them.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <stdlib.h>
#include <unistd.h>

typedef int (*create_fn)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);

static int main_thread_calls; // touched by the main thread only

int pthread_create(pthread_t *thread, const pthread_attr_t *attr, void *(*start)(void *), void *arg)
{
    if (gettid() == getpid()) {
        const char *refused = getenv("DIAG_TEST_REFUSE_THREAD");
        if (refused != NULL && ++main_thread_calls == atoi(refused))
            return EAGAIN;
    }
    create_fn next = (create_fn)dlsym(RTLD_NEXT, "pthread_create");
    return next(thread, attr, start, arg);
}

__attribute__((destructor)) static void report_exit_handlers(void)
{
    static const char line[] = "TEST_HOOK : exit handlers ran\n";
    if (write(STDERR_FILENO, line, sizeof line - 1) < 0) {
        // nothing to do: the test then sees no line, as after _Exit
    }
}
