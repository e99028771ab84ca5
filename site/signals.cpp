// A run ended by SIGTERM, SIGINT or SIGHUP removes its temporary files
// first, as the web server would serve them for good, and clears its
// progress line from the terminal. Those signals are blocked in every
// thread, and one thread of their own waits for them: a handler could not
// take the lock of the list of temporary files.
#include "site.h"

#include <csignal>
#include <pthread.h>
#include <unistd.h>

// The signals that end a run, less those it was started ignoring (nohup).
static void ending_signals(sigset_t *set)
{
	static const int SIGNALS[] = {SIGTERM, SIGINT, SIGHUP};
	sigemptyset(set);
	for (int sig : SIGNALS) {
		struct sigaction action;
		if (sigaction(sig, nullptr, &action) == 0 && action.sa_handler != SIG_IGN)
			sigaddset(set, sig);
	}
}

// Ends the process by the signal, so that its status is the signal's.
static void *wait_for_signals(void *)
{
	sigset_t set;
	ending_signals(&set);
	int sig;
	while (sigwait(&set, &sig) != 0)
		continue;
	remove_all_temp_files();
	progress_line_close();
	signal(sig, SIG_DFL);
	sigset_t one;
	sigemptyset(&one);
	sigaddset(&one, sig);
	pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
	raise(sig);
	_exit(128 + sig);
}

// Without the thread (no thread can be made) the signals stay as they
// were: a run they end leaves its temporary files, as before.
void clean_up_on_signals()
{
	sigset_t set, old;
	ending_signals(&set);
	if (sigisemptyset(&set))
		return;
	pthread_sigmask(SIG_BLOCK, &set, &old);
	pthread_attr_t attr;
	if (pthread_attr_init(&attr) != 0) {
		pthread_sigmask(SIG_SETMASK, &old, nullptr);
		return;
	}
	// It only waits and removes files.
	pthread_attr_setstacksize(&attr, 1 << 18);
	pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
	pthread_t thread;
	if (pthread_create(&thread, &attr, wait_for_signals, nullptr) != 0)
		pthread_sigmask(SIG_SETMASK, &old, nullptr);
	pthread_attr_destroy(&attr);
}
