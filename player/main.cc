// player: plays the built-in RTSP URL for ten minutes (no options).
#include <signal.h>

#include "core/log.hpp"
#include "kx/global.h"
#include "kx/player.h"
#include "player/programs.hpp"

static void stop_on_signal(int) { __atomic_store_n(&defaultRunStatus, 0, __ATOMIC_RELAXED); }

int main(int, char **) {
    kxplayer::use_plugins_beside_program();
    struct sigaction sa = {};
    sa.sa_handler = stop_on_signal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    KX_LOGE("ddfsfsdf");
    playerLib_test(nullptr);
    return 0;
}
