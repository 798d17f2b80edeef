#include "fixed/console.h"

#include <errno.h>
#include <poll.h>
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

// One byte, or -1 at the end of the input or when it cannot be read (closed,
// a folder): only an interrupted read is tried again.
static int read_byte(void) {
    unsigned char byte;
    for (;;) {
        const ssize_t got = read(STDIN_FILENO, &byte, 1);
        if (got == 1) return byte;
        if (got == 0 || errno != EINTR) return -1;
    }
}

// The next byte of the same key press, if the terminal delivers it at once.
static int follow_byte(void) {
    struct pollfd input = {STDIN_FILENO, POLLIN, 0};
    return poll(&input, 1, 50) == 1 ? read_byte() : -1;
}

// The rest of a key press whose first byte was lead: an escape sequence
// (ESC [ ... final, ESC O x, ESC x) or the continuation bytes of a UTF-8 letter.
static void read_rest_of_key(int lead) {
    if (lead == 0x1b) {
        const int second = follow_byte();
        if (second == '[') {
            int byte;
            do byte = follow_byte();
            while (byte >= 0x20 && byte < 0x40);  // parameters, up to the final byte
        } else if (second == 'O') {
            follow_byte();
        }
        return;
    }
    const int continuations = lead >= 0xf0 ? 3 : lead >= 0xe0 ? 2 : lead >= 0xc0 ? 1 : 0;
    for (int k = 0; k < continuations; k++) follow_byte();
}

void wait_key(void) {
    fflush(stdout);
    if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &saved_terminal) != 0) {
        read_byte();
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
    const int lead = read_byte();
    if (lead >= 0) read_rest_of_key(lead);
    restore_terminal();

    for (int k = 0; k < 4; k++) sigaction(handled[k], &previous[k], NULL);
}
