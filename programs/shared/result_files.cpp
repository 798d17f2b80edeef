#include "shared/result_files.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

// Temporaries a signal handler removes: fixed buffers, since the handler may
// not allocate.
static const int MAX_PENDING = 64;
static char pending_names[MAX_PENDING][4096];
static volatile sig_atomic_t pending_used[MAX_PENDING];
static const int handled_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
static struct sigaction previous_actions[4];
static int handlers_installed = 0;

// While the watched names change, or the results are renamed into place, a
// signal is held and acted on afterwards: it may arrive on any thread, so
// blocking it on this one would not do.
static std::atomic<int> holding{0};
static volatile sig_atomic_t held_signal = 0;
static_assert(std::atomic<int>::is_always_lock_free, "the handler reads it");

// Threads that write results at once (a batch, Python threads) change the
// names and the handlers one at a time; the handler itself only reads.
static std::recursive_mutex bookkeeping;

static void remove_pending_and_reraise(int signal_number) {
    held_signal = signal_number;
    if (holding) return;
    for (int k = 0; k < MAX_PENDING; k++)
        if (pending_used[k]) unlink(pending_names[k]);
    signal(signal_number, SIG_DFL);
    raise(signal_number);
}

static void hold_signals(void) {
    if (!handlers_installed) {
        struct sigaction action = {};
        action.sa_handler = remove_pending_and_reraise;
        for (int k = 0; k < 4; k++) sigaction(handled_signals[k], &action, &previous_actions[k]);
        handlers_installed = 1;
    }
    holding++;
}

static void release_signals(void) {
    if (--holding == 0 && held_signal) remove_pending_and_reraise(held_signal);
}

static void watch(const std::string &temporary) {
    for (int k = 0; k < MAX_PENDING; k++)
        if (!pending_used[k] && temporary.size() < sizeof pending_names[k]) {
            memcpy(pending_names[k], temporary.c_str(), temporary.size() + 1);
            pending_used[k] = 1;
            break;
        }
}

// Handlers stay installed while temporaries exist.
static void unwatch(const std::string &temporary) {
    int left = 0;
    for (int k = 0; k < MAX_PENDING; k++) {
        if (pending_used[k] && temporary == pending_names[k]) pending_used[k] = 0;
        left += pending_used[k];
    }
    if (left == 0 && handlers_installed && !held_signal) {
        for (int k = 0; k < 4; k++) sigaction(handled_signals[k], &previous_actions[k], NULL);
        handlers_installed = 0;
    }
}

int begin_result(const char *final_name, pending_file *file) {
    const std::lock_guard<std::recursive_mutex> one_at_a_time(bookkeeping);
    const std::string name = final_name;
    const size_t slash = name.rfind('/');
    const size_t base = slash == std::string::npos ? 0 : slash + 1;
    file->final_name = name;
    // A short name of its own: one made from the result's would not fit where
    // the result's name just fits (255 bytes).
    file->temporary = name.substr(0, base) + TEMPORARY_PATTERN;
    hold_signals();
    const int descriptor = mkstemp(&file->temporary[0]);
    const int error = errno;
    if (descriptor >= 0) watch(file->temporary);
    release_signals();
    if (descriptor < 0) {
        file->temporary.clear();
        return error;
    }
    // mkstemp makes the file private; a result gets the usual permissions.
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(descriptor, 0666 & ~mask);
    close(descriptor);
    return 0;
}

static int is_directory(const std::string &name) {
    struct stat info;
    return stat(name.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

int commit_results(pending_file *files, int count, const char **failed_name) {
    const std::lock_guard<std::recursive_mutex> one_at_a_time(bookkeeping);
    for (int k = 0; k < count; k++)
        if (is_directory(files[k].final_name)) {
            *failed_name = files[k].final_name.c_str();
            abandon_results(files, count);
            return EISDIR;
        }
    // Nothing may stop the process between the first rename and the last.
    hold_signals();
    std::string backups[MAX_PENDING];
    int had_earlier[MAX_PENDING] = {};
    int error = 0, renamed = 0;
    for (; renamed < count && renamed < MAX_PENDING; renamed++) {
        pending_file &f = files[renamed];
        // A second name for the earlier file, so that it can be put back.
        struct stat earlier;
        had_earlier[renamed] = lstat(f.final_name.c_str(), &earlier) == 0;
        backups[renamed] = f.temporary + ".old";
        if (!had_earlier[renamed] || link(f.final_name.c_str(), backups[renamed].c_str()) != 0)
            backups[renamed].clear();
        if (rename(f.temporary.c_str(), f.final_name.c_str()) != 0) {
            error = errno;
            *failed_name = f.final_name.c_str();
            break;
        }
    }
    for (int k = 0; k < renamed; k++) {
        if (error == 0) {
            if (!backups[k].empty()) unlink(backups[k].c_str());
        } else if (!backups[k].empty()) {
            rename(backups[k].c_str(), files[k].final_name.c_str());
        } else if (!had_earlier[k]) {
            unlink(files[k].final_name.c_str());
        }
    }
    if (error != 0) {
        if (!backups[renamed].empty()) unlink(backups[renamed].c_str());
        abandon_results(files + renamed, count - renamed);
    }
    for (int k = 0; k < count; k++) unwatch(files[k].temporary);
    release_signals();
    return error;
}

void abandon_results(pending_file *files, int count) {
    const std::lock_guard<std::recursive_mutex> one_at_a_time(bookkeeping);
    hold_signals();
    for (int k = 0; k < count; k++) {
        if (files[k].temporary.empty()) continue;
        unlink(files[k].temporary.c_str());
        unwatch(files[k].temporary);
    }
    release_signals();
}
