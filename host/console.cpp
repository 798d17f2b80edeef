#include "host/console.h"

#include <signal.h>
#include <stdio.h>
#include <termios.h>
#include <unistd.h>

static struct termios saved_terminal;

static void restore_terminal(void) { tcsetattr(STDIN_FILENO, TCSANOW, &saved_terminal); }

// A signal during the wait must not leave the terminal without echo.
static void restore_and_reraise(int signal_number) {
    restore_terminal();
    signal(signal_number, SIG_DFL);
    raise(signal_number);
}

static void read_one_byte(void) {
    char byte;
    while (read(STDIN_FILENO, &byte, 1) < 0) {
    }
}

void wait_key(void) {
    fflush(stdout);
    if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &saved_terminal) != 0) {
        read_one_byte();
        return;
    }
    const int handled[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
    struct sigaction previous[4], on_signal = {};
    on_signal.sa_handler = restore_and_reraise;
    for (int k = 0; k < 4; k++) sigaction(handled[k], &on_signal, &previous[k]);

    struct termios raw = saved_terminal;
    raw.c_lflag &= ~(tcflag_t)(ICANON | ECHO);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    tcsetattr(STDIN_FILENO, TCSANOW, &raw);
    read_one_byte();
    restore_terminal();

    for (int k = 0; k < 4; k++) sigaction(handled[k], &previous[k], NULL);
}
