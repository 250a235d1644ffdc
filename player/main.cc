// player: plays the built-in RTSP URL for ten minutes (no options besides --help).
#include <signal.h>
#include <stdio.h>
#include <string.h>

#include "core/log.hpp"
#include "kx/global.h"
#include "kx/player.h"
#include "player/programs.hpp"

static void stop_on_signal(int) { __atomic_store_n(&defaultRunStatus, 0, __ATOMIC_RELAXED); }

static const char kUsage[] =
    "usage: player\n"
    "  plays " PLAYERLIB_DEFAULT_URL " for ten minutes (or until SIGINT/SIGTERM) through the\n"
    "  player module, logging the frame rate of every picture on standard output\n"
    "  --help   this text\n";

int main(int argc, char **argv) {
    if (argc > 1) {
        const bool help = argc == 2 && strcmp(argv[1], "--help") == 0;
        fputs(kUsage, help ? stdout : stderr);
        return help ? 0 : 2;
    }
    kxplayer::use_plugins_beside_program();
    struct sigaction sa = {};
    sa.sa_handler = stop_on_signal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    KX_LOGE("ddfsfsdf");
    playerLib_test(nullptr);
    return 0;
}
