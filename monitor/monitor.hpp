// Internal entry points of the monitor used by the service threads.
#pragma once

#include <functional>

#include "kx/monitor.h"

namespace kx {

// Registers item under parentTid (0: the root). While the parent is missing it waits,
// reporting once per second, as long as keepWaiting() holds.
// 1 added; 0 an item of the same thread is already registered (item not added);
// -1 the wait was given up (item not added).
int monitorItemAddWhile(monitor *m, monitorItem *item, pthread_t parentTid, const std::function<bool()> &keepWaiting);

// Unregisters item once its child items have left, waiting (reporting once per second) as
// long as keepWaiting() holds. When it stops waiting with children still present, their
// elements move under the root so the tree stays whole. 1 removed, 0 item not registered.
int monitorItemRemoveWhile(monitor *m, monitorItem *item, const std::function<bool()> &keepWaiting);

}  // namespace kx
