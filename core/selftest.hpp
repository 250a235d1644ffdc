// Tally of the library's self-test functions: one record per check, a summary at the end.
#pragma once

#include "core/log.hpp"

namespace kx {

class SelfTest {
public:
    // label: the self-test function's name, used for every record (a static text).
    explicit SelfTest(const char *label) : label_(label) {}

    bool check(bool ok, const char *what) {
        if (ok) {
            KX_LOG_INFO_AT(5, __LINE__, label_, "ok: %s", what);
        } else {
            KX_LOG_ERROR_AT(5, __LINE__, label_, "FAILED: %s", what);
            ++failures_;
        }
        return ok;
    }

    // Logs the summary; 1 when every check passed, else -1.
    int finish() const {
        if (failures_ == 0) {
            KX_LOG_INFO_AT(5, __LINE__, label_, "self-test passed");
            return 1;
        }
        KX_LOG_ERROR_AT(5, __LINE__, label_, "self-test: %d failures", failures_);
        return -1;
    }

private:
    const char *label_;
    int failures_ = 0;
};

}  // namespace kx
