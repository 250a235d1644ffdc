// Start-up shared by the player programs.
#pragma once

#include <limits.h>
#include <unistd.h>

#include <string>

#include "kx/codec.h"

namespace kxplayer {

// The codec plug-ins are installed beside the library: <program folder>/../lib.
inline void use_plugins_beside_program() {
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return;
    path[n] = 0;
    std::string dir(path);
    dir.erase(dir.find_last_of('/'));
    std::string lib = dir + "/../lib";
    if (access((lib + "/libavcsink.so").c_str(), R_OK) == 0) video_h264_private_plugin_folder_set(lib.c_str());
}

}  // namespace kxplayer
